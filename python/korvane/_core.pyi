"""Type stubs of the extension module korvane._core (the C++ library)."""

import enum
import os
from typing import Any, Callable, ClassVar, Dict, FrozenSet, List, Mapping, Optional, Tuple, Union

__version__: str

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Items = Union[List["EnrichedCommerceMatch"], Tuple["EnrichedCommerceMatch", ...]]

# ---------------------------------------------------------------- enumerations

class PageType(str, enum.Enum):
    PRODUCT = "product"
    MARKETPLACE = "marketplace"
    ARTICLE = "article"
    PORTFOLIO = "portfolio"
    SOCIAL = "social"
    UNCATEGORIZED = "uncategorized"

class MerchantCategory(str, enum.Enum):
    OFFICIAL_BRAND = "official_brand"
    MAJOR_MARKETPLACE = "major_marketplace"
    RESELLER_SPECIALIST = "reseller_specialist"
    UNVERIFIED = "unverified"

class StockStatus(str, enum.Enum):
    IN_STOCK = "in_stock"
    OUT_OF_STOCK = "out_of_stock"
    PREORDER = "preorder"

class ItemCondition(str, enum.Enum):
    NEW = "new"
    USED = "used"
    REFURBISHED = "refurbished"

class RelevanceLabel(str, enum.Enum):
    EXACT_MATCH = "exact_match"
    HIGH = "high"
    MEDIUM = "medium"
    LOW = "low"

# ---------------------------------------------------------------- records

class VisualMatch:
    link: str
    title: str
    source: Optional[str]
    price: Optional[str]
    currency: Optional[str]
    thumbnail: Optional[str]
    in_stock: Optional[bool]
    def __init__(
        self,
        *,
        link: str = ...,
        title: str = ...,
        source: Optional[str] = ...,
        price: Optional[str] = ...,
        currency: Optional[str] = ...,
        thumbnail: Optional[str] = ...,
        in_stock: Optional[bool] = ...,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def model_dump(self, *, exclude_none: bool = ...) -> Dict[str, Any]: ...
    def model_dump_json(self, *, indent: Optional[int] = ..., exclude_none: bool = ...) -> str: ...
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "VisualMatch"]) -> "VisualMatch": ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...

class ShoppingOffer:
    title: str
    link: str
    source: Optional[str]
    price: Optional[str]
    extracted_price: Optional[float]
    currency: Optional[str]
    thumbnail: Optional[str]
    rating: Optional[float]
    reviews: Optional[int]
    delivery: Optional[str]
    condition: Optional[str]
    in_stock: Optional[bool]
    position: Optional[int]
    def __init__(
        self,
        *,
        title: str = ...,
        link: str = ...,
        source: Optional[str] = ...,
        price: Optional[str] = ...,
        extracted_price: Optional[float] = ...,
        currency: Optional[str] = ...,
        thumbnail: Optional[str] = ...,
        rating: Optional[float] = ...,
        reviews: Optional[int] = ...,
        delivery: Optional[str] = ...,
        condition: Optional[str] = ...,
        in_stock: Optional[bool] = ...,
        position: Optional[int] = ...,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def model_dump(self, *, exclude_none: bool = ...) -> Dict[str, Any]: ...
    def model_dump_json(self, *, indent: Optional[int] = ..., exclude_none: bool = ...) -> str: ...
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "ShoppingOffer"]) -> "ShoppingOffer": ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...

class NormalizedPrice:
    def __init__(self, *, raw: str, amount: float, currency: str) -> None: ...
    @property
    def raw(self) -> str: ...
    @property
    def amount(self) -> float: ...
    @property
    def currency(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def model_dump(self, *, exclude_none: bool = ...) -> Dict[str, Any]: ...
    def model_dump_json(self, *, indent: Optional[int] = ..., exclude_none: bool = ...) -> str: ...
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "NormalizedPrice"]) -> "NormalizedPrice": ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...

class EnrichedCommerceMatch:
    title: str
    direct_url: str
    original_url: str
    price: Optional[NormalizedPrice]
    merchant_name: Optional[str]
    merchant_category: Optional[MerchantCategory]
    thumbnail: Optional[str]
    match_score: int
    page_type: PageType
    brand: Optional[str]
    sku: Optional[str]
    condition: Optional[ItemCondition]
    stock_status: Optional[StockStatus]
    primary_image_url: Optional[str]
    shipping_info: Optional[str]
    source_engine: str
    relevance: Optional[RelevanceLabel]
    def __init__(
        self,
        *,
        title: str = ...,
        direct_url: str = ...,
        original_url: str = ...,
        price: Optional[NormalizedPrice] = ...,
        merchant_name: Optional[str] = ...,
        merchant_category: Optional[MerchantCategory] = ...,
        thumbnail: Optional[str] = ...,
        match_score: int = ...,
        page_type: PageType = ...,
        brand: Optional[str] = ...,
        sku: Optional[str] = ...,
        condition: Optional[ItemCondition] = ...,
        stock_status: Optional[StockStatus] = ...,
        primary_image_url: Optional[str] = ...,
        shipping_info: Optional[str] = ...,
        source_engine: str = ...,
        relevance: Optional[RelevanceLabel] = ...,
    ) -> None: ...
    @staticmethod
    def from_shopping_offer(offer: ShoppingOffer) -> "EnrichedCommerceMatch": ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def model_dump(self, *, exclude_none: bool = ...) -> Dict[str, Any]: ...
    def model_dump_json(self, *, indent: Optional[int] = ..., exclude_none: bool = ...) -> str: ...
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "EnrichedCommerceMatch"]) -> "EnrichedCommerceMatch": ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...

class CommerceSummary:
    total_matches: int
    currency: str
    total_priced_matches: int
    min_price: Optional[float]
    median_price: Optional[float]
    average_price: Optional[float]
    max_price: Optional[float]
    in_stock_count: int
    merchant_categories: Mapping[MerchantCategory, int]
    page_types: Mapping[PageType, int]
    def __init__(
        self,
        *,
        total_matches: int = ...,
        currency: str = ...,
        total_priced_matches: int = ...,
        min_price: Optional[float] = ...,
        median_price: Optional[float] = ...,
        average_price: Optional[float] = ...,
        max_price: Optional[float] = ...,
        in_stock_count: int = ...,
        merchant_categories: Mapping[MerchantCategory, int] = ...,
        page_types: Mapping[PageType, int] = ...,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def model_dump(self, *, exclude_none: bool = ...) -> Dict[str, Any]: ...
    def model_dump_json(self, *, indent: Optional[int] = ..., exclude_none: bool = ...) -> str: ...
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "CommerceSummary"]) -> "CommerceSummary": ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: str) -> None: ...

class CommerceIntelligence:
    summary: CommerceSummary
    items: List[EnrichedCommerceMatch]
    def __init__(
        self, *, summary: Optional[CommerceSummary] = ..., items: Optional[List[EnrichedCommerceMatch]] = ...
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def model_dump(self, *, exclude_none: bool = ...) -> Dict[str, Any]: ...
    def model_dump_json(self, *, indent: Optional[int] = ..., exclude_none: bool = ...) -> str: ...
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "CommerceIntelligence"]) -> "CommerceIntelligence": ...
    def __getstate__(self) -> Tuple[CommerceSummary, List[EnrichedCommerceMatch]]: ...
    def __setstate__(self, state: Tuple[CommerceSummary, List[EnrichedCommerceMatch]]) -> None: ...

class RelevanceContext:
    query: Optional[str]
    def __init__(self, *, query: Optional[str] = ...) -> None: ...

# ---------------------------------------------------------------- tables

ARTICLE_PATH_PATTERNS: Tuple[str, ...]
CATALOG_PATH_PATTERNS: Tuple[str, ...]
CURRENCY_MAP: Mapping[str, str]
CURRENCY_TOKEN_PATTERN: str
EDITORIAL_DOMAINS: FrozenSet[str]
GENERIC_TITLES: FrozenSet[str]
MARKETPLACE_DOMAINS: FrozenSet[str]
MULTI_TENANT_SUBDOMAINS: FrozenSet[str]
PORTFOLIO_DOMAINS: FrozenSet[str]
PORTFOLIO_KEYWORDS: Tuple[str, ...]
PORTFOLIO_PATH_PATTERNS: Tuple[str, ...]
RESELLER_DOMAINS: FrozenSet[str]
SOCIAL_DOMAINS: FrozenSet[str]
TRACKING_PARAMS: FrozenSet[str]
EXPORTS: Tuple[str, ...]

# ---------------------------------------------------------------- component operations

class URLUnwrapper:
    @staticmethod
    def unwrap(url: str) -> str: ...
    @staticmethod
    def extract_domain(url: str) -> str: ...

class PriceNormalizer:
    PRICE_PATTERN: ClassVar[str]
    @staticmethod
    def parse(raw_price: Optional[str], currency_hint: Optional[str] = ...) -> Optional[NormalizedPrice]: ...

class MerchantClassifier:
    @staticmethod
    def classify(
        domain: str, title: str = ..., brand: Optional[str] = ..., merchant_name: Optional[str] = ...
    ) -> MerchantCategory: ...

class DestinationMetadataParser:
    @staticmethod
    def parse_metadata(
        html: Optional[Union[str, bytes]],
        direct_url: str,
        initial_title: str = ...,
        initial_merchant: str = ...,
        initial_price: Optional[NormalizedPrice] = ...,
        initial_stock: Optional[bool] = ...,
        rank: int = ...,
        *,
        extended: bool = ...,
    ) -> Dict[str, Any]: ...

class CommerceAggregator:
    @staticmethod
    def fuse_matches_and_offers(
        lens_items: _Items, shopping_offers: Union[List[ShoppingOffer], Tuple[ShoppingOffer, ...]]
    ) -> List[EnrichedCommerceMatch]: ...

def export_commerce_to_csv(commerce: CommerceIntelligence, output_path: _Path) -> str: ...
def export_commerce_to_json(commerce: CommerceIntelligence, output_path: _Path) -> str: ...

# ---------------------------------------------------------------- readers

def read_search_result(
    text: str, source: str = ...
) -> Tuple[List[VisualMatch], Optional[List[ShoppingOffer]]]: ...
def read_shopping_offers(text: str, source: str = ...) -> List[ShoppingOffer]: ...
def read_enriched_items(text: str, source: str = ...) -> Tuple[CommerceIntelligence, bool]: ...

# ---------------------------------------------------------------- relevance, report

def classify_match_relevance(
    item: EnrichedCommerceMatch, context: Optional[RelevanceContext] = ...
) -> RelevanceLabel: ...
def recompute_market_summary(items: _Items, summary: CommerceSummary) -> CommerceSummary: ...
def sort_commerce_items(items: _Items) -> List[EnrichedCommerceMatch]: ...
def commerce_to_html(commerce: CommerceIntelligence, *, resolved_links: Optional[int] = ...) -> str: ...
def export_commerce_to_html(
    commerce: CommerceIntelligence, output_path: _Path, *, resolved_links: Optional[int] = ...
) -> str: ...

# ---------------------------------------------------------------- runs

class Run:
    def run(self, on_message: Optional[Callable[[str], None]] = ...) -> Any: ...
    def stop(self) -> None: ...

def enrich_run(
    matches: Union[List[VisualMatch], Tuple[VisualMatch, ...]],
    offers: Optional[Union[List[ShoppingOffer], Tuple[ShoppingOffer, ...]]] = ...,
    *,
    pages: Optional[_Path] = ...,
    allow_private: bool = ...,
    resolve_stores: bool = ...,
    extended: bool = ...,
    timeout: float = ...,
    max_items: Optional[int] = ...,
    cache: Optional[_Path] = ...,
    fetching: Optional[Any] = ...,
) -> Run: ...
def resolve_run(
    items: _Items, max_concurrency: int = ..., timeout: int = ..., *, allow_private: bool = ...
) -> Run: ...
def fetch_run(
    urls: Union[List[str], Tuple[str, ...]],
    timeout: float = ...,
    *,
    pages: Optional[_Path] = ...,
    allow_private: bool = ...,
    cache: Optional[_Path] = ...,
    fetching: Optional[Any] = ...,
) -> Run: ...
def batch_run(
    records: Union[List[Tuple[Optional[int], Any]], Tuple[Tuple[Optional[int], Any], ...]],
    *,
    pages: Optional[_Path] = ...,
    allow_private: bool = ...,
    resolve_stores: bool = ...,
    extended: bool = ...,
    timeout: float = ...,
    concurrency: int = ...,
    cache: Optional[_Path] = ...,
    fetching: Optional[Any] = ...,
) -> Run: ...
