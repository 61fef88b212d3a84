"""The enumerations of the records.

Each is an ``enum.Enum`` whose members have text values
(``PageType.PRODUCT.value == "product"``); they also derive from ``str``, so a
member compares equal to its text and ``json.dumps`` writes it as that text.
The members come from the C++ library's tables.
"""

from korvane._core import ItemCondition, MerchantCategory, PageType, RelevanceLabel, StockStatus

__all__ = ["PageType", "MerchantCategory", "StockStatus", "ItemCondition", "RelevanceLabel"]
