"""Shared fixtures: the bundled example, and a local HTTP server whose pages
can be slow (a Python server, so that it only answers while the library has
released the GIL)."""

from __future__ import annotations

import http.server
import os
import shutil
import threading
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, Tuple

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
EXAMPLES = REPOSITORY / "examples"


@dataclass
class LocalServer:
    """Serves `routes` (path with query -> (seconds to wait, HTML)) on
    127.0.0.1; `requested` is set at the first request of each path."""

    routes: Dict[str, Tuple[float, str]] = field(default_factory=dict)
    requested: Dict[str, threading.Event] = field(default_factory=dict)
    closing: threading.Event = field(default_factory=threading.Event)
    port: int = 0

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def add(self, path: str, html: str, delay: float = 0.0) -> str:
        self.routes[path] = (delay, html)
        self.requested[path] = threading.Event()
        return self.url(path)


@pytest.fixture
def server() -> Iterator[LocalServer]:
    state = LocalServer()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            route = state.routes.get(self.path)
            if route is None:
                self.send_error(404)
                return
            state.requested[self.path].set()
            delay, html = route
            if state.closing.wait(delay):
                return
            body = html.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format: str, *args: object) -> None:
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.daemon_threads = True
    state.port = httpd.server_address[1]
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield state
    state.closing.set()
    httpd.shutdown()
    httpd.server_close()


def product_page(title: str) -> str:
    """A product page of more than 200 characters, with JSON-LD."""
    return (
        f"<html><head><title>{title}</title>"
        '<script type="application/ld+json">'
        f'{{"@type": "Product", "name": "{title}", "offers": {{"price": "19.99", "priceCurrency": "USD"}}}}'
        "</script></head><body>" + "<p>details</p>" * 20 + "</body></html>"
    )


needs_chromium = pytest.mark.skipif(
    not os.environ.get("KORVANE_CHROMIUM")
    and not any(shutil.which(name) for name in ("chromium", "chromium-browser", "google-chrome-stable")),
    reason="no Chromium to start",
)
