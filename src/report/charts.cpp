#include "report/charts.hpp"

#include "report/markup.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace korvane::report::detail {

namespace {

// The strip's drawing area, in SVG user units.
constexpr double STRIP_WIDTH = 480;
constexpr double STRIP_HEIGHT = 100;
constexpr double STRIP_LEFT = 14;
constexpr double STRIP_RIGHT = STRIP_WIDTH - 14;
constexpr double STRIP_MIDDLE = 44;  // vertical centre of the marks
constexpr double STRIP_AXIS = 74;

// The quantile `p` of sorted `v` (linear interpolation between ranks).
double quantile(const std::vector<double>& v, double p) {
  const double h = static_cast<double>(v.size() - 1) * p;
  const auto below = static_cast<std::size_t>(std::floor(h));
  const std::size_t above = std::min(below + 1, v.size() - 1);
  return v[below] + (h - std::floor(h)) * (v[above] - v[below]);
}

// A round step (1, 2 or 5 times a power of ten) giving about five ticks.
double tick_step(double span) {
  const double raw = span / 5.0;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  const double factor = norm < 1.5 ? 1.0 : norm < 3.0 ? 2.0 : norm < 7.0 ? 5.0 : 10.0;
  return factor * magnitude;
}

std::string tick_label(double value, double step) {
  std::string text = format_amount(value);
  if (step >= 1.0 && text.ends_with(".00")) text.resize(text.size() - 3);
  return text;
}

// The vertical offset of each mark (for `xs` in increasing order): marks
// that would touch go to the next free row above or below the middle, so
// that equal prices pile up instead of hiding each other. When every row is
// taken at that point, the row with the most room is shared.
std::vector<double> swarm_offsets(const std::vector<double>& xs, double spacing) {
  constexpr std::array<double, 7> rows = {0, -7, 7, -14, 14, -21, 21};
  std::array<double, rows.size()> last_x{};
  last_x.fill(-1e300);
  std::vector<double> offsets;
  offsets.reserve(xs.size());
  for (const double x : xs) {
    std::size_t row = 0;
    while (row < rows.size() && x - last_x[row] < spacing) ++row;
    if (row == rows.size()) row = static_cast<std::size_t>(std::min_element(last_x.begin(), last_x.end()) - last_x.begin());
    last_x[row] = x;
    offsets.push_back(rows[row]);
  }
  return offsets;
}

void append_number_attribute(std::string& out, std::string_view name, double value) {
  out.append(" ").append(name).append("=\"").append(format_coordinate(value)).append("\"");
}

// The spread of one currency's prices.
struct Spread {
  double low = 0, q1 = 0, median = 0, q3 = 0, high = 0;
  bool fenced = false;  // enough prices for quartiles to mean something

  explicit Spread(std::span<const PricePoint> points) {
    std::vector<double> sorted;
    sorted.reserve(points.size());
    for (const auto& p : points) sorted.push_back(p.amount);
    std::sort(sorted.begin(), sorted.end());
    low = sorted.front();
    high = sorted.back();
    q1 = quantile(sorted, 0.25);
    median = quantile(sorted, 0.5);
    q3 = quantile(sorted, 0.75);
    fenced = sorted.size() >= 4;
  }
  // Beyond Tukey's fences: 1.5 interquartile ranges below or above the box.
  [[nodiscard]] bool is_outlier(double v) const {
    return fenced && (v < q1 - 1.5 * (q3 - q1) || v > q3 + 1.5 * (q3 - q1));
  }
};

// Prices to x coordinates: the range of the prices with a little room on
// each side.
struct Scale {
  double from = 0, to = 1;

  explicit Scale(const Spread& s) {
    const double pad = s.high > s.low ? (s.high - s.low) * 0.04 : std::max(1.0, s.low * 0.1);
    from = std::max(0.0, s.low - pad);
    to = std::isfinite(s.high + pad) ? s.high + pad : s.high;
    if (!(to > from)) to = from + 1;
  }
  [[nodiscard]] double x(double v) const { return STRIP_LEFT + (v - from) / (to - from) * (STRIP_RIGHT - STRIP_LEFT); }
};

std::string strip_caption(std::string_view currency, std::size_t count, const Spread& s, std::size_t outliers) {
  std::string caption(currency);
  caption.append(": ").append(format_count(count)).append(count == 1 ? " price" : " prices");
  if (s.high > s.low) {
    caption.append(" from ").append(format_amount(s.low)).append(" to ").append(format_amount(s.high));
    caption.append(", median ").append(format_amount(s.median));
  } else {
    caption.append(", all ").append(format_amount(s.low));
  }
  if (outliers > 0) caption.append("; ").append(format_count(outliers)).append(outliers == 1 ? " outlier" : " outliers");
  return caption;
}

void append_axis(std::string& out, const Scale& scale) {
  out.append("<line class=\"axis\"");
  append_number_attribute(out, "x1", STRIP_LEFT);
  append_number_attribute(out, "x2", STRIP_RIGHT);
  append_number_attribute(out, "y1", STRIP_AXIS);
  append_number_attribute(out, "y2", STRIP_AXIS);
  out.append("/>");
  const double step = tick_step(scale.to - scale.from);
  const double first = std::ceil(scale.from / step) * step;
  // Counted, not accumulated: at large amounts adding the step may not
  // change the value at all.
  for (int k = 0; k <= 12 && std::isfinite(first); ++k) {
    const double t = first + step * k;
    if (t > scale.to + step * 1e-9) break;
    out.append("<line class=\"axis\"");
    append_number_attribute(out, "x1", scale.x(t));
    append_number_attribute(out, "x2", scale.x(t));
    append_number_attribute(out, "y1", STRIP_AXIS);
    append_number_attribute(out, "y2", STRIP_AXIS + 4);
    out.append("/><text class=\"tick\"");
    append_number_attribute(out, "x", scale.x(t));
    append_number_attribute(out, "y", STRIP_AXIS + 18);
    out.append(">").append(tick_label(t, step)).append("</text>");
  }
}

// The interquartile box and the median line with its value.
void append_box(std::string& out, const Spread& s, const Scale& scale) {
  out.append("<rect class=\"box\"");
  append_number_attribute(out, "x", scale.x(s.q1));
  append_number_attribute(out, "y", STRIP_MIDDLE - 22);
  append_number_attribute(out, "width", std::max(1.0, scale.x(s.q3) - scale.x(s.q1)));
  append_number_attribute(out, "height", 44);
  out.append("/><line class=\"med\"");
  append_number_attribute(out, "x1", scale.x(s.median));
  append_number_attribute(out, "x2", scale.x(s.median));
  append_number_attribute(out, "y1", STRIP_MIDDLE - 26);
  append_number_attribute(out, "y2", STRIP_MIDDLE + 26);
  out.append("/><text class=\"tick\"");
  append_number_attribute(out, "x", std::clamp(scale.x(s.median), STRIP_LEFT + 45, STRIP_RIGHT - 45));
  append_number_attribute(out, "y", STRIP_MIDDLE - 30);
  out.append(">median ").append(format_amount(s.median)).append("</text>");
}

// One mark per item, from left to right, its price and title as tooltip.
void append_marks(std::string& out, std::string_view currency, std::span<const PricePoint> points, const Spread& s,
                  const Scale& scale) {
  std::vector<const PricePoint*> by_price;
  by_price.reserve(points.size());
  for (const auto& p : points) by_price.push_back(&p);
  std::stable_sort(by_price.begin(), by_price.end(), [](const auto* a, const auto* b) { return a->amount < b->amount; });
  std::vector<double> xs;
  xs.reserve(by_price.size());
  for (const auto* p : by_price) xs.push_back(scale.x(p->amount));
  const std::vector<double> offsets = swarm_offsets(xs, 8.5);
  for (std::size_t i = 0; i < by_price.size(); ++i) {
    const PricePoint& p = *by_price[i];
    const bool outlier = s.is_outlier(p.amount);
    out.append(outlier ? "<circle class=\"m out\"" : "<circle class=\"m\"");
    append_number_attribute(out, "cx", xs[i]);
    append_number_attribute(out, "cy", STRIP_MIDDLE + offsets[i]);
    out.append(outlier ? " r=\"5.5\"><title>" : " r=\"4\"><title>");
    out.append(format_amount(p.amount)).append(" ");
    append_text(out, currency);
    out.append(" \xE2\x80\x94 ");  // em dash
    append_text(out, p.title);
    out.append("</title></circle>");
  }
}

// Beyond this many prices a strip shows how many fall into each stretch of
// the axis instead of one mark per price: hundreds of overlapping marks are
// no longer readable, and tens of thousands would make the page heavy.
constexpr std::size_t MOST_MARKS = 400;
constexpr std::size_t BINS = 60;  // stretches of 7.5 units across the strip's 452
constexpr double TALLEST_BIN = 50;

// One bar per stretch of the axis that holds prices, its height in
// proportion to their number, marked as outliers when it holds one; the
// count and price range as tooltip.
void append_bins(std::string& out, std::string_view currency, std::span<const PricePoint> points, const Spread& s,
                 const Scale& scale) {
  struct Bin {
    std::size_t count = 0;
    double low = 0, high = 0;
    bool outlier = false;
  };
  std::array<Bin, BINS> bins{};
  const double width = (STRIP_RIGHT - STRIP_LEFT) / static_cast<double>(BINS);
  for (const auto& p : points) {
    const double at = std::floor((scale.x(p.amount) - STRIP_LEFT) / width);
    Bin& bin = bins[static_cast<std::size_t>(std::clamp(at, 0.0, static_cast<double>(BINS - 1)))];
    bin.low = bin.count == 0 ? p.amount : std::min(bin.low, p.amount);
    bin.high = bin.count == 0 ? p.amount : std::max(bin.high, p.amount);
    bin.outlier = bin.outlier || s.is_outlier(p.amount);
    ++bin.count;
  }
  std::size_t most = 1;
  for (const auto& bin : bins) most = std::max(most, bin.count);
  for (std::size_t i = 0; i < BINS; ++i) {
    const Bin& bin = bins[i];
    if (bin.count == 0) continue;
    const double height = std::max(2.0, TALLEST_BIN * static_cast<double>(bin.count) / static_cast<double>(most));
    out.append(bin.outlier ? "<rect class=\"m out\"" : "<rect class=\"m\"");
    append_number_attribute(out, "x", STRIP_LEFT + width * static_cast<double>(i));
    append_number_attribute(out, "y", STRIP_AXIS - 2 - height);
    append_number_attribute(out, "width", width - 1);
    append_number_attribute(out, "height", height);
    out.append("><title>").append(format_count(bin.count)).append(bin.count == 1 ? " price, " : " prices, ");
    out.append(format_amount(bin.low));
    if (bin.high > bin.low) out.append(" \xE2\x80\x93 ").append(format_amount(bin.high));
    out.append(" ");
    append_text(out, currency);
    out.append("</title></rect>");
  }
}

}  // namespace

void append_price_strip(std::string& out, std::string_view currency, std::span<const PricePoint> points) {
  const Spread spread(points);
  const Scale scale(spread);
  const auto outliers = static_cast<std::size_t>(std::count_if(
      points.begin(), points.end(), [&](const PricePoint& p) { return spread.is_outlier(p.amount); }));
  const std::string caption = strip_caption(currency, points.size(), spread, outliers);

  out.append("<figure class=\"strip\"><svg viewBox=\"0 0 ");
  out.append(format_coordinate(STRIP_WIDTH)).append(" ").append(format_coordinate(STRIP_HEIGHT));
  out.append("\" role=\"img\" aria-label=\"");
  append_attribute(out, caption);
  out.append("\">");
  append_axis(out, scale);
  append_box(out, spread, scale);
  if (points.size() > MOST_MARKS) {
    append_bins(out, currency, points, spread, scale);
  } else {
    append_marks(out, currency, points, spread, scale);
  }
  out.append("</svg><figcaption>");
  append_text(out, caption);
  out.append("</figcaption></figure>");
}

void append_bar_chart(std::string& out, std::string_view caption, std::span<const Bar> bars) {
  constexpr double width = 360;
  constexpr double row = 24;
  constexpr double label_width = 160;
  constexpr double longest_bar = 120;  // room after the longest bar for a count of six digits, also at the phone font size
  std::size_t most = 1;
  for (const auto& b : bars) most = std::max(most, b.count);

  out.append("<figure class=\"bars\"><svg viewBox=\"0 0 ").append(format_coordinate(width)).append(" ");
  out.append(format_coordinate(row * static_cast<double>(bars.size()) + 4));
  out.append("\" role=\"img\" aria-label=\"");
  append_attribute(out, caption);
  for (const auto& b : bars) {
    out.append(&b == bars.data() ? ": " : ", ");
    append_attribute(out, b.label);
    out.append(" ").append(format_count(b.count));
  }
  out.append("\">");
  double y = 2;
  for (const auto& b : bars) {
    const double length = std::max(2.0, longest_bar * static_cast<double>(b.count) / static_cast<double>(most));
    out.append("<text class=\"lbl\" x=\"0\"");
    append_number_attribute(out, "y", y + 15);
    out.append(">");
    append_text(out, b.label);
    out.append("</text><rect class=\"");
    append_attribute(out, b.css_class);
    out.append("\"");
    append_number_attribute(out, "x", label_width);
    append_number_attribute(out, "y", y + 4);
    append_number_attribute(out, "width", length);
    out.append(" height=\"14\" rx=\"3\"/><text class=\"num\"");
    append_number_attribute(out, "x", label_width + length + 6);
    append_number_attribute(out, "y", y + 15);
    out.append(">").append(format_count(b.count)).append("</text>");
    y += row;
  }
  out.append("</svg><figcaption>");
  append_text(out, caption);
  out.append("</figcaption></figure>");
}

}  // namespace korvane::report::detail
