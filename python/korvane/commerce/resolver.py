"""Direct store resolution: items that link to a store's search page get the
product link found on that page."""

from __future__ import annotations

from typing import Any, Iterable, List, Optional, cast

from korvane import _core
from korvane._bridge import CountsCallback, ProgressCallback, run_async, run_blocking
from korvane.commerce.settings import RunSettings, run_settings
from korvane.models.commerce import EnrichedCommerceMatch

__all__ = ["DirectStoreResolver"]


class DirectStoreResolver:
    """Opens store search pages in a stealth headless browser (one session
    per call, ``max_concurrency`` tabs at once, ``timeout`` seconds per page)
    and replaces each such item's ``direct_url`` by the product link whose
    text and path best match its title. Stateless: the operations are called
    on the class. Of the run's settings (``settings`` and keyword arguments
    of its field names) the resolver uses ``allow_private``: the browser may
    open pages on loopback and private addresses (local servers)."""

    @classmethod
    async def resolve_async(
        cls,
        items: Iterable[EnrichedCommerceMatch],
        max_concurrency: int = 4,
        timeout: int = 15,
        on_progress: Optional[ProgressCallback] = None,
        *,
        on_counts: Optional[CountsCallback] = None,
        settings: Optional[RunSettings] = None,
        **options: Any,
    ) -> List[EnrichedCommerceMatch]:
        """A new list of the same records, in the same order; the records
        whose link was a store search page have their ``direct_url`` changed
        in place. When the browser cannot be opened the items stay as they
        are. Cancellation as for ``CommerceEnricher.process_async``."""
        run = _core.resolve_run(items, max_concurrency, timeout, run_settings(settings, options))
        return cast(List[EnrichedCommerceMatch], await run_async(run, on_progress, on_counts))

    @classmethod
    def resolve(
        cls,
        items: Iterable[EnrichedCommerceMatch],
        max_concurrency: int = 4,
        timeout: int = 15,
        on_progress: Optional[ProgressCallback] = None,
        *,
        on_counts: Optional[CountsCallback] = None,
        settings: Optional[RunSettings] = None,
        **options: Any,
    ) -> List[EnrichedCommerceMatch]:
        """The blocking form of ``resolve_async``; also works when the calling
        thread runs an event loop."""
        return run_blocking(
            cls.resolve_async(
                items,
                max_concurrency,
                timeout,
                on_progress,
                on_counts=on_counts,
                settings=run_settings(settings, options),
            )
        )
