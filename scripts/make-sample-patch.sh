#!/bin/bash
# Builds the sample hotfix's patch, resources/sample/sample.msp, and its
# description block, resources/sample/description.txt, from the sample
# products: every language variant of resources/sample/products.tsv at
# 5.2.0.0 (what machines have) and at 5.2.1.0 (what the hotfix brings; its
# quore.arx differs). The same inputs give the same bytes.
#
#   scripts/make-sample-patch.sh [--out DIR] [--quor PATH] [--make-patch PATH]
#   scripts/make-sample-patch.sh --check     rebuilds into a scratch folder and
#                                            fails unless it matches the files
#                                            in resources/sample
#
# --quor names the quor.exe the products install (default: the windows
# preset's; the patch does not depend on it, since quor.exe is the same in
# both versions). --make-patch names the patch builder (default: the host
# preset's, built when missing).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out_dir="$root/resources/sample"
quor="$root/build/windows/tests/tools/quor/quor.exe"
make_patch=""
check=no
while (($#)); do
  case $1 in
    --out) out_dir=${2:?--out needs a folder}; shift 2 ;;
    --quor) quor=${2:?--quor needs a path}; shift 2 ;;
    --make-patch) make_patch=${2:?--make-patch needs a path}; shift 2 ;;
    --check) check=yes; shift ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-sample-patch.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

patch_code="{D3F58B26-A41C-4E97-B062-91C7E5A83F14}"
product_name="Quorvel Professional Edition 2011"
hotfix_id="QF0523118"
old_version="5.2.0.0"
new_version="5.2.1.0"  # string 700 of the hotfix
author="Korvanta"
# The creation time written into the patch: fixed, so that a rebuild gives
# the same bytes.
export SOURCE_DATE_EPOCH=1300000000

die() { echo "make-sample-patch.sh: $*" >&2; exit 1; }

if [[ -z $make_patch ]]; then
  make_patch="$root/build/host/tools/make-patch/make-patch"
  if [[ ! -x $make_patch ]]; then
    (cd "$root" && cmake --preset host >/dev/null && cmake --build --preset host --target make-patch >/dev/null) ||
      die "cannot build make-patch"
  fi
fi
if [[ ! -f $quor ]]; then
  (cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows --target quor >/dev/null) ||
    die "cannot build quor.exe"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ $check == yes ]]; then
  "$0" --out "$work/check" --quor "$quor" --make-patch "$make_patch" >/dev/null
  for file in sample.msp description.txt; do
    cmp -s "$work/check/$file" "$root/resources/sample/$file" ||
      die "resources/sample/$file is not what scripts/make-sample-patch.sh makes; rerun it"
  done
  echo "resources/sample matches a rebuild from the sample products"
  exit 0
fi

pairs=()
while IFS=$'\t' read -r language name; do
  [[ -z $language || $language == \#* ]] && continue
  for version in "$old_version" "$new_version"; do
    "$root/tests/products/sample-product.sh" --quor "$quor" "$language" "$version" \
      "$work/$language-$version.msi" || die "cannot build the $language product at $version"
  done
  pairs+=("$work/$language-$old_version.msi" "$work/$language-$new_version.msi")
done <"$root/resources/sample/products.tsv"

mkdir -p "$out_dir"
patch="$out_dir/sample.msp"
"$make_patch" --patch-code "$patch_code" --title "$product_name $hotfix_id" \
  --description "This hotfix updates $product_name to version $new_version." \
  --manufacturer "$author" --output "$patch" "${pairs[@]}"

[[ $(msiinfo suminfo "$patch" | tr -d '\r' | sed -n 's/^Template: //p' | tr ';' '\n' | wc -l) -eq 21 ]] ||
  die "the patch does not target the 21 variants"

# The description block, written from the patch it describes.
location='\\\\servername\\sharename\\foldername\\subfoldername'
ftp_location='ftp://servername/foldername/subfoldername'
"$root/scripts/describe-patch.sh" "$patch" "$new_version" "$product_name $hotfix_id" \
  "This hotfix updates $product_name to version $new_version and corrects problems found since its release. Copyright (C) 2011 $author. All rights reserved. Use of this software is subject to the terms of the $author license agreement that accompanies $product_name." \
  "$location\\\\filename.exe or $ftp_location/filename.exe" \
  "$location\\\\readme.html or $ftp_location/readme.html" >"$out_dir/description.txt"

echo "$patch: $(stat -c %s "$patch") bytes"
echo "$out_dir/description.txt: $(stat -c %s "$out_dir/description.txt") bytes"
