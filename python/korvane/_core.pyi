"""Type stubs of the extension module korvane._core (the C++ library)."""

import enum
import os
from typing import (
    AbstractSet,
    Any,
    Callable,
    ClassVar,
    Dict,
    FrozenSet,
    Iterable,
    List,
    Mapping,
    Optional,
    Sequence,
    SupportsIndex,
    Tuple,
    Union,
)

from korvane.commerce.settings import RunSettings

__version__: str

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Items = Iterable["EnrichedCommerceMatch"]
# include= and exclude= of model_dump: field names, or a dict of them.
_FieldSet = Union[AbstractSet[str], Sequence[str], Mapping[str, Any]]

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

class _JsonForm:
    """(Only in these stubs: the methods every record class has.)"""
    def model_dump(
        self,
        *,
        mode: str = ...,
        include: Optional[_FieldSet] = ...,
        exclude: Optional[_FieldSet] = ...,
        exclude_none: bool = ...,
    ) -> Dict[str, Any]: ...
    def model_dump_json(
        self,
        *,
        indent: Optional[int] = ...,
        include: Optional[_FieldSet] = ...,
        exclude: Optional[_FieldSet] = ...,
        exclude_none: bool = ...,
    ) -> str: ...
    def __getstate__(self) -> Dict[str, Any]: ...
    def __setstate__(self, state: Dict[str, Any]) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex) -> Tuple[Any, ...]: ...

class VisualMatch(_JsonForm):
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
        link: str,
        title: str = ...,
        source: Optional[str] = ...,
        price: Optional[str] = ...,
        currency: Optional[str] = ...,
        thumbnail: Optional[str] = ...,
        in_stock: Optional[bool] = ...,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "VisualMatch"]) -> "VisualMatch": ...
    @staticmethod
    def model_validate_json(json_data: Union[str, bytes]) -> "VisualMatch": ...

class ShoppingOffer(_JsonForm):
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
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "ShoppingOffer"]) -> "ShoppingOffer": ...
    @staticmethod
    def model_validate_json(json_data: Union[str, bytes]) -> "ShoppingOffer": ...

class NormalizedPrice(_JsonForm):
    def __init__(self, *, raw: str = ..., amount: float, currency: str = ...) -> None: ...
    @property
    def raw(self) -> str: ...
    @property
    def amount(self) -> float: ...
    @property
    def currency(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "NormalizedPrice"]) -> "NormalizedPrice": ...
    @staticmethod
    def model_validate_json(json_data: Union[str, bytes]) -> "NormalizedPrice": ...

class EnrichedCommerceMatch(_JsonForm):
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
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "EnrichedCommerceMatch"]) -> "EnrichedCommerceMatch": ...
    @staticmethod
    def model_validate_json(json_data: Union[str, bytes]) -> "EnrichedCommerceMatch": ...

class CommerceSummary(_JsonForm):
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
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "CommerceSummary"]) -> "CommerceSummary": ...
    @staticmethod
    def model_validate_json(json_data: Union[str, bytes]) -> "CommerceSummary": ...

class CommerceIntelligence(_JsonForm):
    summary: CommerceSummary
    items: List[EnrichedCommerceMatch]
    def __init__(
        self, *, summary: Optional[CommerceSummary] = ..., items: Optional[List[EnrichedCommerceMatch]] = ...
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @staticmethod
    def model_validate(obj: Union[Dict[str, Any], "CommerceIntelligence"]) -> "CommerceIntelligence": ...
    @staticmethod
    def model_validate_json(json_data: Union[str, bytes]) -> "CommerceIntelligence": ...
    def __getstate__(self) -> Tuple[CommerceSummary, List[EnrichedCommerceMatch]]: ...  # type: ignore[override]
    def __setstate__(  # type: ignore[override]
        self, state: Tuple[CommerceSummary, List[EnrichedCommerceMatch]]
    ) -> None: ...

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
    @staticmethod
    def parse_extended(raw_price: Optional[str], currency_hint: Optional[str] = ...) -> Optional[NormalizedPrice]: ...

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
        lens_items: _Items,
        shopping_offers: Union[List[ShoppingOffer], Tuple[ShoppingOffer, ...]],
        *,
        extended: bool = ...,
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
    def run(
        self,
        on_message: Optional[Callable[[str], None]] = ...,
        on_counts: Optional[Callable[[str, int, int], None]] = ...,
    ) -> Any: ...
    def stop(self) -> None: ...

def enrich_run(
    matches: Iterable[VisualMatch],
    offers: Optional[Iterable[ShoppingOffer]],
    settings: RunSettings,
    *,
    max_items: Optional[int] = ...,
) -> Run: ...
def resolve_run(items: _Items, max_concurrency: int, timeout: int, settings: RunSettings) -> Run: ...
def fetch_run(urls: Iterable[str], settings: RunSettings) -> Run: ...
def batch_run(
    records: Iterable[Tuple[Optional[int], Any]],
    settings: RunSettings,
    *,
    concurrency: int = ...,
) -> Run: ...
