"""What the Python layer costs over the C++ library, measured.

1. Per-call overhead: PriceNormalizer.parse over the price texts of
   bench/normalizer_bench.cpp and URLUnwrapper.unwrap over the links of
   bench/unwrapper_bench.cpp, from Python, against the same loops in C++
   (the Google Benchmark binaries, when --cpp-bench names their folder).
2. parse_metadata over the corpus pages (as bench_metadata's BM_Pages reads
   them), in MB/s of page bytes, against BM_Pages, in both extraction modes.
3. process_async on 200 matches from a page folder (store resolution off):
   wall time against the CLI (korvane-commerce enrich --pages DIR
   --no-resolve), and the ticks a 1 ms asyncio ticker makes meanwhile.

    PYTHONPATH=build/release/python python3 python/bench/bench_python.py \\
        --cpp-bench build/release/bench --cli build/release/tools/korvane-commerce/korvane-commerce
"""

from __future__ import annotations

import argparse
import ast
import asyncio
import json
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

from korvane.commerce import CommerceEnricher, DestinationMetadataParser, PriceNormalizer, URLUnwrapper
from korvane.commerce.input import read_search_result
from korvane.commerce.run import enrich_async
from korvane.models.lens import VisualMatch

REPOSITORY = Path(__file__).resolve().parents[2]
CORPUS = REPOSITORY.parent / "shared" / "corpus"


# ---------------------------------------------------------------- inputs of the C++ benchmarks


def price_texts() -> List[str]:
    """The string literals of `price_texts` in bench/normalizer_bench.cpp."""
    source = (REPOSITORY / "bench" / "normalizer_bench.cpp").read_text(encoding="utf-8")
    block = source[source.index("price_texts{") : source.index("};", source.index("price_texts{"))]
    return [ast.literal_eval(f'"{s}"') for s in re.findall(r'"((?:[^"\\]|\\.)*)"', block)]


def realistic_links() -> List[str]:
    """The links of bench/data/unwrap_links.txt, as bench/unwrapper_bench.cpp reads them."""
    text = (REPOSITORY / "bench" / "data" / "unwrap_links.txt").read_text(encoding="utf-8")
    return [line for line in text.splitlines() if line]


def corpus_pages() -> List[Tuple[str, bytes]]:
    """(link, page bytes) of the corpus pages, as bench_metadata reads them."""
    manifest = json.loads((CORPUS / "manifest.json").read_text(encoding="utf-8"))
    return [
        (entry.get("original_url") or "https://example.com/", (CORPUS / entry["file"]).read_bytes())
        for entry in manifest
        if entry.get("file", "").startswith("pages/")
    ]


# ---------------------------------------------------------------- measuring


def best_of(repeats: int, run: Callable[[], float]) -> float:
    return min(run() for _ in range(repeats))


def per_call_ns(call: Callable[[str], object], inputs: Sequence[str], rounds: int) -> float:
    def run() -> float:
        started = time.perf_counter_ns()
        for _ in range(rounds):
            for text in inputs:
                call(text)
        return (time.perf_counter_ns() - started) / (rounds * len(inputs))

    return best_of(5, run)


def cpp_benchmark(binary: Path, name: str) -> Dict[str, float]:
    """The JSON row of benchmark `name` (exact) of a Google Benchmark binary."""
    out = subprocess.run(
        [str(binary), f"--benchmark_filter=^{re.escape(name)}$", "--benchmark_format=json", "--benchmark_repetitions=3",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True,
    ).stdout
    rows = [b for b in json.loads(out)["benchmarks"] if b.get("aggregate_name") == "median"]
    return dict(rows[0])


def call_overhead(cpp_bench: Optional[Path]) -> None:
    print("== per call: Python against the same loop in C++")
    cases: List[Tuple[str, Callable[[str], object], List[str], str, str]] = [
        ("PriceNormalizer.parse", PriceNormalizer.parse, price_texts(), "bench_normalizer", "BM_Parse"),
        ("URLUnwrapper.unwrap", URLUnwrapper.unwrap, realistic_links(), "bench_unwrapper", "BM_Unwrap"),
    ]
    for label, call, inputs, binary, name in cases:
        python_ns = per_call_ns(call, inputs, rounds=20_000 // len(inputs) + 1)
        line = f"{label:24} Python {python_ns:7.0f} ns/call"
        if cpp_bench is not None:
            row = cpp_benchmark(cpp_bench / binary, name)
            cpp_ns = 1e9 / row["items_per_second"]
            line += f"   C++ {cpp_ns:7.0f} ns/call   overhead {python_ns - cpp_ns:5.0f} ns ({python_ns / cpp_ns:.2f}x)"
        print(line, flush=True)


def metadata_throughput(cpp_bench: Optional[Path]) -> None:
    print("== parse_metadata over the corpus pages")
    if not (CORPUS / "manifest.json").exists():
        print("   (no corpus at", CORPUS, ")")
        return
    pages = corpus_pages()
    total = sum(len(html) for _, html in pages)
    texts = [(url, html.decode("utf-8", "replace")) for url, html in pages]

    def run(kind: str, extended: bool) -> float:
        # "new str": new str objects, so their UTF-8 form is made inside the
        # timing (a str keeps it once made); "bytes": the pages as read.
        if kind == "bytes":
            batch: Sequence[Tuple[str, Union[str, bytes]]] = pages
        elif kind == "new str":
            batch = [(url, (text + ".")[:-1]) for url, text in texts]
        else:
            batch = texts
        started = time.perf_counter()
        for rank, (url, page) in enumerate(batch, start=1):
            DestinationMetadataParser.parse_metadata(
                page, url, "Shop now", "Example Store", None, None, rank, extended=extended
            )
        return time.perf_counter() - started

    for extended in (False, True):
        mode = "extended" if extended else "standard"
        for kind in ("same str", "new str", "bytes"):
            seconds = best_of(5, lambda: run(kind, extended))
            print(f"   {mode:8} Python ({kind:8}) {total / seconds / 1e6:7.0f} MB/s  "
                  f"({len(pages)} pages, {total / 1e6:.1f} MB)")
        if cpp_bench is not None:
            row = cpp_benchmark(cpp_bench / "bench_metadata", f"BM_Pages/extended:{int(extended)}")
            print(f"   {mode:8} C++ BM_Pages       {row['bytes_per_second'] / 1e6:7.0f} MB/s")


def page_folder(folder: Path, count: int) -> List[VisualMatch]:
    """`count` matches whose pages are in `folder` (the corpus pages, or the
    example's when there is no corpus), each under a link of its own."""
    if (CORPUS / "manifest.json").exists():
        sources = [(CORPUS / e["file"], "text/html") for e in json.loads((CORPUS / "manifest.json").read_text())
                   if e.get("file", "").startswith("pages/")]
    else:
        sources = [(p, "text/html") for p in sorted((REPOSITORY / "examples" / "pages").glob("*.html"))]
    manifest = {}
    matches = []
    for i in range(count):
        source, content_type = sources[i % len(sources)]
        name = f"{i:03d}-{source.name}"
        shutil.copyfile(source, folder / name)
        link = f"https://shop{i}.example/products/item-{i}"
        manifest[link] = {"file": name, "content_type": content_type}
        matches.append(VisualMatch(link=link, title="Shop now", source="Example Store", price="$19.99"))
    (folder / "manifest.json").write_text(json.dumps(manifest))
    return matches


def pipeline(cli: Optional[Path], count: int) -> None:
    print(f"== process_async on {count} matches from a page folder (no store resolution)")
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp) / "pages"
        folder.mkdir()
        matches = page_folder(folder, count)

        async def once() -> Tuple[float, int, float]:
            ticks = 0

            async def ticker() -> None:
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.001)
                    ticks += 1

            task = asyncio.create_task(ticker())
            await asyncio.sleep(0)
            started = time.perf_counter()
            await CommerceEnricher.process_async(matches, pages=folder, resolve_stores=False)
            seconds = time.perf_counter() - started
            task.cancel()
            # The same run with its report: the library's own time of it.
            report = (await enrich_async(matches, pages=folder, resolve_stores=False)).report
            return seconds, ticks, float(report["seconds"]["total"])

        runs = [asyncio.run(once()) for _ in range(5)]
        seconds = statistics.median(s for s, _, _ in runs)
        ticks = statistics.median(t for _, t, _ in runs)
        inside = statistics.median(c for _, _, c in runs)
        print(f"   process_async   {seconds * 1000:7.1f} ms (median of 5; the library's own time of such a run: "
              f"{inside * 1000:.1f} ms)   ticker: {ticks:.0f} ticks ({ticks / (seconds * 1000):.2f} per ms)")
        if cli is not None:
            result = Path(tmp) / "result.json"
            result.write_text(json.dumps([m.model_dump(exclude_none=True) for m in matches]))
            assert len(read_search_result(result.read_text()).matches) == count

            def cli_run() -> float:
                started = time.perf_counter()
                subprocess.run([str(cli), "enrich", str(result), "--pages", str(folder), "--no-resolve", "--quiet",
                                "--json", str(Path(tmp) / "out.json")], check=True)
                return time.perf_counter() - started

            cli_seconds = statistics.median(cli_run() for _ in range(5))
            print(f"   CLI enrich      {cli_seconds * 1000:7.1f} ms (median of 5, process start and JSON file included)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cpp-bench", type=Path, help="folder of bench_normalizer, bench_unwrapper, bench_metadata")
    parser.add_argument("--cli", type=Path, help="the korvane-commerce program")
    parser.add_argument("--matches", type=int, default=200)
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}")
    call_overhead(args.cpp_bench)
    metadata_throughput(args.cpp_bench)
    pipeline(args.cli, args.matches)


if __name__ == "__main__":
    main()
