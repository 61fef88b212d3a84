"""The bridge between asyncio and the library's blocking runs.

A run (``korvane._core.Run``) is one blocking C++ call. ``run_async`` makes it
on a thread of its own, without the GIL, while the caller's event loop stays
free. Progress messages come back to the loop's thread one at a time: the C++
thread waits until the callback, and the awaitable it may return, has
finished, so messages arrive in order and a failing callback fails the run.
Cancelling the awaiting task stops the run and waits until the C++ work has
ended (the browser closed, its profile folder removed) before the
cancellation is raised again.

``run_blocking`` is the blocking twin of a coroutine: on a new event loop in
the calling thread, or, when that thread already runs a loop (a notebook
cell, a callback), on a new loop in a one-worker pool while the caller
blocks.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import inspect
import threading
from collections.abc import Callable, Coroutine
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, TypeVar, cast

from korvane import _core

if TYPE_CHECKING:  # annotations only: typing.ParamSpec is new in Python 3.10
    from typing_extensions import ParamSpec

    P = ParamSpec("P")

T = TypeVar("T")

#: A progress callback: called with one text per message; a plain function
#: (its result is ignored) or one returning an awaitable, which is awaited.
ProgressCallback = Callable[[str], object]


class RunProgress(NamedTuple):
    """Counts of one phase of a run, for a progress bar: ``done`` of
    ``total`` pages (``phase`` "fetching" or "parsing") or store search
    pages ("resolving")."""

    phase: str
    done: int
    total: int


#: A counts callback: called with a RunProgress after every page fetched or
#: parsed and every store search page crawled; plain or returning an
#: awaitable, as a progress callback.
CountsCallback = Callable[[RunProgress], object]


async def _deliver(callback: Callable[[Any], object], event: Any) -> None:
    result = callback(event)
    if inspect.isawaitable(result):
        await result


def _settle(future: asyncio.Future[Any], result: Any, error: Optional[BaseException]) -> None:
    if future.done():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)


async def run_async(
    run: _core.Run, on_progress: Optional[ProgressCallback], on_counts: Optional[CountsCallback] = None
) -> Any:
    """The result of ``run``, made on a thread of its own (see the module);
    counts go to ``on_counts`` as messages go to ``on_progress``."""
    for name, callback in (("on_progress", on_progress), ("on_counts", on_counts)):
        if callback is not None and not callable(callback):
            raise TypeError(f"{name} must be callable or None, not {type(callback).__name__}")
    loop = asyncio.get_running_loop()
    finished: asyncio.Future[Any] = loop.create_future()
    stopping = threading.Event()

    def deliver(callback: Callable[[Any], object], event: Any) -> None:  # on the run's thread
        if not stopping.is_set():
            asyncio.run_coroutine_threadsafe(_deliver(callback, event), loop).result()

    def on_message(message: str) -> None:
        deliver(cast(Callable[[Any], object], on_progress), message)

    def on_count(phase: str, done: int, total: int) -> None:
        deliver(cast(Callable[[Any], object], on_counts), RunProgress(phase, done, total))

    def work() -> None:
        try:
            result = run.run(on_message if on_progress is not None else None,
                             on_count if on_counts is not None else None)
        except BaseException as error:  # handed to the awaiting task
            loop.call_soon_threadsafe(_settle, finished, None, error)
        else:
            loop.call_soon_threadsafe(_settle, finished, result, None)

    threading.Thread(target=work, name="korvane-run").start()
    try:
        return await asyncio.shield(finished)
    except asyncio.CancelledError:
        stopping.set()
        run.stop()
        while not finished.done():
            try:
                await asyncio.shield(finished)
            except BaseException:  # cancelled again, or the run's own end after the stop
                continue
        finished.exception()  # the stopped run's outcome is dropped (and marked as seen)
        raise


def run_blocking(coro: Coroutine[Any, Any, T]) -> T:
    """Runs ``coro`` to completion and returns its result, with or without a
    running event loop in the calling thread."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(coro)
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        return pool.submit(asyncio.run, coro).result()


def blocking_twin(coroutine_function: Callable[P, Coroutine[Any, Any, T]]) -> Callable[P, T]:
    """The blocking form of a module's coroutine function ``NAME_async``:
    a function ``NAME`` of the same parameters that runs it with
    ``run_blocking``, so that the two never differ in what they take."""

    @functools.wraps(coroutine_function)
    def blocking(*args: P.args, **kwargs: P.kwargs) -> T:
        return run_blocking(coroutine_function(*args, **kwargs))

    name = coroutine_function.__name__
    blocking.__name__ = name[: -len("_async")] if name.endswith("_async") else name
    blocking.__qualname__ = blocking.__name__
    blocking.__doc__ = f"The blocking form of ``{name}``; also works when the calling thread runs an event loop."
    return blocking
