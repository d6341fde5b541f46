#!/bin/bash
# Writes deploy.txt, what an administrator needs to deploy hotfix.exe with a
# management tool: the silent command line and, for each product the patch
# targets, rules that detect the product patched, in the forms those tools
# take. The product codes come from the patch's Template, the patch code from
# its Revision Number, the version from the hotfix's own text of it; the
# packages give each product's name and platform (the registry view of its
# uninstall entry).
#
#   scripts/deploy-text.sh PATCH.msp PATCHED_VERSION APPLICABLE_VERSIONS OLD.msi NEW.msi [...] >deploy.txt
#
# APPLICABLE_VERSIONS as the hotfix carries it: versions, each followed by a comma.
set -euo pipefail

die() { echo "deploy-text.sh: $*" >&2; exit 1; }
(($# >= 5)) || die "usage: deploy-text.sh PATCH.msp PATCHED_VERSION APPLICABLE_VERSIONS OLD.msi NEW.msi [...]"
patch=$1 version=$2 applicable=$3
shift 3

summary=$(msiinfo suminfo "$patch" 2>/dev/null | tr -d '\r') || die "$patch is not a package msitools can read"
template=$(sed -n 's/^Template: //p' <<<"$summary")
revision=$(sed -n 's/^Revision number (UUID): //p' <<<"$summary")
guid='^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$'
patch_code=${revision:0:38}
[[ $patch_code =~ $guid ]] || die "$patch has no patch code in its Revision Number ($revision)"
IFS=';' read -r -a products <<<"$template"
((${#products[@]})) || die "$patch names no target product in its Template"

# The form of a code Windows Installer's registry keys use: the first three
# groups reversed, the two digits of each byte of the rest swapped.
packed() {
  local hex=${1//[\{\}-]/} out="" i
  for i in 7 6 5 4 3 2 1 0 11 10 9 8 15 14 13 12; do out+=${hex:i:1}; done
  for ((i = 16; i < 32; i += 2)); do out+=${hex:i+1:1}${hex:i:1}; done
  echo "$out"
}

property() {  # property PACKAGE NAME
  msiinfo export "$1" Property 2>/dev/null | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'
}
declare -A name_of language_of platform_of
for package in "$@"; do
  code=$(property "$package" ProductCode)
  [[ -n $code && -z ${name_of[$code]:-} ]] || continue
  name_of[$code]=$(property "$package" ProductName)
  language_of[$code]=$(property "$package" ProductLanguage)
  platform_of[$code]=$(msiinfo suminfo "$package" 2>/dev/null | tr -d '\r' | sed -n 's/^Template: \([^;]*\);.*/\1/p')
done

packed_patch=$(packed "$patch_code")
uninstall='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
userdata='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products'

cat <<EOF
; Deploying hotfix.exe: the patch $patch_code, to version $version
; (from ${applicable%,}).
;
; Silent command line, run as an administrator or as SYSTEM:
;   hotfix.exe /q
; /q silences the result messages only: a user who has Quorvel (quor.exe) open
; is still asked to close it, and the run waits for an answer. The exit code is
; always 0, success or failure: tell the outcome by a rule below, never by it.
;
; Detection, one section per product the hotfix targets. Each rule holds on a
; machine where the product is patched; where the hotfix did not apply (the
; product is at a version it is not for, or the run failed) the product stays
; at its version and no rule holds. "version" and "registry" hold as well when
; the product is at $version or later by other means (a full installation);
; "patch" holds only where this patch is applied.
;   version   Windows Installer detection: the product code, and its
;             installed version greater than or equal to the one named
;   registry  a registry value: its key, its name, and the test on it
;   patch     the patch as Windows registers it: the key, whose value
;             State is 1 (applied), and the value the product's patch list has
silent_command = hotfix.exe /q
exit_code = 0
patch_code = $patch_code
EOF
for code in "${products[@]}"; do
  [[ $code =~ $guid ]] || die "$patch has a Template entry that is not a product code: $code"
  key=$uninstall
  # A 32-bit package's entry is in the 32-bit view of a 64-bit Windows.
  [[ ${platform_of[$code]:-x64} != Intel ]] || key='HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
  packed_product=$(packed "$code")
  cat <<EOF

[$code]
name = ${name_of[$code]:-}
language = ${language_of[$code]:-}
version.product_code = $code
version.at_least = $version
registry.key = $key\\$code
registry.value = DisplayVersion
registry.at_least = $version
patch.key = $userdata\\$packed_product\\Patches\\$packed_patch
patch.value = State
patch.equals = 1
patch.list_key = HKEY_CLASSES_ROOT\\Installer\\Products\\$packed_product\\Patches
patch.list_value = $packed_patch
EOF
done
