#!/bin/bash
# Writes the description block that a hotfix carries beside its patch and
# that /p appends to a patch list: eight key=value lines, each ending in CR
# LF. The figures come from the patch itself, read back with msitools: its
# first target product, its own code and its size in bytes.
#
#   scripts/describe-patch.sh PATCH.msp NEW_VERSION TITLE DESCRIPTION FILE_LOCATION DESC_LOCATION >BLOCK.txt
#
# NEW_VERSION is the product version after the patch; the four texts are
# copied as they are and must not hold line breaks.
set -euo pipefail

die() { echo "describe-patch.sh: $*" >&2; exit 1; }
[ $# -eq 6 ] || die "usage: describe-patch.sh PATCH.msp NEW_VERSION TITLE DESCRIPTION FILE_LOCATION DESC_LOCATION"
patch=$1 version=$2
shift 2
for text in "$version" "$@"; do
  [[ -n $text && $text != *[$'\r\n']* ]] || die "every text must be one non-empty line"
done

summary=$(msiinfo suminfo "$patch" 2>/dev/null | tr -d '\r') || die "$patch is not a package msitools can read"
template=$(sed -n 's/^Template: //p' <<<"$summary")
revision=$(sed -n 's/^Revision number (UUID): //p' <<<"$summary")
guid='\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}'
[[ ${template%%;*} =~ ^$guid$ ]] || die "$patch names no target product in its Template ($template)"
[[ ${revision:0:38} =~ ^$guid$ ]] || die "$patch has no patch code in its Revision Number ($revision)"

printf '%s\r\n' \
  "ProductCode=${template%%;*}" \
  "ProductVersionCandidate=$version" \
  "PatchTitle=$1" \
  "PatchGUID=${revision:0:38}" \
  "PatchFileLocation=$3" \
  "PatchSize=$(stat -c %s "$patch")" \
  "PatchDesc=$2" \
  "PatchDescLocation=$4"
