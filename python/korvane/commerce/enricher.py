"""The commerce enricher: visual matches in, commerce intelligence out."""

from __future__ import annotations

import os
from typing import List, Optional, Union, cast

from korvane import _core
from korvane._bridge import ProgressCallback, run_async, run_blocking
from korvane.core.fetcher import CacheFile, FetchOptions
from korvane.models.commerce import CommerceIntelligence
from korvane.models.lens import VisualMatch

__all__ = ["CommerceEnricher"]

PagesFolder = Union[str, "os.PathLike[str]"]


class CommerceEnricher:
    """The entry point of the pipeline. Every match link is cleaned, all
    destination pages are fetched in one concurrent batch and parsed,
    merchants are classified, store search links are resolved in a headless
    browser, every item gets a relevance label, and a market summary covers
    the set. Stateless: the operations are called on the class.

    Keyword-only settings of both forms:

    - ``pages``: a folder of saved pages with a ``manifest.json`` (link to
      file) to read destination pages from instead of the network;
    - ``allow_private``: pages on loopback and private addresses may be
      fetched and opened (local servers);
    - ``resolve_stores``: store search links are opened in the browser;
    - ``extended``: the extended reading of product pages;
    - ``timeout``: seconds each destination page may take to fetch;
    - ``cache``: a page cache file (SQLite, made when missing; processes may
      share it): fresh pages are served without a request, stale ones
      revalidated;
    - ``fetching``: a ``korvane.core.fetcher.FetchOptions`` (pace per host,
      retries, robots.txt).
    """

    @classmethod
    async def process_async(
        cls,
        matches: List[VisualMatch],
        on_progress: Optional[ProgressCallback] = None,
        *,
        pages: Optional[PagesFolder] = None,
        allow_private: bool = False,
        resolve_stores: bool = True,
        extended: bool = False,
        timeout: float = 5.0,
        cache: Optional[CacheFile] = None,
        fetching: Optional[FetchOptions] = None,
    ) -> CommerceIntelligence:
        """The commerce intelligence of ``matches``, items in match order.

        A coroutine of the running loop; the C++ work runs on a thread of its
        own and progress messages are delivered on the loop's thread, in
        order. Cancelling the task stops the run (the browser is closed
        first). An empty list gives the empty result at once.
        """
        run = _core.enrich_run(
            matches,
            pages=pages,
            allow_private=allow_private,
            resolve_stores=resolve_stores,
            extended=extended,
            timeout=timeout,
            cache=cache,
            fetching=fetching,
        )
        result, _report = await run_async(run, on_progress)
        return cast(CommerceIntelligence, result)

    @classmethod
    def process(
        cls,
        matches: List[VisualMatch],
        on_progress: Optional[ProgressCallback] = None,
        *,
        pages: Optional[PagesFolder] = None,
        allow_private: bool = False,
        resolve_stores: bool = True,
        extended: bool = False,
        timeout: float = 5.0,
        cache: Optional[CacheFile] = None,
        fetching: Optional[FetchOptions] = None,
    ) -> CommerceIntelligence:
        """The blocking form of ``process_async``; also works when the calling
        thread runs an event loop (it then blocks that loop until done)."""
        return run_blocking(
            cls.process_async(
                matches,
                on_progress,
                pages=pages,
                allow_private=allow_private,
                resolve_stores=resolve_stores,
                extended=extended,
                timeout=timeout,
                cache=cache,
                fetching=fetching,
            )
        )
