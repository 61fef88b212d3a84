#!/bin/sh
# The classify and price subcommands, one argument at a time and --jsonl.
# Usage: cli_classify_test.sh PATH-TO-korvane-commerce
set -u
bin="$1"
failures=0

expect() {  # expect NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

expect "classify marketplace" "major_marketplace" "$("$bin" classify www.amazon.co.uk)"
expect "classify brand" "official_brand" "$("$bin" classify shop.nike.com --title 'Air Max 90' --brand Nike)"
expect "classify merchant" "official_brand" "$("$bin" classify gymshark.com --merchant Gymshark)"
expect "classify unverified" "unverified" "$("$bin" classify hm.com --brand 'H&M')"
expect "price dollars" "1299.99 USD" "$("$bin" price '$1,299.99')"
expect "price euro" "1299.99 EUR" "$("$bin" price '1.299,99 €')"
expect "price hint" "12.0 CHF" "$("$bin" price 12 --hint chf)"

"$bin" price 'no digits here' >/dev/null 2>&1
expect "price absent status" "1" "$?"

actual=$("$bin" classify --jsonl <<'JSONL'
{"domain": "stockx.com", "title": "Jordan 1"}
{"domain": "nike.com", "title": "", "brand": "Nike", "merchant_name": null}
{"domain": "nike.com", "title": "Air Max"}

{"domain": 7}
{"title": "no domain"}
not json
JSONL
)
expect "classify jsonl" '{"result":"reseller_specialist"}
{"result":"official_brand"}
{"result":"unverified"}
{"error":"line 4: empty line"}
{"error":"member \"domain\" must be a string"}
{"error":"missing member \"domain\""}
{"error":"line 7: invalid JSON: syntax error"}' "$actual"

actual=$("$bin" price --jsonl <<'JSONL'
{"raw": "$1,299.99", "hint": null}
{"raw": "12,50", "hint": "€"}
{"raw": "1.234.567"}
{"raw": null}
{"raw": "1\u00a0234,56 €"}
{"raw": ["x"]}
[1]
JSONL
)
expect "price jsonl" '{"result":{"raw":"$1,299.99","amount":1299.99,"currency":"USD"}}
{"result":{"raw":"12,50","amount":12.5,"currency":"EUR"}}
{"result":null}
{"result":null}
{"result":null}
{"error":"member \"raw\" must be a string or null"}
{"error":"line 7: expected a JSON object"}' "$actual"

# The extended reading, by flag or per line; the standard answers stay.
expect "price extended" "1299.0 EUR" "$("$bin" price --extended '1.299,- €')"
expect "price extended no currency" "19.99" "$("$bin" price --extended 19.99)"
actual=$("$bin" price --jsonl <<'JSONL'
{"raw": "1 234,56 €", "extended": true}
{"raw": "1 234,56 €"}
{"raw": "KWD 1.250", "extended": true}
{"raw": "40% OFF", "extended": true}
JSONL
)
expect "price jsonl extended" '{"result":{"raw":"1 234,56 €","amount":1234.56,"currency":"EUR"}}
{"result":null}
{"result":{"raw":"KWD 1.250","amount":1.25,"currency":"KWD"}}
{"result":null}' "$actual"

[ "$failures" -eq 0 ] || exit 1
echo "all CLI checks passed"
