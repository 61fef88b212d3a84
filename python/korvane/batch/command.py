"""``python3 -m korvane.batch``: JSON Lines of visual-search results in,
enriched results out, on a local Dask cluster or an existing one.

Each input line is one search result. The inputs are cut into parts of
``--partition-size`` lines; a worker reads its part's lines from the input
file itself, enriches them in one batch (one browser session) and sends the
answers back; this process writes them to ``DIR/part-NNNNN.jsonl``, one line
per input line in input order: ``{"id": …, "summary": …, "items": […]}`` or
``{"id": …, "error": "…"}``. A part is written to a temporary name and
renamed when complete, so a part file is always whole; run the same command
again after a crash and the parts already written are skipped.
``DIR/_batch.json`` records the inputs, the settings and the library's
version of the run, and a rerun with other ones into the same folder is
refused. SIGINT (Ctrl-C) or SIGTERM stops the run cleanly: the workers are
stopped, the parts written are kept, no partial part is left, and the
command exits with 130 or 143.
"""

from __future__ import annotations

import argparse
import dataclasses
import glob
import json
import logging
import math
import os
import signal
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional

from korvane import __version__
from korvane.batch import BatchResult, InputSlice, enrich_bag, read_results, slice_inputs
from korvane.commerce.settings import DEFAULT_RETRIES, RunSettings

__all__ = ["WORKER_MALLOC_ENVIRONMENT", "main", "part_path", "worker_malloc_settings"]

EXIT_OK, EXIT_FAILED = 0, 1  # (argparse exits with 2 for a wrong command line; a signal: 128 + its number)


def part_path(output: Path, index: int) -> Path:
    """The file of part ``index``."""
    return output / f"part-{index:05d}.jsonl"


def _arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python3 -m korvane.batch",
        description="Enrich visual-search results (JSON Lines, one result per line) on a Dask cluster.",
    )
    parser.add_argument("inputs", nargs="+", metavar="INPUT.jsonl", help="input files or glob patterns")
    parser.add_argument("--output", required=True, metavar="DIR", help="folder of the part files")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="tcp://HOST:PORT", help="the scheduler of an existing cluster")
    where.add_argument(
        "--workers", type=int, metavar="N", help="worker processes of a local cluster (default: one per core)"
    )
    parser.add_argument(
        "--dashboard", metavar="HOST:PORT", help="the local cluster's dashboard (Dask's, needs bokeh) at this address"
    )
    parser.add_argument("--partition-size", type=int, default=100, metavar="N", help="lines per part (default 100)")
    parser.add_argument("--pages", metavar="DIR", help="read destination pages from this folder (manifest.json)")
    parser.add_argument("--no-resolve", action="store_true", help="keep store search links (no browser)")
    parser.add_argument("--allow-private", action="store_true", help="allow pages on loopback and private addresses")
    parser.add_argument("--extended", action="store_true", help="the extended extraction")
    parser.add_argument("--timeout", type=float, default=5.0, metavar="S", help="seconds per page (default 5)")
    parser.add_argument(
        "--concurrency", type=int, default=4, metavar="N",
        help="results a worker enriches at once (default 4; more when the pages come from the network)",
    )
    _fetching_arguments(parser)
    args = parser.parse_args(argv)
    if args.partition_size < 1:
        parser.error("--partition-size must be at least 1")
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.concurrency < 1:
        parser.error("--concurrency must be at least 1")
    if not (math.isfinite(args.timeout) and args.timeout > 0):
        parser.error("--timeout must be a positive number of seconds")
    if args.per_host < 1:
        parser.error("--per-host must be at least 1")
    if args.retries < 0:
        parser.error("--retries must not be negative")
    for name in ("host_delay", "cache_max_age"):
        if not (math.isfinite(getattr(args, name)) and getattr(args, name) >= 0):
            parser.error(f"--{name.replace('_', '-')} must be a number of seconds, 0 or more")
    return args


def _fetching_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("fetching at scale (each worker process paces its own requests)")
    group.add_argument("--per-host", type=int, default=4, metavar="N", help="requests in flight to one host (default 4)")
    group.add_argument("--host-delay", type=float, default=0.0, metavar="S",
                       help="seconds between the requests to one host at least (default 0)")
    group.add_argument("--adaptive", action="store_true", help="each host's delay follows its latency and errors")
    group.add_argument("--retries", type=int, nargs="?", const=DEFAULT_RETRIES, default=0, metavar="N",
                       help=f"ask again after a reset, a timeout, 429, 502, 503 or 504, at most N times "
                            f"(alone: {DEFAULT_RETRIES}; default: never)")
    group.add_argument("--respect-robots", action="store_true",
                       help="read each site's robots.txt first and leave out the pages it disallows")
    group.add_argument("--cache", metavar="FILE", help="a page cache file (SQLite) the workers of this machine share")
    group.add_argument("--cache-max-age", type=float, default=86400.0, metavar="S",
                       help="seconds a cached page that says nothing stays fresh, the most any does (default 86400)")


def _input_files(patterns: Sequence[str]) -> List[str]:
    """The files the arguments name, globs expanded in sorted order."""
    files: List[str] = []
    for pattern in patterns:
        found = sorted(glob.glob(pattern)) if glob.has_magic(pattern) else [pattern]
        if not found:
            raise FileNotFoundError(f"{pattern}: no file matches")
        for name in found:
            if os.path.isdir(name):
                raise IsADirectoryError(f"{name}: is a folder, not a file")
            if not os.path.exists(name):
                raise FileNotFoundError(f"{name}: no such file")
        files.extend(found)
    return files


def _make_output_folder(output: Path) -> None:
    if output.exists() and not output.is_dir():
        raise NotADirectoryError(f"{output}: not a folder (--output names the folder of the part files)")
    output.mkdir(parents=True, exist_ok=True)


def _check_run_file(output: Path, files: Sequence[str], settings: Dict[str, Any]) -> None:
    """Records the run in ``_batch.json``, or checks that the run before
    had the same inputs (path, size, time), settings and library version:
    parts of another version are never mixed with this one's."""
    inputs = []
    for name in files:
        stat = os.stat(name)
        inputs.append({"path": os.path.abspath(name), "size": stat.st_size, "mtime_ns": stat.st_mtime_ns})
    run = {"version": __version__, "inputs": inputs, "settings": settings}
    record = output / "_batch.json"
    if record.exists():
        before = json.loads(record.read_text(encoding="utf-8"))
        if before.get("version") != __version__:
            raise ValueError(
                f"{output} holds parts written by version {before.get('version', 'unknown')} of korvane, this is "
                f"{__version__}; use another folder, or empty this one to start afresh"
            )
        if before != run:
            raise ValueError(f"{output} holds the parts of a run with other inputs or settings; use another folder")
        return
    temporary = record.with_name(record.name + ".tmp")
    temporary.write_text(json.dumps(run, indent=2) + "\n", encoding="utf-8")
    os.replace(temporary, record)


def _write_part(path: Path, answers: Sequence[BatchResult]) -> None:
    """Writes the part whole or not at all: its temporary file is removed
    whatever stops the writing (a full disk, a signal)."""
    temporary = path.with_name(path.name + ".tmp")
    try:
        with open(temporary, "w", encoding="utf-8") as file:
            for answer in answers:
                file.write(answer.line)
                file.write("\n")
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


#: The malloc thresholds of the workers: glibc serves allocations below
#: MALLOC_MMAP_THRESHOLD_ from its heap and gives free heap memory back above
#: MALLOC_TRIM_THRESHOLD_.
WORKER_MALLOC_ENVIRONMENT = {"MALLOC_TRIM_THRESHOLD_": 64 << 20, "MALLOC_MMAP_THRESHOLD_": 32 << 20}


def worker_malloc_settings() -> Any:
    """Dask's configuration in which the nannies start workers with
    ``WORKER_MALLOC_ENVIRONMENT`` (values set in the environment still win).
    Dask's own default, MALLOC_TRIM_THRESHOLD_=65536, also pins the
    threshold above which malloc maps memory of its own to 128 KiB, so that
    every page-sized buffer (a fetched page is often 100 KB to 1 MB) is
    mapped, faulted in and unmapped again: enrichment then takes 70 % more
    CPU time. With these thresholds a worker's peak memory grows by some
    20 MiB."""
    import dask.config

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    environ.update(WORKER_MALLOC_ENVIRONMENT)
    return dask.config.set({"distributed.nanny.pre-spawn-environ": environ})


@contextmanager
def _client(args: argparse.Namespace) -> Iterator[Any]:
    """A client of the scheduler named, or of a new local cluster. It takes
    the answers from the workers themselves (falling back to the scheduler
    for a worker it cannot reach), so the scheduler relays only tasks and
    their states."""
    from distributed import Client, LocalCluster

    from korvane.batch._worker import IgnoreSigint

    if args.scheduler:
        with Client(args.scheduler, direct_to_workers=True) as client:
            yield client
        return
    workers = args.workers or len(os.sched_getaffinity(0))
    # Without a dashboard asked for, the cluster's HTTP server takes a free
    # port (never 8787, which another cluster may hold: Dask warns then).
    # The workers' own log stays quiet: a task that fails reaches this
    # command as its part's error, and after a stop a worker may still log
    # a task whose inputs the stopping client took away.
    with worker_malloc_settings():
        with _sigint_ignored():
            cluster = LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=args.dashboard or ":0",
                silence_logs=logging.CRITICAL,
            )
        with cluster, Client(cluster, direct_to_workers=True) as client:
            client.register_worker_plugin(IgnoreSigint())
            yield client


@dataclass
class _Totals:
    results: int = 0
    items: int = 0
    priced: int = 0
    errors: int = 0
    parts: int = 0
    failed_parts: int = 0
    started: float = 0.0  # times (time.monotonic): the command's start,
    ready: float = 0.0  # the cluster ready,
    finished: float = 0.0  # the last part written

    def add(self, answers: Sequence[BatchResult]) -> None:
        """Counts a part written."""
        self.parts += 1
        self.results += len(answers)
        self.items += sum(a.items for a in answers)
        self.priced += sum(a.priced for a in answers)
        self.errors += sum(1 for a in answers if a.error is not None)


def _show_progress(futures: Sequence[Any]) -> threading.Thread:
    """Dask's progress bar of the futures, on standard output, from a thread
    of its own."""
    from distributed import progress

    thread = threading.Thread(target=progress, args=(futures,), kwargs={"notebook": False}, daemon=True)
    thread.start()
    return thread


class _Stopped(BaseException):
    """SIGINT or SIGTERM arrived (a BaseException, so that no ``except
    Exception`` on the way takes it for the failure of a part)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@contextmanager
def _stopping_on_signals() -> Iterator[None]:
    """While it lasts, SIGINT and SIGTERM raise ``_Stopped`` in the main
    thread, once: a second one ends the process at once, as the signal
    would. A SIGINT ignored when the command started (a background job of a
    shell) stays ignored. (Outside the main thread, where Python takes no
    signal handlers, signals are left to the program that calls main().)"""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum: int, frame: Any) -> None:
        for sig in previous:
            signal.signal(sig, signal.SIG_DFL)
        raise _Stopped(signum)

    previous = {
        sig: signal.signal(sig, stop)
        for sig in (signal.SIGINT, signal.SIGTERM)
        if signal.getsignal(sig) is not signal.SIG_IGN
    }
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


@contextmanager
def _sigint_ignored() -> Iterator[None]:
    """SIGINT ignored by this process while it lasts: the worker processes
    started meanwhile inherit that, and ``korvane.batch._worker.IgnoreSigint``
    (a plugin of theirs) ignores it in any worker started later. A terminal's Ctrl-C,
    which reaches the whole process group, then stops only this process,
    which stops the workers itself."""
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _compute(args: argparse.Namespace, settings: RunSettings, output: Path, pending: Sequence[InputSlice],
             totals: _Totals) -> None:
    """Enriches the pending parts on the cluster and writes each as it
    comes; counts into ``totals``."""
    from distributed import as_completed

    with _client(args) as client:
        totals.ready = time.monotonic()
        parts = enrich_bag(read_results(pending), concurrency=args.concurrency, settings=settings).to_delayed()
        futures = client.compute(parts)
        part_of = {future.key: piece for future, piece in zip(futures, pending)}
        bar = _show_progress(futures) if sys.stdout.isatty() else None
        for future in as_completed(futures):
            piece = part_of[future.key]
            try:
                answers: List[BatchResult] = future.result()
                _write_part(part_path(output, piece.part), answers)
            except Exception as error:  # the part stays unwritten; a rerun computes it again
                totals.failed_parts += 1
                print(f"korvane.batch: part {piece.part} ({piece.path}, lines {piece.first_line}-"
                      f"{piece.first_line + piece.lines - 1}) failed: {error}", file=sys.stderr)
                continue
            finally:
                future.release()
            totals.add(answers)
        totals.finished = time.monotonic()
        if bar is not None:
            bar.join(timeout=5)


def _quiet_shutdown() -> None:
    """After a stop, Dask's complaints about the tasks and connections it
    drops on the way down are expected: not shown."""
    for name in ("distributed", "tornado", "asyncio"):
        logging.getLogger(name).setLevel(logging.CRITICAL + 1)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command; returns its exit status: 0 when every part is
    written (error lines included), 1 when a part failed or the inputs or
    folder cannot be used, 2 for a wrong command line, 130 or 143 when
    stopped by SIGINT or SIGTERM."""
    args = _arguments(argv)
    settings = RunSettings(
        pages=os.path.abspath(args.pages) if args.pages else None,
        allow_private=args.allow_private,
        resolve_stores=not args.no_resolve,
        extended=args.extended,
        timeout=args.timeout,
        per_host=args.per_host,
        host_delay=args.host_delay,
        adaptive=args.adaptive,
        retries=args.retries,
        respect_robots=args.respect_robots,
        cache=os.path.abspath(args.cache) if args.cache else None,
        cache_max_age=args.cache_max_age,
    )
    output = Path(args.output)
    try:
        files = _input_files(args.inputs)
        if args.pages and not args.scheduler and not os.path.isfile(os.path.join(args.pages, "manifest.json")):
            # (Workers on other machines may have the folder where this one has not.)
            raise FileNotFoundError(f"{args.pages}: no manifest.json in this page folder")
        _make_output_folder(output)
        _check_run_file(output, files, {"partition_size": args.partition_size, **dataclasses.asdict(settings)})
        slices = slice_inputs(files, args.partition_size)
    except (OSError, ValueError) as error:
        print(f"korvane.batch: {error}", file=sys.stderr)
        return EXIT_FAILED
    pending: List[InputSlice] = [s for s in slices if not part_path(output, s.part).exists()]
    skipped = len(slices) - len(pending)
    totals = _Totals(started=time.monotonic())
    totals.ready = totals.finished = totals.started
    try:
        with _stopping_on_signals():
            if pending:
                _compute(args, settings, output, pending, totals)
    except _Stopped as stopped:
        _quiet_shutdown()
        done = sum(1 for piece in slices if part_path(output, piece.part).exists())  # (also one written just now)
        print(f"korvane.batch: stopped: {done} of {len(slices)} parts done; run again to continue", file=sys.stderr)
        return 128 + stopped.signum
    seconds = totals.finished - totals.ready
    rate = totals.results / seconds if seconds > 0 else 0.0
    print(
        f"korvane.batch: {totals.results} results in {totals.parts} parts ({skipped} parts written before), "
        f"{totals.items} items, {totals.priced} priced, {totals.errors} errors; "
        f"{seconds:.1f} s, {rate:.1f} results/s (cluster start {totals.ready - totals.started:.1f} s)",
        file=sys.stderr,
    )
    if totals.failed_parts:
        print(f"korvane.batch: {totals.failed_parts} parts failed; run the same command again to compute them",
              file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK
