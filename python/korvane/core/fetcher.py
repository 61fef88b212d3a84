"""The destination page fetcher: many web pages at once, the way a careful
crawler fetches them (bounded connections, redirects, compression, a size cap,
only HTML kept, decoded to UTF-8, private addresses refused); and on request
like a good citizen at scale (``FetchOptions``: a pace per host, retries,
robots.txt; ``cache=``: a page cache on disk)."""

from __future__ import annotations

import dataclasses
import math
import os
from typing import Dict, List, Optional, Union, cast

from korvane import _core
from korvane._bridge import run_async

__all__ = ["DEFAULT_RETRIES", "CacheFile", "ConcurrentFetcher", "FetchOptions"]

#: A page cache file, as text or a path object.
CacheFile = Union[str, "os.PathLike[str]"]

#: The retries of ``korvane-commerce enrich --retries`` without a number.
DEFAULT_RETRIES = 2


@dataclasses.dataclass(frozen=True)
class FetchOptions:
    """How destination pages are fetched at scale; the defaults fetch as
    without them.

    - ``per_host``: requests in flight to one host at most (across every
      result of one batch call);
    - ``host_delay``: seconds between the requests to one host at least;
    - ``adaptive``: each host's delay follows its latency and errors;
    - ``retries``: requests made again after a connection reset, a timeout,
      429, 502, 503 or 504, at most this many times (exponential backoff, or
      as ``Retry-After`` asks up to 60 s);
    - ``respect_robots``: each site's robots.txt is read first and the pages
      it disallows are not requested;
    - ``cache_max_age``: with a page cache (``cache=``), the seconds a page
      that says nothing of its freshness stays fresh, and the longest any
      does.

    A field of the wrong type raises ``TypeError`` naming it, a value out of
    range ``ValueError``."""

    per_host: int = 4
    host_delay: float = 0.0
    adaptive: bool = False
    retries: int = 0
    respect_robots: bool = False
    cache_max_age: float = 86400.0

    def __post_init__(self) -> None:
        for name in ("per_host", "retries"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be int, not {type(value).__name__}")
        for name in ("adaptive", "respect_robots"):
            value = getattr(self, name)
            if not isinstance(value, bool):
                raise TypeError(f"{name} must be bool, not {type(value).__name__}")
        for name in ("host_delay", "cache_max_age"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be float or int, not {type(value).__name__}")
            if not (math.isfinite(value) and value >= 0):
                raise ValueError(f"{name} must be a number of seconds, not {value!r}")
        if self.per_host < 1:
            raise ValueError(f"per_host must be at least 1, not {self.per_host}")
        if self.retries < 0:
            raise ValueError(f"retries must not be negative, not {self.retries}")


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
        pages: Optional[Union[str, "os.PathLike[str]"]] = None,
        allow_private: bool = False,
        cache: Optional[CacheFile] = None,
        fetching: Optional[FetchOptions] = None,
    ) -> Dict[str, Optional[str]]:
        """Each distinct link of ``urls`` mapped to its page's HTML, or to None
        when no page was obtained; every page within ``timeout`` seconds.
        ``pages`` reads them from a folder of saved pages instead of the
        network; ``allow_private`` allows loopback and private addresses;
        ``cache`` keeps them in a page cache file; ``fetching`` sets the pace
        per host, retries and robots.txt."""
        run = _core.fetch_run(urls, timeout, pages=pages, allow_private=allow_private, cache=cache, fetching=fetching)
        return cast(Dict[str, Optional[str]], await run_async(run, None))
