"""The commerce enricher: visual matches in, commerce intelligence out."""

from __future__ import annotations

from typing import Any, Iterable, Optional, cast

from korvane import _core
from korvane._bridge import CountsCallback, ProgressCallback, run_async, run_blocking
from korvane.commerce.settings import RunSettings, run_settings
from korvane.models.commerce import CommerceIntelligence
from korvane.models.lens import VisualMatch

__all__ = ["CommerceEnricher"]


class CommerceEnricher:
    """The entry point of the pipeline. Every match link is cleaned, all
    destination pages are fetched in one concurrent batch and parsed,
    merchants are classified, store search links are resolved in a headless
    browser, every item gets a relevance label, and a market summary covers
    the set. Stateless: the operations are called on the class.

    Both forms take the run's settings as ``settings`` (a
    ``korvane.commerce.settings.RunSettings``) and as keyword arguments of
    its field names (``pages``, ``allow_private``, ``resolve_stores``,
    ``extended``, ``timeout``, and those of fetching at scale: ``per_host``,
    ``host_delay``, ``adaptive``, ``retries``, ``respect_robots``,
    ``cache``, ``cache_max_age``), which replace those of ``settings``.
    """

    @classmethod
    async def process_async(
        cls,
        matches: Iterable[VisualMatch],
        on_progress: Optional[ProgressCallback] = None,
        *,
        on_counts: Optional[CountsCallback] = None,
        settings: Optional[RunSettings] = None,
        **options: Any,
    ) -> CommerceIntelligence:
        """The commerce intelligence of ``matches`` (a list or any iterable of
        ``VisualMatch``), items in match order.

        A coroutine of the running loop; the C++ work runs on a thread of its
        own and progress messages are delivered on the loop's thread, in
        order; ``on_counts`` gets a ``RunProgress`` (phase, done, total)
        after every page fetched or parsed and every store page crawled, for
        a progress bar. Cancelling the task stops the run (the browser is
        closed first). An empty list gives the empty result at once.
        """
        run = _core.enrich_run(matches, None, run_settings(settings, options))
        result, _report = await run_async(run, on_progress, on_counts)
        return cast(CommerceIntelligence, result)

    @classmethod
    def process(
        cls,
        matches: Iterable[VisualMatch],
        on_progress: Optional[ProgressCallback] = None,
        *,
        on_counts: Optional[CountsCallback] = None,
        settings: Optional[RunSettings] = None,
        **options: Any,
    ) -> CommerceIntelligence:
        """The blocking form of ``process_async``; also works when the calling
        thread runs an event loop (it then blocks that loop until done)."""
        return run_blocking(
            cls.process_async(matches, on_progress, on_counts=on_counts, settings=run_settings(settings, options))
        )
