"""The library's readers of the pipeline's inputs: a visual-search result,
shopping offers, and enriched items (a result as the JSON export writes it).
Each takes JSON text (``str`` or ``bytes``), a path to a file of it
(``pathlib.Path`` or another ``os.PathLike``), or the JSON as Python values
(a ``dict`` or ``list``, records inside written in their JSON form).
Errors are ``korvane.errors.InputError`` naming the source and the position
or member ("result.json: visual_matches[2].link must be a string")."""

from __future__ import annotations

import json
import os
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

from korvane import _core
from korvane.models.commerce import CommerceIntelligence
from korvane.models.lens import VisualMatch
from korvane.models.shopping import ShoppingOffer

__all__ = [
    "JsonInput",
    "SearchResult",
    "EnrichedItems",
    "read_search_result",
    "read_shopping_offers",
    "read_enriched_items",
]

#: What the readers take: JSON text, a path to a file of it, or its values.
JsonInput = Union[str, bytes, "os.PathLike[str]", Dict[str, Any], List[Any]]


class SearchResult(NamedTuple):
    """The visual matches of one search and its shopping offers (None when
    the result has none)."""

    matches: List[VisualMatch]
    offers: Optional[List[ShoppingOffer]]


class EnrichedItems(NamedTuple):
    """A result read back; ``whole_result`` is False when the text was only a
    list of items (the summary is then the default one)."""

    result: CommerceIntelligence
    whole_result: bool


def _record_form(value: Any) -> Any:
    dump = getattr(value, "model_dump", None)
    if dump is None:
        raise TypeError(f"{type(value).__name__} is not a JSON value")
    return dump(mode="json")


def _text_of(data: JsonInput, source: Optional[str]) -> Tuple[str, str]:
    """The JSON text of ``data`` and the source its errors name (the path of
    a file, else "input")."""
    if isinstance(data, os.PathLike):
        path = os.fspath(data)
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read(), source or path
    if isinstance(data, bytes):
        return data.decode("utf-8", errors="replace"), source or "input"
    if isinstance(data, str):
        return data, source or "input"
    if isinstance(data, (dict, list)):
        return json.dumps(data, default=_record_form, allow_nan=False), source or "input"
    raise TypeError(f"data must be str, bytes, os.PathLike, dict or list, not {type(data).__name__}")


def read_search_result(data: JsonInput, source: Optional[str] = None) -> SearchResult:
    """A JSON array of matches, or an object with ``visual_matches`` and
    optionally ``shopping_results``."""
    matches, offers = _core.read_search_result(*_text_of(data, source))
    return SearchResult(matches, offers)


def read_shopping_offers(data: JsonInput, source: Optional[str] = None) -> List[ShoppingOffer]:
    """A JSON array of offers, or an object with ``shopping_results``."""
    return _core.read_shopping_offers(*_text_of(data, source))


def read_enriched_items(data: JsonInput, source: Optional[str] = None) -> EnrichedItems:
    """An object with ``items`` (and ``summary``), or a JSON array of items,
    each with its ``direct_url``."""
    result, whole = _core.read_enriched_items(*_text_of(data, source))
    return EnrichedItems(result, whole)
