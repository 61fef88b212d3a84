"""A whole run of the pipeline with its report: the matches of one search,
optionally fused with its shopping offers (every item labelled, the summary
over the fused list), and what happened (pages missed with their reasons,
store pages crawled with their outcomes, times)."""

from __future__ import annotations

from typing import Any, Dict, Iterable, NamedTuple, Optional

from korvane import _core
from korvane._bridge import CountsCallback, ProgressCallback, RunProgress, blocking_twin, run_async
from korvane.commerce.settings import RunSettings, run_settings
from korvane.models.commerce import CommerceIntelligence
from korvane.models.lens import VisualMatch
from korvane.models.shopping import ShoppingOffer

__all__ = ["RunProgress", "RunResult", "enrich", "enrich_async"]


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
    matches: Iterable[VisualMatch],
    offers: Optional[Iterable[ShoppingOffer]] = None,
    *,
    on_progress: Optional[ProgressCallback] = None,
    on_counts: Optional[CountsCallback] = None,
    max_items: Optional[int] = None,
    settings: Optional[RunSettings] = None,
    **options: Any,
) -> RunResult:
    """The run of ``CommerceEnricher.process_async`` with the same settings
    (``settings`` and keyword arguments of its field names), the offers fused
    in when given, and only the first ``max_items`` matches when set (as a
    slice ``[:max_items]`` takes them); ``on_counts`` as for ``process_async``."""
    run = _core.enrich_run(matches, offers, run_settings(settings, options), max_items=max_items)
    result, report = await run_async(run, on_progress, on_counts)
    return RunResult(result, report)


enrich = blocking_twin(enrich_async)
