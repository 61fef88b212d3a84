#!/bin/sh
# The parse subcommand: a page file, standard input, and --jsonl.
# Usage: cli_parse_test.sh PATH-TO-korvane-commerce
set -u
bin="$1"
failures=0
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

expect() {  # expect NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

padding=$(printf '%0200d' 0)
cat > "$dir/page.html" <<HTML
<html><head><title>Ignored</title>
<script type="application/ld+json">{"@type":"Product","name":"Trail Shoe","sku":"TS-1","brand":"Acme",
"offers":{"price":"89.90","priceCurrency":"EUR","availability":"https://schema.org/InStock"}}</script>
</head><body><!-- $padding --></body></html>
HTML

expect "parse file" '{
  "title": "Trail Shoe",
  "merchant_name": "Shop",
  "brand": "Acme",
  "sku": "TS-1",
  "price": {
    "raw": "89.90 EUR",
    "amount": 89.9,
    "currency": "EUR"
  },
  "stock_status": "in_stock",
  "condition": null,
  "primary_image_url": null,
  "shipping_info": null,
  "page_type": "product",
  "match_score": 95,
  "fetch_source": "ld_json"
}' "$("$bin" parse "$dir/page.html" --url https://shop.example/p/1 --merchant Shop --rank 2)"

expect "parse stdin" '"fetch_source": "serp_fallback"' \
  "$(printf 'short' | "$bin" parse - --url https://shop.example/x --title 'Blue Shoe' --price '$20' \
       --currency EUR --out-of-stock | grep fetch_source | sed 's/^ *//')"

expect "parse search-result price" '"raw": "20.00 USD",' \
  "$(printf '' | "$bin" parse - --url https://shop.example/x --price '$20' --currency EUR | grep '"raw"' | sed 's/^ *//')"

"$bin" parse "$dir/missing.html" --url https://shop.example/x >/dev/null 2>&1
expect "parse missing file status" "1" "$?"
expect "parse a folder" "korvane-commerce: $dir: is a directory, not a file" \
  "$("$bin" parse "$dir" --url https://shop.example/x 2>&1)"
printf '' | "$bin" parse - --url https://shop.example/x --rank 0 >/dev/null 2>&1
expect "parse rank below 1 is a usage error" "2" "$?"
refused() {  # refused NAME COMMAND...: the command must fail
  name="$1"
  shift
  if "$@" >/dev/null 2>&1; then
    echo "FAIL $name"
    failures=$((failures + 1))
  fi
}
refused "parse without url" "$bin" parse "$dir/page.html"
refused "stock flags exclude each other" "$bin" parse "$dir/page.html" --url u --in-stock --out-of-stock
refused "currency needs a price" "$bin" parse "$dir/page.html" --url u --currency EUR

# --extended and the "extended" request key: a price and SKU only microdata
# element text states, with no currency anywhere on the page.
cat > "$dir/microdata.html" <<HTML
<html><head><title>Lamp</title></head><body><h1>Desk Lamp</h1>
<span itemprop="price">24.50</span> <span itemprop="sku">LMP-7</span>
<button class="add-to-cart">Add to cart</button><!-- $padding --></body></html>
HTML
expect "parse --extended" '  "price": {
    "raw": "24.50",
    "amount": 24.5,
    "currency": ""
  },' "$("$bin" parse "$dir/microdata.html" --url https://shop.example/lamp --extended | sed -n '/"price"/,/},/p')"
expect "parse without --extended" '"price": null,' \
  "$("$bin" parse "$dir/microdata.html" --url https://shop.example/lamp | grep '"price"' | sed 's/^ *//')"
expect "parse jsonl extended key" '"LMP-7"
null
"LMP-7"' "$(printf '%s\n' \
  "{\"html_file\": \"$dir/microdata.html\", \"direct_url\": \"https://shop.example/lamp\", \"extended\": true}" \
  "{\"html_file\": \"$dir/microdata.html\", \"direct_url\": \"https://shop.example/lamp\"}" |
  "$bin" parse --jsonl | sed 's/.*"sku":\([^,]*\),.*/\1/'
  printf '%s\n' "{\"html_file\": \"$dir/microdata.html\", \"direct_url\": \"https://shop.example/lamp\"}" |
  "$bin" parse --jsonl --extended | sed 's/.*"sku":\([^,]*\),.*/\1/')"

actual=$("$bin" parse --jsonl <<JSONL
{"html_file": "$dir/page.html", "direct_url": "https://www.amazon.com/dp/1", "rank": 3}
{"html": null, "direct_url": "https://www.instagram.com/p/1", "initial_title": "Post", "initial_stock": true}
{"html": "x", "direct_url": "https://shop.example/x", "initial_title": "Lamp", "initial_price": {"raw": "9", "amount": 9, "currency": "GBP"}, "initial_stock": false}
{"direct_url": "https://[::1/x", "initial_merchant": "M"}
{"html": "x", "html_file": "y", "direct_url": "u"}
{"html_file": "$dir/missing.html", "direct_url": "u"}
{"direct_url": 5}
{"direct_url": "u", "initial_price": {"amount": -1, "raw": "", "currency": ""}}
{"direct_url": "u", "rank": 1e3}
JSONL
)
expect "parse jsonl" '{"result":{"title":"Trail Shoe","merchant_name":"amazon.com","brand":"Acme","sku":"TS-1","price":{"raw":"89.90 EUR","amount":89.9,"currency":"EUR"},"stock_status":"in_stock","condition":null,"primary_image_url":null,"shipping_info":null,"page_type":"marketplace","match_score":92,"fetch_source":"ld_json"}}
{"result":{"title":"Post","merchant_name":"instagram.com","brand":null,"sku":null,"price":null,"stock_status":null,"condition":null,"primary_image_url":null,"shipping_info":null,"page_type":"social","match_score":98,"fetch_source":"serp_fallback"}}
{"result":{"title":"Lamp","merchant_name":"shop.example","brand":null,"sku":null,"price":{"raw":"9.00 GBP","amount":9.0,"currency":"GBP"},"stock_status":"out_of_stock","condition":null,"primary_image_url":null,"shipping_info":null,"page_type":"product","match_score":98,"fetch_source":"serp_fallback"}}
{"result":{"title":"","merchant_name":"M","brand":null,"sku":null,"price":null,"stock_status":null,"condition":null,"primary_image_url":null,"shipping_info":null,"page_type":"uncategorized","match_score":98,"fetch_source":"serp_fallback"}}
{"error":"give \"html\" or \"html_file\", not both"}
{"error":"'"$dir"'/missing.html: cannot open the file (No such file or directory)"}
{"error":"member \"direct_url\" must be a string"}
{"error":"price amount must not be negative"}
{"error":"member \"rank\" must be an integer or null"}' "$actual"

[ "$failures" -eq 0 ] || exit 1
echo "all CLI checks passed"
