"""A whole run of the pipeline with its report: the matches of one search,
optionally fused with its shopping offers (every item labelled, the summary
over the fused list), and what happened (pages missed with their reasons,
store pages crawled with their outcomes, times)."""

from __future__ import annotations

import os
from typing import Any, Dict, List, NamedTuple, Optional, Union

from korvane import _core
from korvane._bridge import ProgressCallback, run_async, run_blocking
from korvane.core.fetcher import CacheFile, FetchOptions
from korvane.models.commerce import CommerceIntelligence
from korvane.models.lens import VisualMatch
from korvane.models.shopping import ShoppingOffer

__all__ = ["RunResult", "enrich", "enrich_async"]


class RunResult(NamedTuple):
    """A run's result and its report (the JSON form of the library's
    RunReport: ``matches``, ``pages_requested``, ``pages_fetched``,
    ``pages_missed``, ``pages_from_cache``, ``pages_revalidated``,
    ``retries``, ``robots_refused``, ``store_candidates``,
    ``items_resolved``, ``stores``, ``seconds``, and ``cache_problem`` when
    the page cache could not be used)."""

    result: CommerceIntelligence
    report: Dict[str, Any]


async def enrich_async(
    matches: List[VisualMatch],
    offers: Optional[List[ShoppingOffer]] = None,
    *,
    on_progress: Optional[ProgressCallback] = None,
    pages: Optional[Union[str, "os.PathLike[str]"]] = None,
    allow_private: bool = False,
    resolve_stores: bool = True,
    extended: bool = False,
    timeout: float = 5.0,
    max_items: Optional[int] = None,
    cache: Optional[CacheFile] = None,
    fetching: Optional[FetchOptions] = None,
) -> RunResult:
    """The run of ``CommerceEnricher.process_async`` with the same settings,
    the offers fused in when given, and only the first ``max_items`` matches
    when set (as a slice ``[:max_items]`` takes them); ``cache`` and
    ``fetching`` as for ``CommerceEnricher.process_async``."""
    run = _core.enrich_run(
        matches,
        offers,
        pages=pages,
        allow_private=allow_private,
        resolve_stores=resolve_stores,
        extended=extended,
        timeout=timeout,
        max_items=max_items,
        cache=cache,
        fetching=fetching,
    )
    result, report = await run_async(run, on_progress)
    return RunResult(result, report)


def enrich(
    matches: List[VisualMatch],
    offers: Optional[List[ShoppingOffer]] = None,
    *,
    on_progress: Optional[ProgressCallback] = None,
    pages: Optional[Union[str, "os.PathLike[str]"]] = None,
    allow_private: bool = False,
    resolve_stores: bool = True,
    extended: bool = False,
    timeout: float = 5.0,
    max_items: Optional[int] = None,
    cache: Optional[CacheFile] = None,
    fetching: Optional[FetchOptions] = None,
) -> RunResult:
    """The blocking form of ``enrich_async``."""
    return run_blocking(
        enrich_async(
            matches,
            offers,
            on_progress=on_progress,
            pages=pages,
            allow_private=allow_private,
            resolve_stores=resolve_stores,
            extended=extended,
            timeout=timeout,
            max_items=max_items,
            cache=cache,
            fetching=fetching,
        )
    )
