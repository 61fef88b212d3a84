#include "core/charset.hpp"

#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <utility>

namespace korvane::core::detail {
namespace {

struct Label {
  std::string_view label;
  std::string_view encoding;
};

// The labels of the Encoding standard (its "replacement" encoding and
// ISO-8859-16, which our ICU data lacks, are left out: their labels count as
// unknown).
constexpr Label labels[] = {
    {"unicode-1-1-utf-8", "UTF-8"}, {"unicode11utf8", "UTF-8"}, {"unicode20utf8", "UTF-8"},
    {"utf-8", "UTF-8"}, {"utf8", "UTF-8"}, {"x-unicode20utf8", "UTF-8"},
    {"866", "IBM866"}, {"cp866", "IBM866"}, {"csibm866", "IBM866"}, {"ibm866", "IBM866"},
    {"csisolatin2", "ISO-8859-2"}, {"iso-8859-2", "ISO-8859-2"}, {"iso-ir-101", "ISO-8859-2"},
    {"iso8859-2", "ISO-8859-2"}, {"iso88592", "ISO-8859-2"}, {"iso_8859-2", "ISO-8859-2"},
    {"iso_8859-2:1987", "ISO-8859-2"}, {"l2", "ISO-8859-2"}, {"latin2", "ISO-8859-2"},
    {"csisolatin3", "ISO-8859-3"}, {"iso-8859-3", "ISO-8859-3"}, {"iso-ir-109", "ISO-8859-3"},
    {"iso8859-3", "ISO-8859-3"}, {"iso88593", "ISO-8859-3"}, {"iso_8859-3", "ISO-8859-3"},
    {"iso_8859-3:1988", "ISO-8859-3"}, {"l3", "ISO-8859-3"}, {"latin3", "ISO-8859-3"},
    {"csisolatin4", "ISO-8859-4"}, {"iso-8859-4", "ISO-8859-4"}, {"iso-ir-110", "ISO-8859-4"},
    {"iso8859-4", "ISO-8859-4"}, {"iso88594", "ISO-8859-4"}, {"iso_8859-4", "ISO-8859-4"},
    {"iso_8859-4:1988", "ISO-8859-4"}, {"l4", "ISO-8859-4"}, {"latin4", "ISO-8859-4"},
    {"csisolatincyrillic", "ISO-8859-5"}, {"cyrillic", "ISO-8859-5"}, {"iso-8859-5", "ISO-8859-5"},
    {"iso-ir-144", "ISO-8859-5"}, {"iso8859-5", "ISO-8859-5"}, {"iso88595", "ISO-8859-5"},
    {"iso_8859-5", "ISO-8859-5"}, {"iso_8859-5:1988", "ISO-8859-5"},
    {"arabic", "ISO-8859-6"}, {"asmo-708", "ISO-8859-6"}, {"csiso88596e", "ISO-8859-6"},
    {"csiso88596i", "ISO-8859-6"}, {"csisolatinarabic", "ISO-8859-6"}, {"ecma-114", "ISO-8859-6"},
    {"iso-8859-6", "ISO-8859-6"}, {"iso-8859-6-e", "ISO-8859-6"}, {"iso-8859-6-i", "ISO-8859-6"},
    {"iso-ir-127", "ISO-8859-6"}, {"iso8859-6", "ISO-8859-6"}, {"iso88596", "ISO-8859-6"},
    {"iso_8859-6", "ISO-8859-6"}, {"iso_8859-6:1987", "ISO-8859-6"},
    {"csisolatingreek", "ISO-8859-7"}, {"ecma-118", "ISO-8859-7"}, {"elot_928", "ISO-8859-7"},
    {"greek", "ISO-8859-7"}, {"greek8", "ISO-8859-7"}, {"iso-8859-7", "ISO-8859-7"},
    {"iso-ir-126", "ISO-8859-7"}, {"iso8859-7", "ISO-8859-7"}, {"iso88597", "ISO-8859-7"},
    {"iso_8859-7", "ISO-8859-7"}, {"iso_8859-7:1987", "ISO-8859-7"}, {"sun_eu_greek", "ISO-8859-7"},
    {"csiso88598e", "ISO-8859-8"}, {"csisolatinhebrew", "ISO-8859-8"}, {"hebrew", "ISO-8859-8"},
    {"iso-8859-8", "ISO-8859-8"}, {"iso-8859-8-e", "ISO-8859-8"}, {"iso-ir-138", "ISO-8859-8"},
    {"iso8859-8", "ISO-8859-8"}, {"iso88598", "ISO-8859-8"}, {"iso_8859-8", "ISO-8859-8"},
    {"iso_8859-8:1988", "ISO-8859-8"}, {"visual", "ISO-8859-8"},
    {"csiso88598i", "ISO-8859-8-I"}, {"iso-8859-8-i", "ISO-8859-8-I"}, {"logical", "ISO-8859-8-I"},
    {"csisolatin6", "ISO-8859-10"}, {"iso-8859-10", "ISO-8859-10"}, {"iso-ir-157", "ISO-8859-10"},
    {"iso8859-10", "ISO-8859-10"}, {"iso885910", "ISO-8859-10"}, {"l6", "ISO-8859-10"},
    {"latin6", "ISO-8859-10"},
    {"iso-8859-13", "ISO-8859-13"}, {"iso8859-13", "ISO-8859-13"}, {"iso885913", "ISO-8859-13"},
    {"iso-8859-14", "ISO-8859-14"}, {"iso8859-14", "ISO-8859-14"}, {"iso885914", "ISO-8859-14"},
    {"csisolatin9", "ISO-8859-15"}, {"iso-8859-15", "ISO-8859-15"}, {"iso8859-15", "ISO-8859-15"},
    {"iso885915", "ISO-8859-15"}, {"iso_8859-15", "ISO-8859-15"}, {"l9", "ISO-8859-15"},
    {"cskoi8r", "KOI8-R"}, {"koi", "KOI8-R"}, {"koi8", "KOI8-R"}, {"koi8-r", "KOI8-R"},
    {"koi8_r", "KOI8-R"}, {"koi8-ru", "KOI8-U"}, {"koi8-u", "KOI8-U"},
    {"csmacintosh", "macintosh"}, {"mac", "macintosh"}, {"macintosh", "macintosh"},
    {"x-mac-roman", "macintosh"},
    {"dos-874", "windows-874"}, {"iso-8859-11", "windows-874"}, {"iso8859-11", "windows-874"},
    {"iso885911", "windows-874"}, {"tis-620", "windows-874"}, {"windows-874", "windows-874"},
    {"cp1250", "windows-1250"}, {"windows-1250", "windows-1250"}, {"x-cp1250", "windows-1250"},
    {"cp1251", "windows-1251"}, {"windows-1251", "windows-1251"}, {"x-cp1251", "windows-1251"},
    {"ansi_x3.4-1968", "windows-1252"}, {"ascii", "windows-1252"}, {"cp1252", "windows-1252"},
    {"cp819", "windows-1252"}, {"csisolatin1", "windows-1252"}, {"ibm819", "windows-1252"},
    {"iso-8859-1", "windows-1252"}, {"iso-ir-100", "windows-1252"}, {"iso8859-1", "windows-1252"},
    {"iso88591", "windows-1252"}, {"iso_8859-1", "windows-1252"},
    {"iso_8859-1:1987", "windows-1252"}, {"l1", "windows-1252"}, {"latin1", "windows-1252"},
    {"us-ascii", "windows-1252"}, {"windows-1252", "windows-1252"}, {"x-cp1252", "windows-1252"},
    {"cp1253", "windows-1253"}, {"windows-1253", "windows-1253"}, {"x-cp1253", "windows-1253"},
    {"cp1254", "windows-1254"}, {"csisolatin5", "windows-1254"}, {"iso-8859-9", "windows-1254"},
    {"iso-ir-148", "windows-1254"}, {"iso8859-9", "windows-1254"}, {"iso88599", "windows-1254"},
    {"iso_8859-9", "windows-1254"}, {"iso_8859-9:1989", "windows-1254"}, {"l5", "windows-1254"},
    {"latin5", "windows-1254"}, {"windows-1254", "windows-1254"}, {"x-cp1254", "windows-1254"},
    {"cp1255", "windows-1255"}, {"windows-1255", "windows-1255"}, {"x-cp1255", "windows-1255"},
    {"cp1256", "windows-1256"}, {"windows-1256", "windows-1256"}, {"x-cp1256", "windows-1256"},
    {"cp1257", "windows-1257"}, {"windows-1257", "windows-1257"}, {"x-cp1257", "windows-1257"},
    {"cp1258", "windows-1258"}, {"windows-1258", "windows-1258"}, {"x-cp1258", "windows-1258"},
    {"x-mac-cyrillic", "x-mac-cyrillic"}, {"x-mac-ukrainian", "x-mac-cyrillic"},
    {"chinese", "GBK"}, {"csgb2312", "GBK"}, {"csiso58gb231280", "GBK"}, {"gb2312", "GBK"},
    {"gb_2312", "GBK"}, {"gb_2312-80", "GBK"}, {"gbk", "GBK"}, {"iso-ir-58", "GBK"},
    {"x-gbk", "GBK"}, {"gb18030", "gb18030"},
    {"big5", "Big5"}, {"big5-hkscs", "Big5"}, {"cn-big5", "Big5"}, {"csbig5", "Big5"},
    {"x-x-big5", "Big5"},
    {"cseucpkdfmtjapanese", "EUC-JP"}, {"euc-jp", "EUC-JP"}, {"x-euc-jp", "EUC-JP"},
    {"csiso2022jp", "ISO-2022-JP"}, {"iso-2022-jp", "ISO-2022-JP"},
    {"csshiftjis", "Shift_JIS"}, {"ms932", "Shift_JIS"}, {"ms_kanji", "Shift_JIS"},
    {"shift-jis", "Shift_JIS"}, {"shift_jis", "Shift_JIS"}, {"sjis", "Shift_JIS"},
    {"windows-31j", "Shift_JIS"}, {"x-sjis", "Shift_JIS"},
    {"cseuckr", "EUC-KR"}, {"csksc56011987", "EUC-KR"}, {"euc-kr", "EUC-KR"},
    {"iso-ir-149", "EUC-KR"}, {"korean", "EUC-KR"}, {"ks_c_5601-1987", "EUC-KR"},
    {"ks_c_5601-1989", "EUC-KR"}, {"ksc5601", "EUC-KR"}, {"ksc_5601", "EUC-KR"},
    {"windows-949", "EUC-KR"},
    {"unicodefffe", "UTF-16BE"}, {"utf-16be", "UTF-16BE"},
    {"csunicode", "UTF-16LE"}, {"iso-10646-ucs-2", "UTF-16LE"}, {"ucs-2", "UTF-16LE"},
    {"unicode", "UTF-16LE"}, {"unicodefeff", "UTF-16LE"}, {"utf-16", "UTF-16LE"},
    {"utf-16le", "UTF-16LE"},
    {"x-user-defined", "x-user-defined"},
};

// Encodings whose ICU converter has another name.
constexpr std::pair<std::string_view, std::string_view> icu_names[] = {
    {"IBM866", "ibm-866"},           {"ISO-8859-8-I", "ISO-8859-8"},
    {"windows-874", "windows-874-2000"}, {"GBK", "GB18030"},
    {"gb18030", "GB18030"},          {"Big5", "Big5-HKSCS"},
    {"EUC-KR", "windows-949"},       {"Shift_JIS", "windows-31j"},
    // x-user-defined maps 0x80..0xFF into the private use area; the closest
    // readable reading of such pages is windows-1252.
    {"x-user-defined", "windows-1252"},
};

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && text::is_html_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && text::is_html_space(s.back())) s.remove_suffix(1);
  return s;
}

bool istarts_with(std::string_view s, std::size_t pos, std::string_view prefix) noexcept {
  return pos <= s.size() && text::ascii_iequals(s.substr(pos, prefix.size()), prefix);
}

// "Extracting a character encoding from a meta element": the value after
// "charset", "=" and optional spaces in a content attribute.
std::optional<std::string> charset_in_content(std::string_view content) {
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t at = pos;
    for (; at + 7 <= content.size(); ++at) {
      if (istarts_with(content, at, "charset")) break;
    }
    if (at + 7 > content.size()) return std::nullopt;
    pos = at + 7;
    while (pos < content.size() && text::is_html_space(content[pos])) ++pos;
    if (pos >= content.size() || content[pos] != '=') continue;
    ++pos;
    while (pos < content.size() && text::is_html_space(content[pos])) ++pos;
    if (pos >= content.size()) return std::nullopt;
    const char quote = content[pos];
    if (quote == '"' || quote == '\'') {
      const std::size_t end = content.find(quote, pos + 1);
      if (end == std::string_view::npos) return std::nullopt;
      return std::string(content.substr(pos + 1, end - pos - 1));
    }
    std::size_t end = pos;
    while (end < content.size() && !text::is_html_space(content[end]) && content[end] != ';') ++end;
    return std::string(content.substr(pos, end - pos));
  }
  return std::nullopt;
}

// One attribute of a tag, read as the prescan of the HTML standard reads it.
struct Attribute {
  std::string name;
  std::string value;
};

// Reads the attribute at `pos`, advancing past it; absent at the end of the
// tag (`pos` then at the ">" or the end of input).
std::optional<Attribute> next_attribute(std::string_view s, std::size_t& pos) {
  while (pos < s.size() && (text::is_html_space(s[pos]) || s[pos] == '/')) ++pos;
  if (pos >= s.size() || s[pos] == '>') return std::nullopt;
  Attribute attribute;
  while (pos < s.size()) {
    const char c = s[pos];
    if (c == '=' && !attribute.name.empty()) break;
    if (text::is_html_space(c) || c == '/' || c == '>') break;
    attribute.name.push_back(text::ascii_lower(c));
    ++pos;
  }
  while (pos < s.size() && text::is_html_space(s[pos])) ++pos;
  if (pos >= s.size() || s[pos] != '=') return attribute;
  ++pos;
  while (pos < s.size() && text::is_html_space(s[pos])) ++pos;
  if (pos >= s.size()) return attribute;
  const char quote = s[pos];
  if (quote == '"' || quote == '\'') {
    const std::size_t end = s.find(quote, pos + 1);
    const std::size_t stop = end == std::string_view::npos ? s.size() : end;
    attribute.value = std::string(s.substr(pos + 1, stop - pos - 1));
    pos = end == std::string_view::npos ? s.size() : end + 1;
    return attribute;
  }
  while (pos < s.size() && !text::is_html_space(s[pos]) && s[pos] != '>') {
    attribute.value.push_back(s[pos]);
    ++pos;
  }
  return attribute;
}

// The encoding a <meta> element declares, its attributes starting at `pos`.
std::optional<std::string_view> meta_element_encoding(std::string_view s, std::size_t& pos) {
  bool got_pragma = false;
  std::optional<bool> need_pragma;
  std::optional<std::string> charset;
  std::string seen;  // attribute names, each once
  while (auto attribute = next_attribute(s, pos)) {
    const std::string key = "\n" + attribute->name + "\n";
    if (seen.find(key) != std::string::npos) continue;
    seen += key;
    if (attribute->name == "http-equiv") {
      if (text::ascii_iequals(trim(attribute->value), "content-type")) got_pragma = true;
    } else if (attribute->name == "content") {
      if (!charset) {
        if (auto found = charset_in_content(attribute->value)) {
          charset = std::move(found);
          need_pragma = true;
        }
      }
    } else if (attribute->name == "charset") {
      charset = attribute->value;
      need_pragma = false;
    }
  }
  if (!need_pragma || !charset || (*need_pragma && !got_pragma)) return std::nullopt;
  auto encoding = encoding_for_label(*charset);
  if (encoding && (*encoding == "UTF-16LE" || *encoding == "UTF-16BE")) encoding = "UTF-8";
  return encoding;
}

void replace_with_fffd(const void* /*context*/, UConverterToUnicodeArgs* args,
                       const char* /*code_units*/, int32_t /*length*/,
                       UConverterCallbackReason reason, UErrorCode* error) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  *error = U_ZERO_ERROR;
  const UChar replacement = 0xFFFD;
  ucnv_cbToUWriteUChars(args, &replacement, 1, 0, error);
}

struct ConverterCloser {
  void operator()(UConverter* c) const noexcept { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(std::string_view name) {
  UErrorCode error = U_ZERO_ERROR;
  Converter converter(ucnv_open(std::string(name).c_str(), &error));
  if (U_FAILURE(error)) return nullptr;
  return converter;
}

}  // namespace

std::optional<std::string_view> encoding_for_label(std::string_view label) noexcept {
  const std::string_view trimmed = trim(label);
  for (const auto& entry : labels) {
    if (text::ascii_iequals(entry.label, trimmed)) return entry.encoding;
  }
  return std::nullopt;
}

std::string_view icu_converter_name(std::string_view encoding) noexcept {
  for (const auto& [name, icu] : icu_names) {
    if (name == encoding) return icu;
  }
  return encoding;
}

std::optional<std::string> charset_parameter(std::string_view content_type) {
  std::size_t pos = content_type.find(';');
  while (pos != std::string_view::npos) {
    ++pos;
    const std::size_t eq = content_type.find_first_of("=;", pos);
    if (eq == std::string_view::npos) return std::nullopt;
    if (content_type[eq] == ';') {
      pos = eq;
      continue;
    }
    const std::string_view name = trim(content_type.substr(pos, eq - pos));
    std::size_t value_start = eq + 1;
    while (value_start < content_type.size() && text::is_html_space(content_type[value_start])) ++value_start;
    std::string value;
    std::size_t next = std::string_view::npos;
    if (value_start < content_type.size() && content_type[value_start] == '"') {
      std::size_t i = value_start + 1;
      for (; i < content_type.size() && content_type[i] != '"'; ++i) {
        if (content_type[i] == '\\' && i + 1 < content_type.size()) ++i;
        value.push_back(content_type[i]);
      }
      next = content_type.find(';', i);
    } else {
      next = content_type.find(';', value_start);
      value = std::string(trim(content_type.substr(
          value_start, next == std::string_view::npos ? std::string_view::npos : next - value_start)));
    }
    if (text::ascii_iequals(name, "charset") && !value.empty()) return value;
    pos = next;
  }
  return std::nullopt;
}

std::optional<std::string_view> meta_charset(std::string_view html) {
  const std::string_view s = html.substr(0, meta_prescan_bytes);
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t lt = s.find('<', pos);
    if (lt == std::string_view::npos) break;
    pos = lt;
    if (s.substr(pos, 4) == "<!--") {
      const std::size_t end = s.find("-->", pos + 2);
      if (end == std::string_view::npos) break;
      pos = end + 3;
    } else if (istarts_with(s, pos, "<meta") && pos + 5 < s.size() &&
               (text::is_html_space(s[pos + 5]) || s[pos + 5] == '/')) {
      pos += 5;
      if (auto encoding = meta_element_encoding(s, pos)) return encoding;
    } else if (pos + 1 < s.size() &&
               (std::isalpha(static_cast<unsigned char>(s[pos + 1])) ||
                (s[pos + 1] == '/' && pos + 2 < s.size() &&
                 std::isalpha(static_cast<unsigned char>(s[pos + 2]))))) {
      // Some other tag: skip its name and attributes, so that a ">" or "<meta"
      // inside a quoted attribute value is not taken for markup.
      pos = s.find_first_of(" \t\n\f\r/>", pos + 1);
      if (pos == std::string_view::npos) break;
      while (next_attribute(s, pos)) {
      }
    } else if (s.substr(pos, 2) == "<!" || s.substr(pos, 2) == "</" || s.substr(pos, 2) == "<?") {
      pos = s.find('>', pos + 2);
      if (pos == std::string_view::npos) break;
    } else {
      ++pos;
    }
  }
  return std::nullopt;
}

SniffedEncoding sniff_encoding(std::string_view body, std::string_view content_type) {
  if (body.substr(0, 3) == "\xEF\xBB\xBF") return {"UTF-8", 3};
  if (body.substr(0, 2) == "\xFE\xFF") return {"UTF-16BE", 2};
  if (body.substr(0, 2) == "\xFF\xFE") return {"UTF-16LE", 2};
  if (const auto label = charset_parameter(content_type)) {
    if (const auto encoding = encoding_for_label(*label)) return {*encoding, 0};
  }
  if (const auto encoding = meta_charset(body)) return {*encoding, 0};
  return {"UTF-8", 0};
}

std::string decode(std::string_view body, std::string_view encoding) {
  if (encoding == "UTF-8") {
    if (text::is_valid_utf8(body)) return std::string(body);
    return text::sanitize_utf8(body);
  }
  const Converter source = open_converter(icu_converter_name(encoding));
  const Converter target = open_converter("UTF-8");
  if (!source || !target) return text::sanitize_utf8(body);
  UErrorCode error = U_ZERO_ERROR;
  ucnv_setToUCallBack(source.get(), replace_with_fffd, nullptr, nullptr, nullptr, &error);

  std::string out;
  out.reserve(body.size() + body.size() / 2);
  std::array<UChar, 4096> pivot{};
  UChar* pivot_source = pivot.data();
  UChar* pivot_target = pivot.data();
  std::array<char, 16384> buffer{};
  const char* in = body.data();
  const char* const in_end = body.data() + body.size();
  bool reset = true;
  for (;;) {
    char* write = buffer.data();
    error = U_ZERO_ERROR;
    ucnv_convertEx(target.get(), source.get(), &write, buffer.data() + buffer.size(), &in, in_end,
                   pivot.data(), &pivot_source, &pivot_target, pivot.data() + pivot.size(), reset,
                   /*flush=*/true, &error);
    reset = false;
    out.append(buffer.data(), static_cast<std::size_t>(write - buffer.data()));
    if (error != U_BUFFER_OVERFLOW_ERROR) break;
  }
  // The converters only fail on their own bugs; whatever came out is valid.
  if (U_FAILURE(error)) return text::sanitize_utf8(body);
  return out;
}

std::string decode_page(std::string body, std::string_view content_type) {
  const SniffedEncoding sniffed = sniff_encoding(body, content_type);
  if (sniffed.encoding == "UTF-8" && text::is_valid_utf8(std::string_view(body).substr(sniffed.bom_length))) {
    body.erase(0, sniffed.bom_length);
    return body;
  }
  return decode(std::string_view(body).substr(sniffed.bom_length), sniffed.encoding);
}

}  // namespace korvane::core::detail
