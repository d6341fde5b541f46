#!/bin/bash
# Builds an installable Quorvel product package (one language variant) from
# product.wxs.in with msitools, for the tests that need real installed
# products: it installs quor.exe and carries the rows that the hotfix edits in
# a product's cached package.
#
# Usage: make-product.sh [OPTIONS] CODE NAME LANGUAGE VERSION OUTPUT
#   CODE      product code, a brace-enclosed upper-case GUID
#   NAME      ProductName
#   LANGUAGE  decimal language id, ProductLanguage (1033, 1031, ...)
#   VERSION   ProductVersion (up to four dot-separated numbers)
#   OUTPUT    the .msi file to write (replaced if it exists)
# Options:
#   --quor PATH          the quor.exe to install (required)
#   --without NAME       leave out one of the eight edited actions
#                        (ResolveSourceDir, ..., HarvestInstallSelection) or
#                        one of the two moved Registry rows (registry461,
#                        QUORMiniDump_SendAppArgs); repeatable
#   --no-registry-table  no Registry table at all
#   --fail-on-patch      add "FailOnPatch", an error action (type 19) that
#                        runs when PATCH is set, so patching ends in 1603
#                        after the service's own error box
#   --codepage N         codepage of the database (default 1252; NAME must
#                        fit it, and wixl 0.101 crashes on multi-byte ones)
#   --folder NAME        folder under Program Files\Korvanta (default
#                        "Quorvel " and CODE without braces)
#   --upgrade-code GUID  UpgradeCode (default one shared by all variants)
#   --notes              also install notes.txt ("Release notes of Quorvel
#                        VERSION"), in a component of its own: a file that a
#                        later version can bring
#   --notes-text TEXT    what notes.txt says instead (with --notes): a file
#                        that stays the same over some versions
#
# quore.arx names the product code and the version, so that two versions of a
# variant differ in an installed file.
#
# Needs msitools (wixl, msibuild, msiinfo).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
template="$here/product.wxs.in"

actions=(ResolveSourceDir SetMergeManufacturerMDBCD MergeManufacturerMDBCD
         SetMergeManufacturerMDBCDEX MergeManufacturerMDBCDEX SetUncabManufacturerCD
         UncabManufacturerCD HarvestInstallSelection)
registry_rows=(registry461 QUORMiniDump_SendAppArgs)
fail_text="Quorvel cannot be patched on this computer."

usage() {
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0" >&2
  exit 2
}
die() {
  echo "make-product.sh: $*" >&2
  exit 1
}

quor=""
without=()
registry_table=yes
fail_on_patch=no
codepage=1252
folder=""
upgrade_code="{5E0C3A71-2B9D-4F68-A1C4-93D7E2B60F15}"
notes=no
notes_text=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quor) quor=${2:?--quor needs a path}; shift 2 ;;
    --without) without+=("${2:?--without needs a name}"); shift 2 ;;
    --no-registry-table) registry_table=no; shift ;;
    --fail-on-patch) fail_on_patch=yes; shift ;;
    --codepage) codepage=${2:?--codepage needs a number}; shift 2 ;;
    --folder) folder=${2:?--folder needs a name}; shift 2 ;;
    --upgrade-code) upgrade_code=${2:?--upgrade-code needs a GUID}; shift 2 ;;
    --notes) notes=yes; shift ;;
    --notes-text) notes_text=${2?--notes-text needs a text}; shift 2 ;;
    -h|--help) usage ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -eq 5 ] || usage
code=$1 name=$2 language=$3 version=$4 output=$5

guid_re='^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$'
[[ "$code" =~ $guid_re ]] || die "product code must be an upper-case GUID in braces: $code"
[[ "$upgrade_code" =~ $guid_re ]] || die "upgrade code must be an upper-case GUID in braces"
[[ "$language" =~ ^[0-9]{1,5}$ ]] || die "language must be a decimal language id: $language"
[[ "$version" =~ ^[0-9]{1,5}(\.[0-9]{1,5}){0,3}$ ]] || die "bad version: $version"
[[ "$codepage" =~ ^[0-9]{1,5}$ ]] || die "bad codepage: $codepage"
[ -n "$name" ] || die "empty product name"
# A definition cannot hold a quotation mark or a line break.
[[ "$name$folder" != *[\"$'\n'$'\r']* ]] || die "quotation marks and line breaks are not supported"
[ -f "$quor" ] || die "no quor.exe at '$quor' (use --quor)"
[ -n "$folder" ] || folder="Quorvel ${code:1:36}"
for item in "${without[@]+"${without[@]}"}"; do
  case " ${actions[*]} ${registry_rows[*]} " in
    *" $item "*) ;;
    *) die "--without takes one of: ${actions[*]} ${registry_rows[*]}" ;;
  esac
done

carries() {  # yes when $1 is not left out
  local item
  for item in "${without[@]+"${without[@]}"}"; do
    [ "$item" = "$1" ] && { echo no; return; }
  done
  echo yes
}

# Component GUIDs belong to one product: derived from its code, so that a
# rebuild gives the same ones and no two variants share a component.
component_guid() {
  local hex
  hex=$(printf '%s/%s' "$code" "$1" | md5sum | tr 'a-f' 'A-F')
  echo "{${hex:0:8}-${hex:8:4}-${hex:12:4}-${hex:16:4}-${hex:20:12}}"
}

output_dir=$(cd "$(dirname "$output")" && pwd) || die "no directory for $output"
output="$output_dir/$(basename "$output")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# wixl takes Source= relative to its working directory only.
cp "$quor" "$work/quor.exe"
printf 'Quorvel add-in registry, %s, version %s\r\n' "$code" "$version" >"$work/quore.arx"
printf '%s\r\n' "${notes_text:-Release notes of Quorvel $version}" >"$work/notes.txt"

# The values go to wixl as definitions in an include file: its -D options
# refuse text that is not ASCII.
define() {
  printf '<?define %s = "%s" ?>\n' "$1" "$2"
}
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Include>'
  define ProductCode "$code"
  define ProductName "$name"
  define Language "$language"
  define Codepage "$codepage"
  define ProductVersion "$version"
  define UpgradeCode "$upgrade_code"
  define Folder "$folder"
  define MainComponentGuid "$(component_guid QUORE.exe)"
  define ArxComponentGuid "$(component_guid QUORE.arx)"
  define NotesComponentGuid "$(component_guid QUORE.notes)"
  define Notes "$notes"
  define RegistryTable "$registry_table"
  define Registry461 "$(carries registry461)"
  define RegistrySendAppArgs "$(carries QUORMiniDump_SendAppArgs)"
  for action in "${actions[@]}"; do
    define "Action$action" "$(carries "$action")"
  done
  echo '</Include>'
} >"$work/product-defines.wxi"

package="$work/product.msi"
(cd "$work" && wixl -a x64 -I "$work" -o "$package" "$template") ||
  die "wixl failed"

# wixl leaves the database's code page neutral whatever Codepage says; the
# strings are written in it all the same, so declare it.
printf '\r\n\r\n%s\t_ForceCodepage\r\n' "$codepage" >"$work/_ForceCodepage.idt"
msibuild "$package" -i "$work/_ForceCodepage.idt" || die "cannot set code page $codepage"

# wixl always writes a Registry table, and cannot express an error action.
if [ "$registry_table" = no ]; then
  msibuild "$package" -q "DROP TABLE Registry" || die "cannot drop the Registry table"
fi
if [ "$fail_on_patch" = yes ]; then
  msibuild "$package" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('FailOnPatch', 19, '', '$fail_text')" \
    -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('FailOnPatch', 'PATCH', 1450)" ||
    die "cannot add the failing action"
fi

# Check what the package holds against what was asked for.
export_table() {  # msiinfo ends its lines in CR LF
  msiinfo export "$package" "$1" | tr -d '\r'
}
sequence=$(export_table InstallExecuteSequence)
for action in "${actions[@]}"; do
  present=no
  grep -q "^$action"$'\t' <<<"$sequence" && present=yes
  [ "$present" = "$(carries "$action")" ] || die "action $action: present=$present"
done
if [ "$fail_on_patch" = yes ]; then
  grep -qx $'FailOnPatch\tPATCH\t1450' <<<"$sequence" || die "FailOnPatch is not sequenced"
fi
if [ "$registry_table" = yes ]; then
  registry=$(export_table Registry)
  for row in "${registry_rows[@]}"; do
    present=no
    grep -q "^$row"$'\t' <<<"$registry" && present=yes
    [ "$present" = "$(carries "$row")" ] || die "Registry row $row: present=$present"
  done
elif msiinfo tables "$package" | grep -qx Registry; then
  die "the Registry table is still there"
fi
properties=$(export_table Property)
grep -qxF "ProductCode	$code" <<<"$properties" || die "ProductCode differs"
grep -qxF "ProductLanguage	$language" <<<"$properties" || die "ProductLanguage differs"
grep -qxF "ProductVersion	$version" <<<"$properties" || die "ProductVersion differs"
grep -qxF "ProductName	$name" <<<"$properties" || die "ProductName differs"

mv -f "$package" "$output"
