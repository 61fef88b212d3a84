"""Set-up of the worker processes of ``python3 -m korvane.batch``'s local
cluster: a worker plugin (which Dask also gives every worker started later,
a restarted one say) that makes them ignore SIGINT. A terminal's Ctrl-C
reaches the whole process group; the command alone takes it and stops the
workers itself, so they end without tracebacks."""

from __future__ import annotations

import signal
import threading
from typing import Any

from distributed.diagnostics.plugin import WorkerPlugin

__all__ = ["IgnoreSigint"]


class IgnoreSigint(WorkerPlugin):
    """SIGINT ignored in the worker's process."""

    name = "korvane-ignore-sigint"

    def setup(self, worker: Any) -> None:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)
