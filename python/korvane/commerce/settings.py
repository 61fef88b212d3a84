"""The settings of a run, in one value shared by the enricher, the store
resolver, ``korvane.commerce.run`` and ``korvane.batch``.

Every run operation takes them as ``settings=RunSettings(...)``, as keyword
arguments of the same names, or both (the keywords then replace the fields
of ``settings``)::

    fast = RunSettings(pages="saved-pages", resolve_stores=False)
    CommerceEnricher.process(matches, settings=fast)
    CommerceEnricher.process(matches, settings=fast, extended=True)
    CommerceEnricher.process(matches, timeout=10)
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Mapping
from typing import Any, Optional, Union

__all__ = ["DEFAULT_RETRIES", "CacheFile", "PagesFolder", "RunSettings", "run_settings"]

#: A folder of saved pages, as text or a path object.
PagesFolder = Union[str, "os.PathLike[str]"]

#: A page cache file, as text or a path object.
CacheFile = Union[str, "os.PathLike[str]"]

#: The retries of ``korvane-commerce enrich --retries`` without a number.
DEFAULT_RETRIES = 2


@dataclasses.dataclass(frozen=True)
class RunSettings:
    """How a run gets and reads its pages.

    - ``pages``: a folder of saved pages with a ``manifest.json`` (link to
      file) to read destination pages from instead of the network;
    - ``allow_private``: pages on loopback and private addresses may be
      fetched and opened (local servers);
    - ``resolve_stores``: store search links are opened in the browser;
    - ``extended``: the extended reading of product pages;
    - ``timeout``: seconds each destination page may take to fetch;

    and how pages are fetched at scale (the defaults fetch as without them):

    - ``per_host``: requests in flight to one host at most (across every
      result of one batch call);
    - ``host_delay``: seconds between the requests to one host at least;
    - ``adaptive``: each host's delay follows its latency and errors;
    - ``retries``: requests made again after a connection reset, a timeout,
      429, 502, 503 or 504, at most this many times (exponential backoff, or
      as ``Retry-After`` asks up to 60 s);
    - ``respect_robots``: each site's robots.txt is read first and the pages
      it disallows are not requested;
    - ``cache``: a page cache file (SQLite, made when missing; the processes
      of one machine may share it): fresh pages are served without a
      request, stale ones revalidated;
    - ``cache_max_age``: the seconds a cached page that says nothing of its
      freshness stays fresh, and the longest any does.

    A field of the wrong type raises ``TypeError`` naming it, a value out of
    range (a timeout that is not a positive number, ``per_host`` below 1, a
    negative delay or retry count) ``ValueError``."""

    pages: Optional[PagesFolder] = None
    allow_private: bool = False
    resolve_stores: bool = True
    extended: bool = False
    timeout: float = 5.0
    per_host: int = 4
    host_delay: float = 0.0
    adaptive: bool = False
    retries: int = 0
    respect_robots: bool = False
    cache: Optional[CacheFile] = None
    cache_max_age: float = 86400.0

    def __post_init__(self) -> None:
        for name in ("pages", "cache"):
            value = getattr(self, name)
            if value is not None and not isinstance(value, (str, os.PathLike)):
                raise TypeError(f"{name} must be str, os.PathLike or None, not {type(value).__name__}")
        for name in ("allow_private", "resolve_stores", "extended", "adaptive", "respect_robots"):
            value = getattr(self, name)
            if not isinstance(value, bool):
                raise TypeError(f"{name} must be bool, not {type(value).__name__}")
        if isinstance(self.timeout, bool) or not isinstance(self.timeout, (int, float)):
            raise TypeError(f"timeout must be float or int, not {type(self.timeout).__name__}")
        if not (math.isfinite(self.timeout) and self.timeout > 0):
            raise ValueError(f"timeout must be a positive number of seconds, not {self.timeout!r}")
        self._check_fetching()

    def _check_fetching(self) -> None:
        for name, least in (("per_host", 1), ("retries", 0)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be int, not {type(value).__name__}")
            if value < least:
                raise ValueError(f"{name} must be at least {least}, not {value}")
        for name in ("host_delay", "cache_max_age"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be float or int, not {type(value).__name__}")
            if not (math.isfinite(value) and value >= 0):
                raise ValueError(f"{name} must be a number of seconds, 0 or more, not {value!r}")


_NAMES = frozenset(field.name for field in dataclasses.fields(RunSettings))


def run_settings(settings: Optional[RunSettings], options: Mapping[str, Any]) -> RunSettings:
    """``settings`` (the defaults when None) with the fields named in
    ``options`` replaced; an unknown name raises ``TypeError`` as an unknown
    keyword argument does."""
    if settings is not None and not isinstance(settings, RunSettings):
        raise TypeError(f"settings must be RunSettings or None, not {type(settings).__name__}")
    unknown = sorted(set(options) - _NAMES)
    if unknown:
        raise TypeError(f"unexpected setting {unknown[0]!r} (the settings are {', '.join(sorted(_NAMES))})")
    base = settings if settings is not None else RunSettings()
    return dataclasses.replace(base, **options) if options else base
