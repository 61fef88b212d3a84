// Availability from what a shopper sees: an add-to-cart control that is
// there and enabled, and in-stock or sold-out wording (in the languages of
// the shops we meet) in the elements that report availability or on the
// add-to-cart control itself.
#include "commerce/metadata/extended/readers.hpp"

#include "text/wording.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// Add-to-cart in attribute values, lower-cased with "-", "_" and spaces removed.
constexpr std::array<std::string_view, 9> kCartAttributeWords{
    "addtocart", "addtobasket", "addtobag", "buynow", "addcart", "btncart", "buttoncart", "addtotrolley",
    "cartadd"};

// Add-to-cart as control texts say it, lower-cased.
constexpr std::array<std::string_view, 74> kCartTexts{
    "add to cart",          "add to basket",         "add to bag",            "add to trolley",
    "buy now",              "buy it now",            "in den warenkorb",      "in den einkaufswagen",
    "jetzt kaufen",         "kaufen",                "ajouter au panier",     "acheter",
    "añadir al carrito",    "añadir a la cesta",     "agregar al carrito",    "aggiungi al carrello",
    "acquista",             "adicionar ao carrinho", "adicionar à sacola",    "comprar",
    "dodaj do koszyka",     "do koszyka",            "kup teraz",             "в корзину",
    "купить",               "в кошик",               "добави в количката",    "kosárba",
    "do košíku",            "do košíka",             "koupit",                "kúpiť",
    "sepete ekle",          "in winkelwagen",        "in de winkelwagen",     "kopen",
    "lägg i varukorgen",    "lägg i varukorg",       "lägg i kundvagn",       "köp",
    "læg i kurv",           "læg i kurven",          "legg i handlekurv",     "legg i handlekurven",
    "lisää ostoskoriin",    "lisa ostukorvi",        "lisa korvi",            "pievienot grozam",
    "ielikt grozā",         "į krepšelį",            "adaugă în coș",         "adauga in cos",
    "cumpără",              "dodaj u košaricu",      "dodaj u korpu",         "dodaj v košarico",
    "προσθήκη στο καλάθι",  "הוסף לסל",              "הוסף לעגלה",            "أضف إلى السلة",
    "أضف للسلة",            "thêm vào giỏ",          "mua ngay",              "masukkan ke keranjang",
    "beli sekarang",        "ใส่ตะกร้า",             "加入購物車",            "加入购物车",
    "立即购买",             "カートに入れる",        "カートに追加",          "장바구니",
    "구매하기",             "바로구매"};

// Sold-out wording, lower-cased, found as whole words; tested before the
// in-stock wording, which it often contains ("nicht verfügbar").
constexpr std::array<std::string_view, 74> kSoldOutTexts{
    "out of stock",        "sold out",             "currently unavailable", "no longer available",
    "temporarily unavailable", "not in stock",     "unavailable",           "not available",
    "ausverkauft",           "nicht verfügbar",
    "nicht lieferbar",     "nicht auf lager",      "vergriffen",            "épuisé",
    "rupture de stock",    "indisponible",         "plus disponible",       "non disponible",
    "agotado",             "sin stock",            "no disponible",         "sin existencias",
    "esaurito",            "non disponibile",      "esgotado",              "indisponível",
    "sem estoque",         "fora de estoque",      "sem stock",             "niedostępny",
    "brak w magazynie",    "wyprzedany",           "brak towaru",           "uitverkocht",
    "niet leverbaar",      "niet op voorraad",     "niet beschikbaar",      "slutsåld",
    "slut i lager",        "ej i lager",           "udsolgt",               "ikke på lager",
    "utsolgt",             "loppuunmyyty",         "ei varastossa",         "vyprodáno",
    "není skladem",        "vypredané",            "nie je skladom",        "nedostupné",
    "elfogyott",           "nincs raktáron",       "stoc epuizat",          "indisponibil",
    "rasprodano",          "nije dostupno",        "ni na zalogi",          "изчерпан",
    "няма наличност",      "нет в наличии",        "распродано",            "нет на складе",
    "немає в наявності",   "εξαντλήθηκε",          "tükendi",               "stokta yok",
    "laost otsas",         "izpārdots",            "išparduota",            "在庫切れ",
    "品切れ",              "売り切れ",             "缺貨",                  "품절"};

constexpr std::array<std::string_view, 23> kSoldOutMore{
    "售完",             "缺货",           "无货",          "售罄",           "hết hàng",
    "สินค้าหมด",        "אזל מהמלאי",     "نفذت الكمية",   "نفدت الكمية",    "غير متوفر",
    "nav pieejams",     "nav noliktavā",  "nėra sandėlyje", "μη διαθέσιμο",  "razprodano",
    "nema na zalihi",   "nedostupno",     "stok habis",    "tidak tersedia", "tillfälligt slut",
    "läbi müüdud",      "ei ole saadaval", "товар закончился"};

// Wording of a product that is not in stock now but is expected: the
// shopper is offered a notice ("notify me when available") or told it
// comes back; tested with the sold-out wording, before the in-stock
// wording that it holds ("back in stock soon").
constexpr std::array<std::string_view, 12> kComingBackTexts{
    "back in stock soon",   "notify me when available", "notify me when in stock", "email me when available",
    "email when available", "email me when in stock",   "coming soon",             "bientôt disponible",
    "bald verfügbar",       "bald wieder verfügbar",    "próximamente",            "prossimamente"};

// Pre-order wording, lower-cased, found as whole words; tested before the
// in-stock wording ("available for pre-order").
constexpr std::array<std::string_view, 14> kPreorderTexts{
    "pre-order",    "preorder",   "pre order", "vorbestellen", "vorbestellung", "précommande", "précommander",
    "preventa",     "pre-venta",  "preordine", "przedsprzedaż", "pré-venda",    "предзаказ",   "予約受付"};

// In-stock wording, lower-cased, found as whole words; a negation right
// before it ("not available", "nicht lieferbar") reads as sold out. Single
// words that are also names are left out ("Laos", in stock in Estonian, is
// a country): only the phrases around them count.
constexpr std::array<std::string_view, 48> kInStockTexts{
    "in stock",      "auf lager",    "sofort lieferbar", "lieferbar",      "verfügbar",   "en stock",
    "disponible",    "en existencia", "disponibile",     "disponibilità immediata",       "disponível",
    "em estoque",    "dostępny",     "na stanie",        "в наличии",      "в наявності", "op voorraad",
    "i lager",       "på lager",     "varastossa",       "skladem",        "na skladě",   "skladom",
    "raktáron",      "în stoc",      "pe stoc",          "na zalogi",      "na stanju",   "na zalihi",
    "dostupno",      "stokta",       "tersedia",         "διαθέσιμο",      "在庫あり",    "有貨",
    "有货",          "现货",         "재고있음",         "재고 있음",      "còn hàng",    "במלאי",
    "متوفر",         "available",    "on laos",          "laos olemas",    "saadaval",    "noliktavā",
    "sandėlyje"};

// Attribute values longer than this are data (JSON, encoded images), not names.
constexpr std::size_t kMaxNameValue = 200;
// A variant chooser wraps its options in a list, a fieldset and a box or two.
constexpr int kChooserLevels = 8;
// Class words of variant choosers, found as whole words ("imagesize" is
// the size of an image, no chooser).
constexpr std::array<std::string_view, 14> kChooserWords{"size",      "sizes",     "swatch",    "swatches",
                                                         "variant",   "variants",  "variation", "variations",
                                                         "option",    "options",   "color",     "colors",
                                                         "colour",    "colours"};
// Availability wording is a short sentence; a longer text is a description
// that may mention stock in passing.
constexpr std::size_t kMaxWording = 160;
// A button's own label is a few words.
constexpr std::size_t kMaxButtonLabel = 64;
// Stock-named elements looked at, at most: the product's own report comes
// early on the page, and pages of many listed items stay cheap.
constexpr std::size_t kMaxStockElements = 40;

template <std::size_t N>
bool contains_any(std::string_view hay, const std::array<std::string_view, N>& parts) {
  return std::any_of(parts.begin(), parts.end(), [&](std::string_view p) { return hay.find(p) != std::string_view::npos; });
}

template <std::size_t N>
bool has_any_phrase(std::string_view text, const std::array<std::string_view, N>& phrases) {
  return std::any_of(phrases.begin(), phrases.end(), [&](std::string_view p) { return text::has_phrase(text, p); });
}

// The first three bytes of each of a set of phrases, hashed into 4096 bits.
// A phrase is looked for in a text only when some three adjacent bytes of
// the text hash as its first three do: most texts are passed over with one
// look-up per byte, and the others searched for a few phrases, not all.
struct PhraseStarts {
  using Bits = std::array<std::uint64_t, 64>;
  Bits bits{};

  static constexpr unsigned hash(std::string_view s, std::size_t i) noexcept {
    return ((static_cast<unsigned char>(s[i]) * 33U + static_cast<unsigned char>(s[i + 1])) * 33U +
            static_cast<unsigned char>(s[i + 2])) &
           4095U;
  }
  static constexpr bool has(const Bits& b, unsigned h) noexcept { return ((b[h >> 6U] >> (h & 63U)) & 1U) != 0; }

  // The hashes of `text`'s three-byte runs that begin one of the phrases
  // (none: the text holds none of them).
  [[nodiscard]] bool starts_in(std::string_view text, Bits& found) const noexcept {
    bool any = false;
    for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
      const unsigned h = hash(text, i);
      if (has(bits, h)) {
        found[h >> 6U] |= std::uint64_t{1} << (h & 63U);
        any = true;
      }
    }
    return any;
  }
};

template <std::size_t N>
constexpr PhraseStarts phrase_starts(const std::array<std::string_view, N>& phrases) {
  PhraseStarts s;
  for (const std::string_view p : phrases) {
    if (p.size() < 3) throw std::logic_error("a phrase of three bytes at least");
    const unsigned h = PhraseStarts::hash(p, 0);
    s.bits[h >> 6U] |= std::uint64_t{1} << (h & 63U);
  }
  return s;
}

// has_any_phrase, looking only for the phrases that may start in `text`.
template <std::size_t N>
bool has_any_phrase(std::string_view text, const std::array<std::string_view, N>& phrases, const PhraseStarts& starts) {
  PhraseStarts::Bits found{};
  if (!starts.starts_in(text, found)) return false;
  return std::any_of(phrases.begin(), phrases.end(), [&](std::string_view p) {
    return PhraseStarts::has(found, PhraseStarts::hash(p, 0)) && text::has_phrase(text, p);
  });
}

constexpr PhraseStarts kCartTextStarts = phrase_starts(kCartTexts);

// The attribute values of `t` that name it, lower-cased, without "-", "_" and spaces.
std::string squeezed_names(const PageIndex& page, const Tag& t) {
  std::string out;
  for (const Attribute& a : page.attributes(t)) {
    const bool naming = iequals(a.name, "class") || iequals(a.name, "id") || iequals(a.name, "name") ||
                        iequals(a.name, "value") || iequals(a.name, "title") || iequals(a.name, "aria-label") ||
                        istarts_with(a.name, "data-");
    if (!naming || a.value.size() > kMaxNameValue) continue;
    // Written in place, a byte at a time without a branch: class values are long.
    const std::size_t at = out.size();
    out.resize(at + a.value.size() + 1);
    char* w = out.data() + at;
    for (const char c : a.value) {
      *w = text::ascii_lower(c);
      w += (c != '-' && c != '_' && c != ' ') ? 1 : 0;
    }
    *w++ = ' ';
    out.resize(static_cast<std::size_t>(w - out.data()));
  }
  return out;
}

bool is_disabled(const PageIndex& page, const Tag& t) {
  if (page.attribute(t, "disabled")) return true;
  if (const auto aria = page.attribute(t, "aria-disabled"); aria && iequals(*aria, "true")) return true;
  const auto cls = page.attribute(t, "class");
  return cls && icontains(*cls, "disabled");
}

// Elements of variant choosers (sizes, colours), whose wording is about one variant.
bool in_variant_chooser(const PageIndex& page, std::size_t i) {
  std::size_t at = i;
  for (int steps = 0; at != Tag::none && steps < kChooserLevels; ++steps) {
    const Tag& t = page.tags()[at];
    if (t.kind == TagName::select || t.kind == TagName::option) return true;
    if (t.attribute_count > 0 && class_has_word(page, t, kChooserWords)) return true;
    at = t.parent;
  }
  return false;
}

std::optional<models::StockStatus> status_of_wording(std::string_view text) {
  if (text.empty() || text.size() > kMaxWording) return std::nullopt;
  const std::string lower = text::to_lower(text);
  if (has_any_phrase(lower, kSoldOutTexts) || has_any_phrase(lower, kSoldOutMore) ||
      has_any_phrase(lower, kComingBackTexts)) {
    return models::StockStatus::OUT_OF_STOCK;
  }
  if (has_any_phrase(lower, kPreorderTexts)) return models::StockStatus::PREORDER;
  for (const std::string_view phrase : kInStockTexts) {
    const std::size_t at = text::find_phrase(lower, phrase);
    if (at == std::string::npos) continue;
    return text::negated_before(lower, at) ? models::StockStatus::OUT_OF_STOCK : models::StockStatus::IN_STOCK;
  }
  return std::nullopt;
}

}  // namespace

bool is_add_to_cart(const PageIndex& page, std::size_t i) {
  const Tag& t = page.tags()[i];
  if ((t.hints & hint_cart) == 0 && t.kind != TagName::button) return false;
  if (t.kind == TagName::input) {
    const auto type = page.attribute(t, "type");
    if (!type || !(iequals(*type, "submit") || iequals(*type, "button") || iequals(*type, "image"))) return false;
  }
  if (contains_any(squeezed_names(page, t), kCartAttributeWords)) return true;
  if (t.kind != TagName::button) return false;
  const std::string label = page.element_text(i, kMaxButtonLabel);
  // A button without text (an icon) says nothing.
  if (label.empty()) return false;
  const std::string lower = text::to_lower(label);
  return has_any_phrase(lower, kCartTexts, kCartTextStarts);
}

void read_stock_cues(const PageContext& ctx, Evidence& out) {
  const PageIndex& page = ctx.page;
  const std::size_t cart = ctx.landmarks().add_to_cart;
  if (cart != Tag::none) {
    const Tag& t = page.tags()[cart];
    const auto said = t.kind == TagName::button ? status_of_wording(page.element_text(cart, kMaxButtonLabel)) : std::nullopt;
    if (said == models::StockStatus::OUT_OF_STOCK) {
      out.stock.push_back({*said, Source::stock_wording, 0});
    } else if (!is_disabled(page, t) && !is_hidden(page, cart)) {
      out.stock.push_back({models::StockStatus::IN_STOCK, Source::add_to_cart, 0});
    }
  }
  // Availability reports: the first that says something, outside other
  // products (also a list's, whose items share a class) and variant choosers.
  if (!page.has_hint(hint_stock)) return;
  std::vector<std::size_t> reports;
  const auto hinted = page.hinted();
  for (std::size_t k = 0; k < hinted.size() && reports.size() < kMaxStockElements; ++k) {
    const std::size_t i = hinted[k];
    const Tag& t = page.tags()[i];
    if (t.closing || t.attribute_count == 0 || t.kind == TagName::meta || t.kind == TagName::link ||
        t.kind == TagName::script || t.kind == TagName::input) {
      continue;
    }
    if ((t.hints & hint_stock) != 0) reports.push_back(i);
  }
  for (const std::size_t i : unlisted(page, reports)) {
    // A hidden report is a template that scripts show for another state.
    if (ctx.other.contains(i) || in_variant_chooser(page, i) || is_hidden(page, i)) continue;
    if (const auto status = status_of_wording(page.element_text(i, kMaxWording))) {
      out.stock.push_back({*status, Source::stock_wording, 1});
      return;
    }
  }
}

}  // namespace korvane::commerce::detail::extended
