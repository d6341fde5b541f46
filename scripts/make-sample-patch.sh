#!/bin/bash
# Builds the sample patch package the default hotfix carries,
# resources/sample/sample.msp, and its description block,
# resources/sample/description.txt, so that the two always agree.
#
# The package is an empty database whose summary information is what the
# hotfix reads: Template lists the 21 language variants of the product, and
# Revision Number begins with the patch's own code. Rerunning the script gives
# the same bytes.
#
# Needs msitools (msibuild, msiinfo).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out_dir="$root/resources/sample"
package="$out_dir/sample.msp"
description="$out_dir/description.txt"

# Product codes: one per language variant, differing only in the third group,
# which is the variant's Windows language id. The four characters after the
# first "-" are the same in all of them: /p names its default list after them.
code_head="7C4A19E2-6007"
code_tail="9B3D-4E81A6F25C07"
languages=(0409 0407 040C 0410 0C0A 0411 0412 0404 0804 0405 040E 0415 0416 0419
           0406 0413 041D 0414 040B 0816 041F)
patch_code="{D3F58B26-A41C-4E97-B062-91C7E5A83F14}"

product_name="Quorvel Professional Edition 2011"
hotfix_id="QF0523118"
patched_version="5.2.1.0"  # string 700 of the hotfix
author="Korvanta"
# PatchSize has six digits; a package too small (or too large) to supply such
# a figure itself is given this nominal one.
nominal_size=204800

codes=()
for language in "${languages[@]}"; do
  codes+=("{$code_head-$language-$code_tail}")
done
template=$(IFS=';'; echo "${codes[*]}")
if [ "${#template}" -ne $((21 * 38 + 20)) ]; then
  echo "template has ${#template} characters, expected 818" >&2
  exit 1
fi

mkdir -p "$out_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# msibuild adds to an existing file, so always start from nothing.
msibuild "$work/sample.msp" -s "$product_name Hotfix $hotfix_id" "$author" "$template" "$patch_code"

# Check what a reader of the package will see.
summary=$(msiinfo suminfo "$work/sample.msp")
if ! grep -qxF "Template: $template" <<<"$summary"; then
  echo "Template of the built package differs:" >&2
  echo "$summary" >&2
  exit 1
fi
revision=$(sed -n 's/^Revision number (UUID): //p' <<<"$summary")
if [[ "$revision" != "$patch_code"* ]]; then
  echo "Revision Number of the built package does not begin with $patch_code:" >&2
  echo "$summary" >&2
  exit 1
fi
mv "$work/sample.msp" "$package"

size=$(stat -c %s "$package")
if [ "${#size}" -eq 6 ]; then
  patch_size=$size
else
  patch_size=$nominal_size
fi

# Eight key=value lines, each ending in CR LF; the hotfix copies the block
# without reading it, so its layout is fixed here.
location='\\\\servername\\sharename\\foldername\\subfoldername'
ftp_location='ftp://servername/foldername/subfoldername'
{
  printf '%s\r\n' \
    "ProductCode=${codes[0]}" \
    "ProductVersionCandidate=$patched_version" \
    "PatchTitle=$product_name $hotfix_id" \
    "PatchGUID=$patch_code" \
    "PatchFileLocation=$location\\\\filename.exe or $ftp_location/filename.exe" \
    "PatchSize=$patch_size" \
    "PatchDesc=This hotfix updates $product_name to version $patched_version and corrects problems found since its release. Copyright (C) 2011 $author. All rights reserved. Use of this software is subject to the terms of the $author license agreement that accompanies $product_name." \
    "PatchDescLocation=$location\\\\readme.html or $ftp_location/readme.html"
} >"$description"

echo "$package: $size bytes"
echo "$description: $(stat -c %s "$description") bytes"
