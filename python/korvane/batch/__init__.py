"""Batch enrichment of many visual-search results, on one machine or on a
Dask cluster.

- ``enrich_records(results, ...)`` enriches search results in this process
  with one call of the library's batch form: the results share one fetcher
  and at most one browser session, and each gives one ``BatchResult``.
- ``enrich_bag(bag, ...)`` maps that over the partitions of a
  ``dask.bag.Bag``: one batch, so one browser session, per partition.
- ``slice_inputs`` and ``read_results`` cut JSON Lines files into partitions
  of numbered lines that the workers read themselves.
- ``python3 -m korvane.batch`` is the command over these (see
  ``korvane.batch.command``).

A search result is JSON text (``str`` or ``bytes``), or a ``dict`` or
``list`` of that JSON: an array of matches, or an object with
``visual_matches`` and optionally ``shopping_results``, read by the library's
own reader as ``korvane-commerce enrich`` reads a file. Its identity is its
``id`` member when it is an object with one, else its number.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Tuple, Union, cast

from korvane import _core
from korvane._bridge import run_async, run_blocking
from korvane.commerce.settings import RunSettings, run_settings

if TYPE_CHECKING:
    from dask.bag.core import Bag

__all__ = [
    "BatchResult",
    "InputSlice",
    "SearchResultData",
    "enrich_records",
    "enrich_bag",
    "slice_inputs",
    "read_slice",
    "read_results",
]

#: One search result: JSON text, or the JSON as Python values.
SearchResultData = Union[str, bytes, Dict[str, Any], List[Any]]


class BatchResult(NamedTuple):
    """The answer for one search result.

    ``line`` is its output line (compact JSON, no line end): ``{"id": …,
    "summary": …, "items": […]}`` with the summary and items exactly as
    ``korvane-commerce enrich`` writes them, or ``{"id": …, "error": "…"}``
    when the result could not be read or its run failed (``error`` then holds
    the message). ``items`` and ``priced`` count the items and the priced
    items of the result (0 with an error)."""

    id: Any
    line: str
    items: int
    priced: int
    error: Optional[str]


def enrich_records(
    results: Iterable[Union[SearchResultData, Tuple[int, SearchResultData]]],
    *,
    start: Optional[int] = 1,
    concurrency: int = 4,
    settings: Optional[RunSettings] = None,
    **options: Any,
) -> List[BatchResult]:
    """Enriches every search result in this process, in one call of the
    library's batch form (one fetcher, at most one browser session, up to
    ``concurrency`` results at once) and returns one ``BatchResult`` each, in
    order. An element may be a pair ``(number, result)``; other elements are
    numbered from ``start`` by their position (``start=None``: no number). A
    result that cannot be read gives an error answer, never an exception.

    The run's settings are ``settings`` (a
    ``korvane.commerce.settings.RunSettings``) and keyword arguments of its
    field names, as for ``korvane.commerce.run.enrich``; a page folder's
    manifest is read once per process."""
    records: List[Tuple[Optional[int], SearchResultData]] = [
        r if isinstance(r, tuple) else (None if start is None else start + i, r) for i, r in enumerate(results)
    ]
    run = _core.batch_run(records, run_settings(settings, options), concurrency=concurrency)
    answers: List[Tuple[Any, str, int, int, Optional[str]]] = run_blocking(run_async(run, None))
    return [BatchResult(*answer) for answer in answers]


def _enrich_partition(partition: Sequence[Any], **options: Any) -> List[BatchResult]:
    return enrich_records(partition, start=None, **options)


def enrich_bag(bag: "Bag", **options: Any) -> "Bag":
    """A bag of ``BatchResult``, one per element of ``bag``, partition by
    partition (``enrich_records`` on each partition in a worker: one browser
    session per partition). Elements are search results or ``(number,
    result)`` pairs as ``read_results`` gives them; a result without an
    ``id`` member and without a number has the identity None. ``options``
    are those of ``enrich_records``."""
    return cast("Bag", bag.map_partitions(_enrich_partition, **options))


class InputSlice(NamedTuple):
    """A run of whole lines of one JSON Lines file: bytes ``start`` to
    ``end``, ``lines`` lines numbered from ``first_line`` (counted across all
    the inputs, from 1). ``part`` numbers the slices across the inputs, from
    0."""

    part: int
    path: str
    start: int
    end: int
    first_line: int
    lines: int


def slice_inputs(paths: Sequence[Union[str, "os.PathLike[str]"]], lines_per_slice: int) -> List[InputSlice]:
    """The files cut into slices of ``lines_per_slice`` lines (the last of
    each file may be shorter; a slice never spans two files), in order. A
    line ends at "\\n"; the text after the last one is a line too when it is
    not empty."""
    if lines_per_slice < 1:
        raise ValueError("lines_per_slice must be at least 1")
    slices: List[InputSlice] = []
    line = 1
    for name in paths:
        path = os.path.abspath(os.fspath(name))
        with open(path, "rb") as file:
            start = offset = count = 0
            for text in file:
                offset += len(text)
                count += 1
                if count == lines_per_slice:
                    slices.append(InputSlice(len(slices), path, start, offset, line, count))
                    line += count
                    start, count = offset, 0
            if count:
                slices.append(InputSlice(len(slices), path, start, offset, line, count))
                line += count
    return slices


def read_slice(piece: InputSlice) -> List[Tuple[int, bytes]]:
    """The numbered lines of a slice, without their line ends ("\\n" or
    "\\r\\n")."""
    with open(piece.path, "rb") as file:
        file.seek(piece.start)
        data = file.read(piece.end - piece.start)
    lines = data.split(b"\n")
    if lines and not lines[-1]:
        lines.pop()
    if len(lines) != piece.lines:
        raise RuntimeError(f"{piece.path} changed: bytes {piece.start}-{piece.end} no longer hold {piece.lines} lines")
    return [(piece.first_line + i, text[:-1] if text.endswith(b"\r") else text) for i, text in enumerate(lines)]


def read_results(slices: Sequence[InputSlice]) -> "Bag":
    """A bag of ``(line number, line)`` pairs with one partition per slice,
    each read by the worker that enriches it (so the files must be readable
    at the same path there)."""
    from dask.bag.core import from_delayed
    from dask.delayed import delayed

    return cast("Bag", from_delayed([delayed(read_slice, pure=True)(piece) for piece in slices]))
