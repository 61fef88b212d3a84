"""The records of the search engine's shopping results."""

from korvane._core import ShoppingOffer

__all__ = ["ShoppingOffer"]
