"""The records of the visual search engine's matches."""

from korvane._core import VisualMatch

__all__ = ["VisualMatch"]
