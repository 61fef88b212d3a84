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

__all__ = ["PagesFolder", "RunSettings", "run_settings"]

#: A folder of saved pages, as text or a path object.
PagesFolder = Union[str, "os.PathLike[str]"]


@dataclasses.dataclass(frozen=True)
class RunSettings:
    """How a run gets and reads its pages.

    - ``pages``: a folder of saved pages with a ``manifest.json`` (link to
      file) to read destination pages from instead of the network;
    - ``allow_private``: pages on loopback and private addresses may be
      fetched and opened (local servers);
    - ``resolve_stores``: store search links are opened in the browser;
    - ``extended``: the extended reading of product pages;
    - ``timeout``: seconds each destination page may take to fetch.

    A field of the wrong type raises ``TypeError`` naming it, a timeout that
    is not a positive number ``ValueError``."""

    pages: Optional[PagesFolder] = None
    allow_private: bool = False
    resolve_stores: bool = True
    extended: bool = False
    timeout: float = 5.0

    def __post_init__(self) -> None:
        if self.pages is not None and not isinstance(self.pages, (str, os.PathLike)):
            raise TypeError(f"pages must be str, os.PathLike or None, not {type(self.pages).__name__}")
        for name in ("allow_private", "resolve_stores", "extended"):
            value = getattr(self, name)
            if not isinstance(value, bool):
                raise TypeError(f"{name} must be bool, not {type(value).__name__}")
        if isinstance(self.timeout, bool) or not isinstance(self.timeout, (int, float)):
            raise TypeError(f"timeout must be float or int, not {type(self.timeout).__name__}")
        if not (math.isfinite(self.timeout) and self.timeout > 0):
            raise ValueError(f"timeout must be a positive number of seconds, not {self.timeout!r}")


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
