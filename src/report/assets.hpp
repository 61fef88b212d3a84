// The report's style sheet and script: constants, so the page's
// Content-Security-Policy can name them by their SHA-256 hashes, computed
// once.
//
// The script only reads the cards' data-* attributes: it never builds
// markup, so nothing from the data ever reaches a place where it could run.
#pragma once

#include <string_view>

namespace korvane::report::detail {

inline constexpr std::string_view STYLE = R"css(
:root {
  --fg: #1f2328; --muted: #59636e; --line: #d1d9e0; --bg: #f6f8fa; --panel: #fff; --soft: #eaeef2;
  --accent: #0969da; --outlier: #cf222e;
  --official: #1a7f37; --marketplace: #0969da; --reseller: #8250df; --unverified: #9a6700; --none: #6e7781;
}
* { box-sizing: border-box; }
[hidden] { display: none !important; }
html { -webkit-text-size-adjust: 100%; }
body {
  margin: 0; color: var(--fg); background: var(--bg);
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif;
}
a { color: var(--accent); }
:focus-visible { outline: 2px solid var(--accent); outline-offset: 2px; }
.top { background: var(--panel); border-bottom: 1px solid var(--line); }
.top, main { padding: 20px max(24px, calc((100% - 1280px) / 2)); }
h1 { margin: 0; font-size: 1.5rem; }
h2 { margin: 0 0 12px; font-size: 1.15rem; }
.sub { margin: 2px 0 0; color: var(--muted); }
.stats { display: grid; grid-template-columns: repeat(auto-fit, minmax(140px, 1fr)); gap: 10px; margin: 16px 0 0; }
.stats div { min-width: 0; background: var(--bg); border: 1px solid var(--line); border-radius: 8px; padding: 8px 12px; }
.stats dt { color: var(--muted); font-size: .75rem; text-transform: uppercase; letter-spacing: .04em; }
.stats dd { margin: 2px 0 0; font-size: 1.3rem; font-weight: 600; font-variant-numeric: tabular-nums; overflow-wrap: anywhere; }
.stats dd small { display: block; color: var(--muted); font-size: .8rem; font-weight: 400; }
section + section { margin-top: 28px; }
.charts { display: grid; grid-template-columns: repeat(auto-fit, minmax(300px, 1fr)); gap: 16px; }
figure { margin: 0; background: var(--panel); border: 1px solid var(--line); border-radius: 8px; padding: 12px; }
figure.strip { max-width: 640px; }
figure.bars svg { max-width: 420px; }
figcaption { margin-top: 6px; color: var(--muted); font-size: .875rem; overflow-wrap: anywhere; }
svg { display: block; width: 100%; height: auto; }
svg text { font: 12px system-ui, sans-serif; fill: var(--muted); }
svg .lbl { fill: var(--fg); }
svg .tick { text-anchor: middle; }
.axis { stroke: var(--line); stroke-width: 1; }
.box { fill: var(--soft); }
.med { stroke: var(--fg); stroke-dasharray: 3 2; }
.m { fill: var(--accent); fill-opacity: .55; }
.m.out { fill: var(--outlier); fill-opacity: .9; }
.k-official_brand { --k: var(--official); }
.k-major_marketplace { --k: var(--marketplace); }
.k-reseller_specialist { --k: var(--reseller); }
.k-unverified { --k: var(--unverified); }
.k-none { --k: var(--none); }
.k-page { --k: #57606a; }
rect[class^="k-"] { fill: var(--k); }
.r-exact_match { --k: #1a7f37; } .r-high { --k: #0969da; } .r-medium { --k: #9a6700; } .r-low, .r-none { --k: #6e7781; }
.filters {
  display: flex; flex-wrap: wrap; gap: 10px 16px; align-items: end; margin: 0 0 14px; padding: 12px;
  background: var(--panel); border: 1px solid var(--line); border-radius: 8px;
}
.filters label { display: flex; flex-direction: column; gap: 2px; font-size: .8rem; color: var(--muted); }
.filters label.check { flex-direction: row; align-items: center; gap: 6px; font-size: .9rem; color: var(--fg); }
.filters select, .filters button { font: inherit; font-size: .9rem; padding: 4px 8px; color: var(--fg); }
.filters select { min-width: 10em; }
.filters input { width: 1.1em; height: 1.1em; margin: 0; }
.filters output { margin-left: auto; color: var(--muted); font-size: .9rem; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(230px, 1fr)); gap: 16px; }
.card {
  display: flex; flex-direction: column; min-width: 0; overflow: hidden;
  background: var(--panel); border: 1px solid var(--line); border-radius: 10px;
  /* Cards out of view are not laid out: quick loading, filtering and sorting of large results. */
  content-visibility: auto; contain-intrinsic-size: auto 440px;
}
.card figure { border: 0; border-radius: 0; padding: 0; }
.ph {
  aspect-ratio: 4 / 3; display: grid; place-items: center; overflow: hidden; background: var(--soft)
  url("data:image/svg+xml,%3Csvg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 24 24' fill='none' stroke='%238c959f' stroke-width='1.5'%3E%3Crect x='3' y='4' width='18' height='16' rx='2'/%3E%3Ccircle cx='9' cy='10' r='2'/%3E%3Cpath d='M3 18l6-6 4 4 3-3 5 5'/%3E%3C/svg%3E")
  center / 44px no-repeat;
}
/* Transparent alt text: an image that fails without the script shows the placeholder, not its text. */
.ph img { width: 100%; height: 100%; object-fit: contain; color: transparent; }
.body { display: flex; flex-direction: column; gap: 6px; flex: 1; padding: 10px 12px 12px; overflow-wrap: anywhere; }
.body p { margin: 0; }
.card h3 {
  margin: 0; font-size: .95rem; line-height: 1.3; overflow-wrap: anywhere;
  display: -webkit-box; -webkit-line-clamp: 3; -webkit-box-orient: vertical; overflow: hidden;
}
.price { font-size: 1.2rem; font-weight: 700; font-variant-numeric: tabular-nums; }
.price.none { color: var(--muted); font-size: .95rem; font-weight: 400; }
.merchant { display: flex; flex-wrap: wrap; align-items: center; gap: 4px 8px; overflow-wrap: anywhere; }
.badge {
  display: inline-block; padding: 1px 7px; border-radius: 999px; font-size: .72rem; font-weight: 600;
  color: #fff; background: var(--k, var(--none)); white-space: nowrap;
}
.facts { display: grid; grid-template-columns: auto 1fr; gap: 1px 10px; margin: 0; font-size: .82rem; }
.facts dt { color: var(--muted); }
.facts dd { margin: 0; overflow-wrap: anywhere; }
.link { margin-top: auto; padding-top: 4px; font-size: .88rem; overflow-wrap: anywhere; }
.link .bad { color: var(--muted); font-family: ui-monospace, monospace; font-size: .8rem; }
.resolved { color: var(--official); font-size: .78rem; font-weight: 600; }
.empty { padding: 24px; text-align: center; color: var(--muted); }
footer { padding: 0 24px 24px; color: var(--muted); font-size: .8rem; text-align: center; }
@media (max-width: 600px) {
  body { font-size: 14px; }
  .top, main { padding: 14px 12px; }
  .stats { grid-template-columns: repeat(2, 1fr); }
  .charts { grid-template-columns: 1fr; }
  .grid { grid-template-columns: repeat(auto-fill, minmax(150px, 1fr)); gap: 10px; }
  .filters { display: grid; grid-template-columns: 1fr 1fr; align-items: center; }
  .filters select { width: 100%; min-width: 0; }
  .filters output { grid-column: 1 / -1; margin-left: 0; }
  svg text { font-size: 16px; }
}
@media print {
  body { background: #fff; font-size: 11pt; }
  .filters, footer { display: none !important; }
  .top { border: 0; }
  .top, main { padding: 0 0 12px; }
  figure, .card, .stats div { break-inside: avoid; }
  .ph { aspect-ratio: 16 / 9; }
  .grid { grid-template-columns: repeat(3, 1fr); gap: 8px; }
  .card { border-color: #999; content-visibility: visible; }
  .link a::after { content: " " attr(href); color: var(--muted); font-size: .75rem; }
  .badge { print-color-adjust: exact; -webkit-print-color-adjust: exact; }
}
)css";

inline constexpr std::string_view SCRIPT = R"js(
"use strict";
// An image that fails gives way to its fallback, then to the placeholder.
document.addEventListener("error", (event) => {
  const img = event.target;
  if (!(img instanceof HTMLImageElement)) return;
  const fallback = img.dataset.fallback;
  if (fallback) {
    delete img.dataset.fallback;
    img.src = fallback;
  } else {
    img.hidden = true;
  }
}, true);

document.addEventListener("DOMContentLoaded", () => {
  const form = document.getElementById("filters");
  const grid = document.getElementById("grid");
  if (!form || !grid) return;
  const cards = Array.from(grid.querySelectorAll("article[data-index]"), (el) => ({
    el,
    index: Number(el.dataset.index),
    category: el.dataset.category || "",
    relevance: el.dataset.relevance || "",
    inStock: el.dataset.stock === "in_stock",
    price: el.dataset.price === undefined ? null : Number(el.dataset.price),
  }));
  const controls = form.elements;
  const shown = document.getElementById("shown");
  const none = document.getElementById("none-shown");
  let order = "result";

  // Priced items by price (ties in result order), unpriced ones last.
  const byPrice = (sign) => (a, b) => {
    if (a.price === null || b.price === null) {
      return a.price === b.price ? a.index - b.index : a.price === null ? 1 : -1;
    }
    return sign * (a.price - b.price) || a.index - b.index;
  };
  const sorters = {
    result: (a, b) => a.index - b.index,
    "price-up": byPrice(1),
    "price-down": byPrice(-1),
  };

  const update = () => {
    const category = controls.category.value;
    const relevance = controls.relevance.value;
    const inStock = controls.instock.checked;
    const priced = controls.priced.checked;
    let count = 0;
    for (const card of cards) {
      const visible = (!category || card.category === category) &&
        (!relevance || card.relevance === relevance) &&
        (!inStock || card.inStock) && (!priced || card.price !== null);
      if (card.el.hidden === visible) card.el.hidden = !visible;
      if (visible) count += 1;
    }
    const wanted = controls.sort.value in sorters ? controls.sort.value : "result";
    if (wanted !== order) {
      order = wanted;
      const fragment = document.createDocumentFragment();
      for (const card of cards.slice().sort(sorters[order])) fragment.appendChild(card.el);
      grid.appendChild(fragment);
    }
    shown.textContent = count === cards.length ? `All ${count} items` : `${count} of ${cards.length} items`;
    none.hidden = count > 0 || cards.length === 0;
  };

  form.addEventListener("change", update);
  form.addEventListener("reset", () => setTimeout(update));
  form.addEventListener("submit", (event) => event.preventDefault());
  form.hidden = false;
  update();
});
)js";

}  // namespace korvane::report::detail
