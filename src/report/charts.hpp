// The report's charts as inline SVG: a price strip per currency and small
// horizontal bar charts.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace korvane::report::detail {

// One priced item on a strip.
struct PricePoint {
  double amount = 0.0;
  std::string_view title;   // untrusted
};

// Appends a <figure> with a strip of `points` (all in `currency`, not
// empty) on a linear price axis: the interquartile box, the median, every
// point a mark with its title and price as tooltip; points beyond 1.5
// interquartile ranges from the box are marked as outliers. With more than
// a few hundred points, bars counting the points of each stretch of the
// axis stand for the marks (outliers marked the same way).
void append_price_strip(std::string& out, std::string_view currency, std::span<const PricePoint> points);

// One bar: a label, a count and the CSS class that colours it.
struct Bar {
  std::string_view label;
  std::size_t count = 0;
  std::string_view css_class;
};

// Appends a <figure> captioned `caption` with one bar per entry of `bars`
// (not empty), lengths proportional to the counts.
void append_bar_chart(std::string& out, std::string_view caption, std::span<const Bar> bars);

}  // namespace korvane::report::detail
