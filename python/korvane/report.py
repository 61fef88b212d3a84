"""The visual report of a result: one self-contained HTML page (summary,
price strips, charts, searchable and filterable cards a page at a time, one
card per product), safe against hostile page data.

``resolved_links`` is the number of store links the resolution replaced, when
the caller knows it; by default it is counted from the items.
"""

from korvane._core import commerce_to_html, export_commerce_to_html

__all__ = ["commerce_to_html", "export_commerce_to_html"]
