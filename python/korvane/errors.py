"""The exceptions of korvane-commerce.

Every failure of the library that reaches the caller is a ``KorvaneError``;
refused values are also ``ValueError`` (``InvalidValueError`` and its
subclasses), so ordinary ``except ValueError`` code catches them. Export
files that cannot be written raise ``OSError`` (``FileNotFoundError``,
``NotADirectoryError``, ...), and arguments of the wrong type ``TypeError``
naming the argument or field.
"""

from __future__ import annotations

__all__ = [
    "KorvaneError",
    "InvalidValueError",
    "InvalidUrlError",
    "InputError",
    "FetchError",
    "BrowserError",
    "BrowserUnavailableError",
    "CancelledError",
]


class KorvaneError(Exception):
    """The base of every exception the library raises."""


class InvalidValueError(KorvaneError, ValueError):
    """A value refused: a negative or non-finite price amount, an unknown
    enumeration text, an option out of range, a record of the wrong shape."""


class InvalidUrlError(InvalidValueError):
    """A link that cannot be split into URL components (an unbalanced "[" or
    "]" in its network location)."""


class InputError(InvalidValueError):
    """JSON input that cannot be read as the expected records; the message
    names the source and the position or the member."""


class FetchError(KorvaneError):
    """The page fetcher cannot work at all (libcurl cannot start, the manifest
    of a page folder cannot be read). A link that fails is never this."""


class BrowserError(KorvaneError):
    """A failure of the browser or of its protocol."""


class BrowserUnavailableError(BrowserError):
    """The browser cannot be used at all: not found, not started, or not
    answering in time."""


class CancelledError(KorvaneError):
    """A run stopped because it was asked to (``Run.stop``). The asynchronous
    operations raise ``asyncio.CancelledError`` instead when their task is
    cancelled."""
