"""Batch enrichment on Dask, measured: results per second of
``python3 -m korvane.batch`` with 1 and 2 local worker processes against
``korvane-commerce enrich`` run once per result, and the figures that say how
the cost grows past one machine.

The results are made up from the links of a page folder (the corpus of saved
real pages when it is there, else examples/pages): ``--results`` of them, 12
to 18 matches each (15 on average), some with shopping offers; pages come
from the folder, store resolution is off (no network, no browser).

Measured:
1. the library alone: ``enrich_records`` over the results in this process,
   partition by partition: CPU time per result;
2. the command against a cluster of 1 and of 2 worker processes (one thread
   each), started as on other machines with ``dask scheduler`` and ``dask
   worker`` on loopback (its start-up timed apart): results per second from
   the command's start to the last part written; CPU time per result of the
   workers, the scheduler and the command; the workers' peak resident
   memory;
3. the partition size: the same with 2 workers at other sizes;
4. bytes per result: a part's task as the scheduler sends it (pickled
   graph) and its answers as a worker sends them back (pickled), divided by
   the results of the part;
5. the scheduler's cost per task: 2,000 tasks that do nothing, on the 2
   workers (time per task end to end, and scheduler CPU per task), and its
   CPU time per second when idle (heartbeats and its own upkeep);
6. ``korvane-commerce enrich FILE --pages DIR --no-resolve -q`` in a shell
   loop over a sample of the results (``--cli``), extrapolated.

    PYTHONPATH=build/release/python python3 python/bench/bench_batch.py \\
        --cli build/release/tools/korvane-commerce/korvane-commerce
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import random
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import distributed

from korvane.batch import enrich_bag, enrich_records, read_results, slice_inputs
from korvane.batch.command import WORKER_MALLOC_ENVIRONMENT, main as batch_command

REPOSITORY = Path(__file__).resolve().parents[2]
CORPUS = REPOSITORY.parent / "shared" / "corpus"


def page_links(folder: Path) -> List[str]:
    """The links of a page folder's manifest (either of its forms)."""
    manifest = json.loads((folder / "manifest.json").read_text(encoding="utf-8"))
    if isinstance(manifest, dict):
        return sorted(manifest)
    return sorted({e.get("url") or e.get("original_url") for e in manifest} - {None})


def make_results(links: Sequence[str], count: int) -> List[str]:
    """JSON lines of search results over `links`: 12 to 18 matches each,
    every fourth with two shopping offers."""
    lines = []
    for i in range(count):
        rng = random.Random(i)
        chosen = rng.sample(list(links), min(len(links), rng.randint(12, 18)))
        matches = [
            {"link": link, "title": f"Product {i} {n}", "source": f"Shop {n}",
             "price": f"${rng.randint(5, 400)}.{rng.randint(0, 99):02d}", "in_stock": rng.random() < 0.7}
            for n, link in enumerate(chosen)
        ]
        record: Dict[str, Any] = {"id": f"r{i}", "visual_matches": matches}
        if i % 4 == 0:
            record["shopping_results"] = [
                {"title": f"Product {i} offer {k}", "link": f"https://store{k}.example/p/{i}", "source": f"Store {k}",
                 "extracted_price": 20.0 + k + i % 50}
                for k in range(2)
            ]
        lines.append(json.dumps(record))
    return lines


def usage() -> Tuple[float, int]:
    """CPU seconds and peak resident KiB of the calling process."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime, r.ru_maxrss


def noop(x: int) -> int:
    return x


class Cluster:
    """A scheduler and `workers` worker processes (one thread each) started as
    the README starts them on other machines (``dask scheduler``, ``dask
    worker`` with the workers' malloc settings), on loopback, and a client."""

    def __init__(self, workers: int) -> None:
        start = time.perf_counter()
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        self.address = f"tcp://127.0.0.1:{port}"
        quiet = subprocess.DEVNULL
        self.processes = [subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", str(port),
             "--no-dashboard"], stdout=quiet, stderr=quiet)]
        environment = dict(os.environ, **{k: str(v) for k, v in WORKER_MALLOC_ENVIRONMENT.items()})
        self.processes.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", self.address, "--nworkers", str(workers),
             "--nthreads", "1", "--no-dashboard"], env=environment, stdout=quiet, stderr=quiet))
        self.client = distributed.Client(self.address, timeout=30)
        self.client.wait_for_workers(workers)
        self.started = time.perf_counter() - start

    def usage(self) -> Tuple[Dict[str, Tuple[float, int]], Tuple[float, int]]:
        """(CPU seconds, peak KiB) of each worker, and of the scheduler."""
        return dict(self.client.run(usage)), self.client.run_on_scheduler(usage)

    def close(self) -> None:
        self.client.close()
        for process in reversed(self.processes):
            process.terminate()
            process.wait(30)


def run_command(cluster: Cluster, source: Path, output: Path, pages: Path, partition_size: int) -> Dict[str, float]:
    """The command against the cluster: seconds, results/s, CPU seconds of the
    workers, of the scheduler and of the command itself (this process), and
    the largest peak RSS (MiB) of a worker."""
    workers_before, scheduler_before = cluster.usage()
    here = time.process_time()
    start = time.perf_counter()
    status = batch_command([str(source), "--output", str(output), "--scheduler", cluster.address,
                            "--partition-size", str(partition_size), "--pages", str(pages), "--no-resolve"])
    seconds = time.perf_counter() - start
    here = time.process_time() - here
    assert status == 0, status
    workers_after, scheduler_after = cluster.usage()
    results = sum(1 for part in output.glob("part-*.jsonl") for _ in part.open(encoding="utf-8"))
    cpu = sum(workers_after[w][0] - workers_before[w][0] for w in workers_after if w in workers_before)
    return {"seconds": seconds, "rate": results / seconds, "cpu": cpu, "here": here,
            "scheduler": scheduler_after[0] - scheduler_before[0], "results": results,
            "peak_mib": max(v[1] for v in workers_after.values()) / 1024}


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pages", type=Path, default=CORPUS if CORPUS.is_dir() else REPOSITORY / "examples" / "pages")
    parser.add_argument("--results", type=int, default=2000)
    parser.add_argument("--partition-size", type=int, default=100)
    parser.add_argument("--sizes", type=int, nargs="*", default=[20, 400], help="other partition sizes, 2 workers")
    parser.add_argument("--cli", type=Path, help="korvane-commerce, for the shell loop")
    parser.add_argument("--cli-sample", type=int, default=200)
    args = parser.parse_args(argv)
    pages = args.pages.resolve()
    work = Path(tempfile.mkdtemp(prefix="bench-batch-"))
    lines = make_results(page_links(pages), args.results)
    source = work / "results.jsonl"
    source.write_text("\n".join(lines) + "\n", encoding="utf-8")
    matches = statistics.mean(len(json.loads(line)["visual_matches"]) for line in lines)
    print(f"{args.results} results, {matches:.1f} matches each on average, pages from {pages}, "
          f"input {source.stat().st_size / len(lines):.0f} bytes per result")

    # 1. The library alone, in this process.
    slices = slice_inputs([source], args.partition_size)
    cpu0, wall0 = time.process_time(), time.perf_counter()
    answers = []
    for piece in slices:
        answers.extend(enrich_records([(n, text) for n, text in zip(range(piece.first_line, piece.first_line +
                       piece.lines), lines[piece.first_line - 1: piece.first_line - 1 + piece.lines])],
                       pages=pages, resolve_stores=False))
    cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
    print(f"library alone (enrich_records per part, one thread): {1000 * cpu / len(answers):.2f} ms CPU per result, "
          f"{len(answers) / wall:.0f} results/s; {sum(a.items for a in answers) / len(answers):.1f} items per result")

    # 4. Bytes per result: a part's task, and its answers.
    parts = enrich_bag(read_results(slices[:1]), pages=str(pages), resolve_stores=False).to_delayed()
    task = len(pickle.dumps(dict(parts[0].__dask_graph__()), protocol=5))
    answers_bytes = len(pickle.dumps(answers[: slices[0].lines], protocol=5))
    per_result_out = answers_bytes / slices[0].lines
    print(f"bytes per result: task {task / slices[0].lines:.1f} (a part's task {task} bytes), "
          f"answers {per_result_out:.0f} (output lines {statistics.mean(len(a.line) + 1 for a in answers):.0f})")

    # 2, 3, 5. The command on clusters of 1 and 2 worker processes.
    rows = []
    for workers in (1, 2):
        cluster = Cluster(workers)
        try:
            sizes = [args.partition_size] + (args.sizes if workers == 2 else [])
            for size in sizes:
                figures = run_command(cluster, source, work / f"out-{workers}-{size}", pages, size)
                rows.append((workers, size, figures, cluster.started))
            if workers == 2:
                scheduler_cpu = cluster.usage()[1][0]
                t0 = time.perf_counter()
                distributed.wait(cluster.client.map(noop, range(2000), pure=False))
                per_task = (time.perf_counter() - t0) / 2000
                scheduler_cpu = (cluster.usage()[1][0] - scheduler_cpu) / 2000
                idle = cluster.usage()[1][0]
                time.sleep(5)
                idle = (cluster.usage()[1][0] - idle) / 5
                print(f"scheduler: 2,000 empty tasks on 2 workers, {1000 * per_task:.2f} ms per task end to end "
                      f"({1 / per_task:.0f} tasks/s), {1000 * scheduler_cpu:.2f} ms of scheduler CPU per task; "
                      f"idle with 2 workers {1000 * idle:.1f} ms CPU per second")
        finally:
            cluster.close()
    print("| workers | partition size | results/s | s for all | CPU per result: workers | scheduler | command "
          "| peak RSS per worker | cluster start |")
    print("|---|---|---|---|---|---|---|---|---|")
    for workers, size, f, started in rows:
        per = {k: f"{1000 * f[k] / f['results']:.2f} ms" for k in ("cpu", "scheduler", "here")}
        print(f"| {workers} | {size} | {f['rate']:.0f} | {f['seconds']:.1f} | {per['cpu']} | {per['scheduler']} "
              f"| {per['here']} | {f['peak_mib']:.0f} MiB | {started:.1f} s |")

    # 6. The command line once per result.
    if args.cli:
        sample = work / "sample"
        sample.mkdir()
        for i, line in enumerate(lines[: args.cli_sample]):
            (sample / f"{i:05d}.json").write_text(line, encoding="utf-8")
        loop = (f'for f in "{sample}"/*.json; do "{args.cli}" enrich "$f" --pages "{pages}" --no-resolve -q '
                ">/dev/null || exit 1; done")
        t0 = time.perf_counter()
        subprocess.run(["bash", "-c", loop], check=True)
        seconds = time.perf_counter() - t0
        rate = args.cli_sample / seconds
        print(f"korvane-commerce enrich once per result (shell loop, {args.cli_sample} results): {rate:.1f} results/s, "
              f"{1000 / rate:.1f} ms each; {args.results} would take {args.results / rate:.0f} s")
    print(f"(inputs and outputs in {work})", file=sys.stderr)


if __name__ == "__main__":
    main()
