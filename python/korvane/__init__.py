"""korvane-commerce: commerce intelligence from visual product-search results.

The package is a thin layer over the C++ library (the extension module
``korvane._core``). Its modules carry the names of the system's modules:

- ``korvane.commerce``: the package surface (the enricher, the store resolver,
  the aggregator, the exports, the component operations and their tables);
- ``korvane.models.lens``, ``.shopping``, ``.commerce``, ``.common``: records
  and enumerations;
- ``korvane.relevance``: relevance labels, the market summary, the sort order;
- ``korvane.core.fetcher``: the destination page fetcher;
- ``korvane.report``: the visual HTML report of a result;
- ``korvane.batch``: batches of search results, in one process or on Dask
  (``python3 -m korvane.batch``);
- ``korvane.errors``: the exceptions.
"""

from korvane._core import __version__

__all__ = ["__version__"]
