// The report's style sheet and script: constants, so the page's
// Content-Security-Policy can name them by their SHA-256 hashes, computed
// once.
//
// The script reads the items from the page's JSON data block and builds the
// cards of the page shown with DOM calls: texts go in only as text
// (textContent, alt, title), links and image sources only when they are
// http(s) links, class names only from the keys it knows. It never writes
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
.filters .search { flex: 1 1 16em; }
.filters input[type=search] { width: 100%; height: auto; font: inherit; font-size: .9rem; padding: 4px 8px; color: var(--fg); }
.note { margin: 0 0 14px; padding: 10px 12px; color: var(--muted); background: var(--panel); border: 1px solid var(--line); border-radius: 8px; }
.pager { display: flex; flex-wrap: wrap; justify-content: center; align-items: center; gap: 8px; margin-top: 16px; }
.pager button, .pager input { font: inherit; font-size: .9rem; padding: 4px 10px; color: var(--fg); }
.pager input { width: 5.5em; }
.pager span { color: var(--muted); }
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
.count { color: var(--muted); font-size: .85rem; }
.offers { display: flex; flex-direction: column; gap: 6px; margin: 0; padding: 0; list-style: none; font-size: .85rem; }
.offers li { display: flex; flex-wrap: wrap; align-items: center; gap: 2px 8px; padding-top: 6px; border-top: 1px solid var(--soft); }
.o-price { font-weight: 700; font-variant-numeric: tabular-nums; }
.o-price.none, .o-note { color: var(--muted); font-weight: 400; }
.o-note { font-size: .78rem; }
.offers .link { flex-basis: 100%; margin: 0; padding: 0; }
.more { align-self: start; font: inherit; font-size: .85rem; padding: 3px 10px; color: var(--fg); }
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
  .filters output, .filters .search { grid-column: 1 / -1; margin-left: 0; }
  svg text { font-size: 16px; }
}
@media print {
  body { background: #fff; font-size: 11pt; }
  .filters, .pager, .more, .note, footer { display: none !important; }
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

// Cards per page: a page lays out in milliseconds whatever the size of the
// result, and 48 fills whole rows of 2, 3, 4 or 6 columns.
const PAGE_SIZE = 48;
// Offers a product card lists before its "Show all" button: enough to
// compare, few enough that a page of products stays light.
const OFFERS_SHOWN = 3;

const make = (tag, className, text) => {
  const el = document.createElement(tag);
  if (className) el.className = className;
  if (text !== undefined) el.textContent = text;
  return el;
};
// The page's data holds no other links; this is the second lock.
const isWeb = (url) => /^https?:/i.test(url);
const count = (n) => n.toLocaleString("en-US");
const counted = (n, one, many) => `${count(n)} ${n === 1 ? one : many}`;

// The page's data. `text(v)` is a text value (an index into the strings,
// or the text itself); `item(i)` builds item i as an object with its texts,
// for the cards shown only. What the filters compare is read once into
// typed arrays, so that a filter change touches no object; key texts
// (category, relevance, stock) are compared by their index, `code(key)`.
const readData = (data) => {
  const col = {};
  data.columns.forEach((name, i) => { col[name] = i; });
  const { strings, items: rows } = data;
  const n = rows.length;
  const text = (v) => (typeof v === "number" ? strings[v] : v);
  const item = (index) => {
    const r = rows[index];
    const t = (name) => text(r[col[name]]);
    return {
      index, title: t("title"), merchant: t("merchant"), brand: t("brand"), sku: t("sku"),
      amount: r[col.amount], price: t("price"), currency: t("currency"),
      category: t("category"), relevance: t("relevance"), stock: t("stock"), condition: t("condition"),
      page: t("page"), score: r[col.score], link: t("linkOrigin") + t("linkRest"), linkText: t("linkText"),
      image: t("imageOrigin") + t("imageRest"), fallback: t("fallback"), shipping: t("shipping"),
      source: t("source"), resolved: r[col.resolved] === 1, group: r[col.group],
    };
  };
  const group = new Int32Array(n), category = new Int32Array(n), relevance = new Int32Array(n);
  const stock = new Int32Array(n), amount = new Float64Array(n);
  let groups = 0;
  for (let i = 0; i < n; i++) {
    const r = rows[i];
    group[i] = r[col.group];
    category[i] = r[col.category];
    relevance[i] = r[col.relevance];
    stock[i] = r[col.stock];
    amount[i] = r[col.amount] === null ? NaN : r[col.amount];
    groups = Math.max(groups, group[i] + 1);
  }
  const groupSize = new Int32Array(groups);
  for (let i = 0; i < n; i++) groupSize[group[i]] += 1;
  const code = (key) => (key ? strings.indexOf(key) : -1);
  // Title, merchant, brand and SKU: what the search box looks at.
  const searchText = (i) => {
    const r = rows[i];
    return `${text(r[col.title])}\n${text(r[col.merchant])}\n${text(r[col.brand])}\n${text(r[col.sku])}`;
  };
  return { n, item, code, searchText, group, category, relevance, stock, amount, groups, groupSize };
};

// Every item's search text in lower case as one text, items apart by U+0001
// (which the data never holds), and where each item starts in it: a word is
// looked for by the browser's own text search over all items at once.
// `prepare()` makes it (once); `find(words)` gives a test of item i.
const textSearch = (n, searchText) => {
  // How much of the text tells which word is rarest: a few hundred items.
  const SAMPLE = 65536;
  let haystack = null;
  const starts = new Int32Array(n + 1);
  const holding = new Int32Array(n);  // the search that last found item i to hold every word
  let searches = 0;
  const prepare = () => {
    if (haystack !== null) return;
    const parts = new Array(n);
    for (let i = 0; i < n; i++) parts[i] = searchText(i);
    haystack = parts.join("\u0001").toLowerCase();
    for (let i = 1, at = -1; i <= n; i++) {
      at = i < n ? haystack.indexOf("\u0001", at + 1) : haystack.length;
      starts[i] = at + 1;
    }
  };
  const occurrences = (word) => {
    let count = 0;
    for (let at = haystack.indexOf(word); at !== -1 && at < SAMPLE; at = haystack.indexOf(word, at + word.length)) count += 1;
    return count;
  };
  // The items of `candidates` (in order) whose text holds `word`: each look
  // goes from a candidate to the word's next place, passing the candidates
  // before it.
  const keep = (candidates, word) => {
    const kept = [];
    for (let k = 0; k < candidates.length;) {
      const at = haystack.indexOf(word, starts[candidates[k]]);
      if (at === -1) break;
      while (k < candidates.length && starts[candidates[k] + 1] <= at) k += 1;
      if (k < candidates.length && starts[candidates[k]] <= at) kept.push(candidates[k++]);
    }
    return kept;
  };
  const find = (words) => {
    prepare();
    // The rarest word first: every other word is then looked for only in
    // the items that hold it.
    const [first, ...rest] = words.map((w) => [occurrences(w), w]).sort((a, b) => a[0] - b[0]).map((e) => e[1]);
    let candidates = [];
    for (let at = haystack.indexOf(first), i = 0; at !== -1; at = haystack.indexOf(first, starts[i + 1])) {
      while (starts[i + 1] <= at) i += 1;
      candidates.push(i);
    }
    for (const word of rest) candidates = keep(candidates, word);
    searches += 1;
    for (const i of candidates) holding[i] = searches;
    const stamp = searches;
    return (i) => holding[i] === stamp;
  };
  return { prepare, find };
};

// The items in each order of the sort control, made when first asked for:
// priced items by price (ties in result order), unpriced ones last.
// `byPrice`: the priced items from the lowest price up, as the page's data
// gives them (sorted where the page was written), so that no order needs a
// sort here.
const sortOrders = (amount, byPrice) => {
  const n = amount.length;
  const unpricedAfter = (o, k) => {
    for (let i = 0; i < n; i++) if (Number.isNaN(amount[i])) o[k++] = i;
    return o;
  };
  const make = {
    result: () => new Int32Array(n).map((_, i) => i),
    "price-up": () => {
      const o = new Int32Array(n);
      o.set(byPrice);
      return unpricedAfter(o, byPrice.length);
    },
    // The runs of equal prices from the highest down, each run in result order.
    "price-down": () => {
      const o = new Int32Array(n);
      let k = 0;
      for (let end = byPrice.length; end > 0;) {
        let start = end - 1;
        while (start > 0 && amount[byPrice[start - 1]] === amount[byPrice[end - 1]]) start -= 1;
        for (let j = start; j < end; j++) o[k++] = byPrice[j];
        end = start;
      }
      return unpricedAfter(o, k);
    },
  };
  const orders = {};
  return (sort) => {
    const wanted = Object.prototype.hasOwnProperty.call(make, sort) ? sort : "result";
    if (!orders[wanted]) orders[wanted] = make[wanted]();
    return orders[wanted];
  };
};

// Cards built from items with the page's own markup; texts only ever as text.
const cardMaker = (labels) => {
  const known = (field, key) => Object.prototype.hasOwnProperty.call(labels[field], key);
  const word = (field, key) => (known(field, key) ? labels[field][key] : "");
  const badge = (prefix, field, key) => make("span", `badge ${prefix}${known(field, key) ? key : "none"}`, word(field, key));

  const figure = (item) => {
    const fig = make("figure", "ph");
    if (!isWeb(item.image)) return fig;
    const img = make("img");
    img.alt = item.title;
    img.loading = "lazy";
    img.decoding = "async";
    img.referrerPolicy = "no-referrer";
    img.width = 400;
    img.height = 300;
    if (isWeb(item.fallback)) img.dataset.fallback = item.fallback;
    img.src = item.image;
    fig.append(img);
    return fig;
  };
  const priced = (item) => `${item.price} ${item.currency}`;
  const link = (item) => {
    const p = make("p", "link");
    if (isWeb(item.link)) {
      const a = make("a", "", item.linkText);
      a.href = item.link;
      a.rel = "noopener noreferrer";
      a.target = "_blank";
      a.title = item.link;
      p.append(a);
      if (item.resolved) p.append(" ", make("span", "resolved", "\u2713 direct store link"));
    } else if (!item.linkText) {
      p.append(make("span", "bad", "no link"));
    } else {
      const bad = make("span", "bad", item.linkText);
      bad.title = "Not opened: not an http or https link";
      p.append(bad);
    }
    return p;
  };
  const facts = (pairs) => {
    const dl = make("dl", "facts");
    for (const [name, value] of pairs) if (value) dl.append(make("dt", "", name), make("dd", "", value));
    return dl;
  };
  const merchant = (item, className) => {
    const p = make(className === "merchant" ? "p" : "span", className, item.merchant || "Unknown merchant");
    p.append(" ", badge("k-", "category", item.category));
    return p;
  };

  const itemCard = (item) => {
    const card = make("article", "card");
    Object.assign(card.dataset, { index: item.index, category: item.category, relevance: item.relevance, stock: item.stock });
    if (item.amount !== null) card.dataset.price = item.amount;
    const body = make("div", "body");
    const tags = make("p", "tags");
    tags.append(badge("r-", "relevance", item.relevance), ` ${item.score}% match`);
    body.append(make("h3", "", item.title),
      item.amount === null ? make("p", "price none", "No price") : make("p", "price", priced(item)),
      merchant(item, "merchant"), tags,
      facts([["Page", word("page", item.page)], ["Stock", word("stock", item.stock)],
        ["Condition", word("condition", item.condition)], ["Brand", item.brand], ["SKU", item.sku],
        ["Shipping", item.shipping]]),
      link(item));
    card.append(figure(item), body);
    return card;
  };

  // Lowest to highest price per currency, the most used currency first.
  const priceRange = (members) => {
    const ranges = new Map();
    for (const m of members) {
      if (m.amount === null) continue;
      const r = ranges.get(m.currency);
      if (!r) {
        ranges.set(m.currency, { low: m, high: m, n: 1 });
      } else {
        if (m.amount < r.low.amount) r.low = m;
        if (m.amount > r.high.amount) r.high = m;
        r.n += 1;
      }
    }
    if (ranges.size === 0) return make("p", "price none", "No price");
    const parts = Array.from(ranges.values()).sort((a, b) => b.n - a.n).map((r) =>
      (r.low.amount === r.high.amount ? priced(r.low) : `${r.low.price} \u2013 ${priced(r.high)}`));
    return make("p", "price", parts.join(" \u00b7 "));
  };
  const offerRow = (item) => {
    const li = make("li");
    li.dataset.index = item.index;
    li.append(item.amount === null ? make("span", "o-price none", "No price") : make("span", "o-price", priced(item)),
      merchant(item, "o-merchant"));
    if (known("stock", item.stock) && item.stock !== "none") li.append(make("span", "o-note", word("stock", item.stock)));
    li.append(make("span", "o-note", item.source === "shopping" ? "shopping offer"
      : item.source === "lens" ? "visual match" : item.source), link(item));
    return li;
  };
  // A product's card: its offers that pass the filters (`members`, of `size`).
  const groupCard = (members, size, open) => {
    const first = members[0];
    const card = make("article", "card group");
    Object.assign(card.dataset, { index: first.index, group: first.group, items: members.length });
    const body = make("div", "body");
    const withBrand = members.find((m) => m.brand);
    const withSku = members.find((m) => m.sku);
    const list = make("ol", "offers");
    for (const m of open ? members : members.slice(0, OFFERS_SHOWN)) list.append(offerRow(m));
    body.append(make("h3", "", first.title), priceRange(members),
      make("p", "count", members.length === size ? counted(size, "offer", "offers") : `${count(members.length)} of ${counted(size, "offer", "offers")}`),
      facts([["Brand", withBrand && withBrand.brand], ["SKU", withSku && withSku.sku]]), list);
    if (!open && members.length > OFFERS_SHOWN) {
      const more = make("button", "more", `Show all ${count(members.length)} offers`);
      more.type = "button";
      more.dataset.group = first.group;
      body.append(more);
    }
    card.append(figure(members.find((m) => isWeb(m.image)) || first), body);
    return card;
  };
  return { itemCard, groupCard };
};

// The view: which items pass the filters, in the order shown, on which page,
// one card per item or per product.
const makeView = (data, grid, pager, shown, none) => {
  const d = readData(data);
  const { itemCard, groupCard } = cardMaker(data.labels);
  const words = textSearch(d.n, d.searchText);
  const orderOf = sortOrders(d.amount, data.byPrice);
  const inStock = d.code("in_stock");
  const pageInput = pager.querySelector("input[name=page]");
  const pagesText = document.getElementById("pages");
  const expanded = new Set();
  // The items that pass, in the order shown; the products in the order of
  // their first such item.
  const matches = new Int32Array(d.n);
  const firstSeen = new Int32Array(d.groups).fill(-1);  // the update that last saw the product
  const productOrder = new Int32Array(d.groups);
  let matching = 0, products = 0, updates = 0, grouped = true, page = 0;
  const cardCount = () => (grouped ? products : matching);

  // The members of the products from..to of the order, each in the order
  // shown: [product, items] pairs.
  const onPage = new Int32Array(d.groups).fill(-1);  // a product's place on the page shown
  const membersOf = (from, to) => {
    const members = [];
    for (let k = from; k < to; k++) {
      onPage[productOrder[k]] = members.length;
      members.push([productOrder[k], []]);
    }
    for (let k = 0; k < matching; k++) {
      const slot = onPage[d.group[matches[k]]];
      if (slot !== -1) members[slot][1].push(d.item(matches[k]));
    }
    for (const [g] of members) onPage[g] = -1;
    return members;
  };

  const render = () => {
    const pages = Math.max(1, Math.ceil(cardCount() / PAGE_SIZE));
    page = Math.min(Math.max(page, 0), pages - 1);
    const from = page * PAGE_SIZE, to = Math.min(from + PAGE_SIZE, cardCount());
    const fragment = document.createDocumentFragment();
    if (!grouped) {
      for (let k = from; k < to; k++) fragment.append(itemCard(d.item(matches[k])));
    } else {
      for (const [g, list] of membersOf(from, to)) {
        const size = d.groupSize[g];
        fragment.append(size === 1 ? itemCard(list[0]) : groupCard(list, size, expanded.has(g)));
      }
    }
    grid.replaceChildren(fragment);
    pager.hidden = pages === 1;
    pageInput.max = pages;
    pageInput.value = page + 1;
    pagesText.textContent = `of ${count(pages)}`;
    for (const button of pager.querySelectorAll("button")) {
      const back = button.dataset.go === "first" || button.dataset.go === "prev";
      button.disabled = back ? page === 0 : page === pages - 1;
    }
  };

  // `want`: the controls' values. Shows the first page of what passes.
  const update = (want) => {
    const category = d.code(want.category), relevance = d.code(want.relevance);
    const terms = want.query.toLowerCase().split(/\s+/).filter(Boolean);
    const holds = terms.length > 0 ? words.find(terms) : null;
    const order = orderOf(want.sort);
    grouped = want.grouped;
    updates += 1;
    matching = 0;
    products = 0;
    for (let k = 0; k < d.n; k++) {
      const i = order[k];
      if ((category !== -1 && d.category[i] !== category) || (relevance !== -1 && d.relevance[i] !== relevance) ||
          (want.inStock && d.stock[i] !== inStock) || (want.priced && Number.isNaN(d.amount[i])) ||
          (holds && !holds(i))) continue;
      matches[matching++] = i;
      const g = d.group[i];
      if (firstSeen[g] !== updates) {
        firstSeen[g] = updates;
        productOrder[products++] = g;
      }
    }
    const of = matching === d.n ? `all ${counted(d.n, "item", "items")}` : `${count(matching)} of ${counted(d.n, "item", "items")}`;
    shown.textContent = grouped ? `${counted(products, "product", "products")} (${of})` : of[0].toUpperCase() + of.slice(1);
    shown.dataset.items = matching;
    shown.dataset.cards = cardCount();
    none.hidden = matching > 0;
    page = 0;
    render();
  };

  const turn = (to) => {
    page = to;
    render();
  };
  const lastPage = () => Math.ceil(cardCount() / PAGE_SIZE) - 1;
  const expand = (g) => {
    expanded.add(g);
    render();
  };
  return { update, turn, lastPage, page: () => page, expand, prepareSearch: words.prepare };
};

document.addEventListener("DOMContentLoaded", () => {
  const form = document.getElementById("filters");
  const grid = document.getElementById("grid");
  const source = document.getElementById("report-data");
  const pager = document.getElementById("pager");
  if (!form || !grid || !source || !pager) return;
  const view = makeView(JSON.parse(source.textContent), grid, pager, document.getElementById("shown"),
    document.getElementById("none-shown"));
  const controls = form.elements;
  const update = () => view.update({
    category: controls.category.value, relevance: controls.relevance.value, inStock: controls.instock.checked,
    priced: controls.priced.checked, query: controls.q.value, sort: controls.sort.value,
    grouped: controls.group.checked,
  });
  const turn = (to) => {
    view.turn(to);
    if (form.getBoundingClientRect().top < 0) form.scrollIntoView();
  };
  pager.addEventListener("click", (event) => {
    const button = event.target.closest("button[data-go]");
    if (!button) return;
    const page = view.page();
    turn({ first: 0, prev: page - 1, next: page + 1, last: view.lastPage() }[button.dataset.go]);
  });
  pager.querySelector("input[name=page]").addEventListener("change", (event) => turn(Number(event.target.value) - 1 || 0));
  grid.addEventListener("click", (event) => {
    const more = event.target.closest("button.more");
    if (more) view.expand(Number(more.dataset.group));
  });
  form.addEventListener("input", (event) => { if (event.target === controls.q) update(); });
  form.addEventListener("change", (event) => { if (event.target !== controls.q) update(); });
  form.addEventListener("reset", () => setTimeout(update));
  form.addEventListener("submit", (event) => event.preventDefault());
  const note = document.getElementById("static-note");
  if (note) note.hidden = true;
  form.hidden = false;
  update();
  // Now rather than at the first search, which then takes milliseconds
  // however soon it comes.
  view.prepareSearch();
});
)js";

}  // namespace korvane::report::detail
