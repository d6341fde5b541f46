#!/bin/bash
# Builds one language variant of the sample Quorvel product, exactly as the
# sample hotfix's patch was made from it: the code and name come from
# resources/sample/products.tsv, the rest from make-product.sh.
#
# Usage: sample-product.sh --quor PATH LANGUAGE VERSION OUTPUT [OPTIONS...]
#   LANGUAGE  the variant's language id in hexadecimal (0409, 0407, ...)
#   OPTIONS   more options of make-product.sh (--fail-on-patch, ...)
# Prints nothing; fails when the variant is not one the sample patch lists.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
table="$here/../../resources/sample/products.tsv"
code_head="7C4A19E2-6007"
code_tail="9B3D-4E81A6F25C07"

[ "${1:-}" = --quor ] && [ $# -ge 5 ] || {
  echo "usage: sample-product.sh --quor PATH LANGUAGE VERSION OUTPUT [OPTIONS...]" >&2
  exit 2
}
quor=$2 language=$3 version=$4 output=$5
shift 5

name=$(awk -F'\t' -v l="$language" '$1 == l { print $2 }' "$table")
[ -n "$name" ] || { echo "sample-product.sh: $language is not a variant of $table" >&2; exit 1; }
exec "$here/make-product.sh" --quor "$quor" "$@" "{$code_head-$language-$code_tail}" "$name" \
  "$((16#$language))" "$version" "$output"
