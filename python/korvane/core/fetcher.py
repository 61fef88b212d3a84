"""The destination page fetcher: many web pages at once, the way a careful
crawler fetches them (bounded connections, redirects, compression, a size cap,
only HTML kept, decoded to UTF-8, private addresses refused)."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, cast

from korvane import _core
from korvane._bridge import run_async
from korvane.commerce.settings import PagesFolder, RunSettings, run_settings

__all__ = ["ConcurrentFetcher"]


class ConcurrentFetcher:
    """The host's concurrent fetcher (offered by ``korvane.commerce`` as
    ``ScraplingDestinationFetcher``). Stateless: ``fetch_many`` is called on
    the class."""

    @classmethod
    async def fetch_many(
        cls,
        urls: List[str],
        timeout: float = 5.0,
        *,
        pages: Optional[PagesFolder] = None,
        allow_private: bool = False,
        **fetching: Any,
    ) -> Dict[str, Optional[str]]:
        """Each distinct link of ``urls`` mapped to its page's HTML, or to None
        when no page was obtained; every page within ``timeout`` seconds.
        ``pages`` reads them from a folder of saved pages instead of the
        network; ``allow_private`` allows loopback and private addresses;
        ``fetching`` takes the settings of fetching at scale of a
        ``korvane.commerce.settings.RunSettings`` (``cache``, ``retries``,
        ``per_host``, ...)."""
        base = RunSettings(pages=pages, allow_private=allow_private, timeout=timeout)
        run = _core.fetch_run(urls, run_settings(base, fetching))
        return cast(Dict[str, Optional[str]], await run_async(run, None))
