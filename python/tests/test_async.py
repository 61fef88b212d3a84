"""The asyncio bridge and threads: the loop stays free while C++ works, the
GIL is released, progress callbacks run on the loop's thread in order,
failures and cancellation reach the caller, and a cancelled run leaves no
browser behind."""

from __future__ import annotations

import asyncio
import glob
import json
import shutil
import tempfile
import threading
import time
from pathlib import Path
from typing import List, Tuple

import pytest
from conftest import LocalServer, needs_chromium, product_page

from korvane.commerce import CommerceEnricher, DirectStoreResolver, DestinationMetadataParser
from korvane.commerce.run import enrich
from korvane.models.commerce import CommerceIntelligence, EnrichedCommerceMatch
from korvane.models.lens import VisualMatch

MESSAGES = [
    "Fetching metadata from 3 merchant destinations...",
    "Extracting structured product metadata & price intelligence (3 items)...",
]


def slow_matches(server: LocalServer, delay: float) -> List[VisualMatch]:
    return [
        VisualMatch(link=server.add(f"/p/{i}", product_page(f"Shoe {i}"), delay), title=f"Shoe {i}")
        for i in range(3)
    ]


class TestLoopStaysFree:
    def test_ticks_and_callbacks_on_the_loop_thread_in_order(self, server: LocalServer) -> None:
        matches = slow_matches(server, delay=0.4)
        events: List[Tuple[str, str, int]] = []

        async def on_progress(message: str) -> None:
            events.append(("start", message, threading.get_ident()))
            await asyncio.sleep(0.05)  # the C++ thread waits for this
            events.append(("end", message, threading.get_ident()))

        async def main() -> Tuple[CommerceIntelligence, int]:
            ticks = 0

            async def ticker() -> None:
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.001)
                    ticks += 1

            task = asyncio.create_task(ticker())
            result = await CommerceEnricher.process_async(
                matches, on_progress, allow_private=True, resolve_stores=False
            )
            task.cancel()
            return result, ticks

        result, ticks = asyncio.run(main())
        assert [i.title for i in result.items] == ["Shoe 0", "Shoe 1", "Shoe 2"]
        assert ticks >= 20, "the loop was blocked"
        assert [(kind, message) for kind, message, _ in events] == [
            ("start", MESSAGES[0]), ("end", MESSAGES[0]), ("start", MESSAGES[1]), ("end", MESSAGES[1])
        ]
        assert {thread for _, _, thread in events} == {threading.get_ident()}

    def test_plain_callbacks_and_process_inside_a_running_loop(self, server: LocalServer) -> None:
        matches = slow_matches(server, delay=0.0)
        received: List[str] = []

        async def main() -> Tuple[CommerceIntelligence, CommerceIntelligence]:
            blocking = CommerceEnricher.process(matches, received.append, allow_private=True, resolve_stores=False)
            awaited = await CommerceEnricher.process_async(matches, allow_private=True, resolve_stores=False)
            return blocking, awaited

        blocking, awaited = asyncio.run(main())
        assert blocking == awaited and received == MESSAGES

    def test_a_failing_callback_fails_the_call_with_its_exception(self, server: LocalServer) -> None:
        failure = LookupError("no more progress")

        def on_progress(message: str) -> None:
            raise failure

        with pytest.raises(LookupError) as raised:
            CommerceEnricher.process(slow_matches(server, 0.0), on_progress, allow_private=True)
        assert raised.value is failure
        with pytest.raises(TypeError, match="on_progress must be callable or None, not str"):
            CommerceEnricher.process([], "print")  # type: ignore[arg-type]


class TestGilIsReleased:
    def test_python_threads_run_while_cpp_works(self, server: LocalServer) -> None:
        # The pages come from a Python server thread: the fetch only gets them
        # if the run holds no GIL while it waits.
        matches = slow_matches(server, delay=0.5)
        reports: List[dict[str, object]] = []
        worker = threading.Thread(
            target=lambda: reports.append(enrich(matches, allow_private=True, resolve_stores=False, timeout=3).report)
        )
        gaps: List[float] = []
        last = time.monotonic()
        worker.start()
        while worker.is_alive():
            time.sleep(0.001)
            now = time.monotonic()
            gaps.append(now - last)
            last = now
        assert reports[0]["pages_fetched"] == 3
        assert max(gaps) < 0.25, "the main thread stalled while C++ worked"

    def test_parsing_from_several_threads(self) -> None:
        page = product_page("Shoe") + "<p>filler</p>" * 200_000
        expected = DestinationMetadataParser.parse_metadata(page, "https://shop.example/p/1", rank=3)
        results: List[object] = []
        threads = [
            threading.Thread(
                target=lambda: results.append(
                    DestinationMetadataParser.parse_metadata(page, "https://shop.example/p/1", rank=3)
                )
            )
            for _ in range(4)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == [expected] * 4


def chromium_processes(marker: str) -> List[int]:
    """Processes whose command line mentions `marker` (the test's TMPDIR)."""
    found = []
    for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            with open(cmdline, "rb") as f:
                if marker.encode() in f.read():
                    found.append(int(cmdline.split("/")[2]))
        except OSError:
            pass
    return found


@needs_chromium
class TestBrowser:
    def test_cancelling_stops_the_browser_and_leaves_nothing(
        self, server: LocalServer, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        # A short TMPDIR of the test's own: Chromium refuses socket paths
        # longer than 107 bytes under it (pytest's tmp_path is too long).
        tmp_path = Path(tempfile.mkdtemp(prefix="kvt-", dir="/tmp"))
        monkeypatch.setenv("TMPDIR", str(tmp_path))
        pages = tmp_path / "pages"
        pages.mkdir()
        (pages / "manifest.json").write_text("{}")
        search = server.add("/search?q=blue+shoe", product_page("Results"), delay=60)

        async def main() -> None:
            task = asyncio.create_task(
                CommerceEnricher.process_async(
                    [VisualMatch(link=search, title="Blue shoe")], pages=pages, allow_private=True
                )
            )
            opened = await asyncio.get_running_loop().run_in_executor(
                None, server.requested["/search?q=blue+shoe"].wait, 30
            )
            assert opened, "the browser never asked for the store page"
            assert chromium_processes(str(tmp_path)), "no browser running"
            started = time.monotonic()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert time.monotonic() - started < 10

        try:
            asyncio.run(main())
            assert chromium_processes(str(tmp_path)) == []
            assert glob.glob(str(tmp_path / "korvane-chromium-*")) == []
        finally:
            shutil.rmtree(tmp_path)

    def test_resolution_changes_the_given_records(self, server: LocalServer) -> None:
        product = server.add("/p/blue-suede-shoe-42", product_page("Blue suede shoe"))
        search_page = (
            "<html><body><h1>Results</h1>"
            f'<a class="product-link" href="{product}">Blue suede shoe</a>'
            '<a href="/help">Help</a>' + "<p>more</p>" * 30 + "</body></html>"
        )
        search = server.add("/search?q=blue+suede+shoe", search_page)
        items = [
            EnrichedCommerceMatch(title="Blue suede shoe", direct_url=search, merchant_name="Local"),
            EnrichedCommerceMatch(title="Other", direct_url="https://shop.example/p/1"),
        ]
        messages: List[str] = []
        resolved = asyncio.run(
            DirectStoreResolver.resolve_async(items, 1, 15, messages.append, allow_private=True)
        )
        assert resolved is not items and all(a is b for a, b in zip(resolved, items))
        assert items[0].direct_url == product and items[1].direct_url == "https://shop.example/p/1"
        assert messages[-1] == "✓ Resolved 1/1 direct product links."
        assert json.loads(items[0].model_dump_json())["direct_url"] == product
