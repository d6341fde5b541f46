#!/bin/bash
# Hotfixes made by make-hotfix.sh from two real release builds
# (tests/products/release-builds.sh: a.dll relinked and signed again, b.dll
# changed and raised to 2.3.1.0, c.dll the same bytes). The hotfix brings
# the product to 2.3.1 with b.dll's new bytes and a.dll's and c.dll's old
# ones; a repair (msiexec /fa) afterwards leaves every file as the patch
# left it; uninstalling leaves nothing. A hotfix of component B alone
# changes only b.dll and B's registry value, and make-hotfix.sh lists what
# it left out.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"
code="{7E1EA5E0-2300-4A11-9C3D-5B0E1D2C3A40}"
builds=$WINE_TEST_DIR/builds
old=$builds/old/product.msi new=$builds/new/product.msi

wine_case "two release builds and two hotfixes made from them: the whole fix, and component B alone"
"$HOTFIX_SOURCE_DIR/tests/products/release-builds.sh" "$builds" >"$WINE_TEST_DIR/builds.log" 2>&1 ||
  fail "cannot make the release builds: $(cat "$WINE_TEST_DIR/builds.log")"
make_hotfix() {  # make_hotfix NAME PATCH_CODE [OPTION...]
  local name=$1 patch_code=$2 rc=0
  shift 2
  SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_SOURCE_DIR/scripts/make-hotfix.sh" --out "$WINE_TEST_DIR/$name" \
    --build-dir "$WINE_TEST_DIR/build" --make-patch "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" \
    --title "Korvanta Release 2.3.1" --description "This hotfix updates Korvanta Release to version 2.3.1." \
    --file-location 'https://example.invalid/hotfix.exe' --desc-location 'https://example.invalid/hotfix.html' \
    "$@" "$old" "$new" >"$WINE_TEST_DIR/$name.log" 2>&1 || rc=$?
  (( rc == 0 )) || fail "make-hotfix.sh $* ended with $rc: $(tail -20 "$WINE_TEST_DIR/$name.log")"
}
make_hotfix whole "{3C0D5E2A-7B14-4F96-8A23-D1E5F7091B01}"
make_hotfix only-b "{3C0D5E2A-7B14-4F96-8A23-D1E5F7091B02}" --component B
relinked="make-patch: a.dll: only its build stamps differ (link time, checksum, debug signature, export time, signature): not carried"
expect_contains "$(cat "$WINE_TEST_DIR/whole.log")" "$relinked" "what make-hotfix.sh says of a.dll"
expect_contains "$(cat "$WINE_TEST_DIR/only-b.log")" "make-patch: left out: Registry CValue (changed, component C)" \
  "what the hotfix of component B leaves out"

folder="Program Files/Korvanta Release"
installed() {  # installed WHAT VERSION BUILD_A BUILD_B BUILD_C B_VALUE C_VALUE: the product's state
  local what=$1 version=$2 name value
  local -A build=([a]=$3 [b]=$4 [c]=$5) wanted=([B]=$6 [C]=$7)
  product_info "$code" VersionString
  expect_eq "$PRODUCT_INFO" "$version" "$what: VersionString"
  for name in a b c; do
    expect_file_bytes_equal "$WINE_PREFIX_C/$folder/$name.dll" "$builds/${build[$name]}/$name.dll" "$what: $name.dll"
  done
  for name in B C; do
    wine_run 60 reg query 'HKLM\Software\Korvanta\Release' /v "$name" >"$WINE_TEST_DIR/reg.out" 2>/dev/null || true
    value=$(tr -d '\r' <"$WINE_TEST_DIR/reg.out" | awk -v n="$name" '$1 == n { $1 = $2 = ""; sub(/^ +/, ""); print }')
    expect_eq "$value" "${wanted[$name]}" "$what: the registry value $name"
  done
}
run_hotfix() {  # run_hotfix NAME
  robot_start "$WINE_TEST_DIR/$1.jsonl" --default ok --timeout 200
  wine_run 240 "$WINE_TEST_DIR/$1/hotfix.exe" || fail "$1/hotfix.exe ended with $?, not 0"
  robot_stop || true
  expect_boxes "$WINE_TEST_DIR/$1.jsonl" \
    '[{"caption": "Installation Successful", "text": "The hotfix has been successfully installed.", "icon": "information"}]' "$1"
}

wine_case "machine 1: the whole hotfix, a repair, uninstalling"
wine_new_prefix whole
product_install "$old"
installed "installed" 2.3.0 old old old "b 2.3.0" "level 1"
run_hotfix whole
installed "after the hotfix" 2.3.1 old new old "b 2.3.1" "level 2"
rc=0
# msiexec /fa: every file reinstalled from the product's source. Wine's
# msiexec takes /f with a package only, not with a product code: its
# equivalent is REINSTALL=ALL with REINSTALLMODE "a".
WINEDEBUG=err+all wine_run 120 msiexec /i "$code" REINSTALL=ALL REINSTALLMODE=a /qn >"$WINE_TEST_DIR/repair.out" 2>&1 || rc=$?
(( rc == 0 )) || fail "the repair ended with $rc: $(tail -30 "$WINE_TEST_DIR/repair.out")"
installed "after a repair" 2.3.1 old new old "b 2.3.1" "level 2"
wine_run 120 msiexec /x "$code" /qn || fail "msiexec /x ended with $?"
product_state "$code"
expect_eq "$PRODUCT_STATE" -1 "the product's state after uninstalling"
for name in a b c; do expect_no_file "$WINE_PREFIX_C/$folder/$name.dll" "$name.dll after uninstalling"; done
wine_run 60 reg query 'HKLM\Software\Korvanta\Release' >/dev/null 2>&1 &&
  record_failure "the registry key Software\\Korvanta\\Release is still there after uninstalling"
find "$WINE_PREFIX_C/windows/Installer" -iname '*.msp' | grep -q . &&
  record_failure "a cached patch is left after uninstalling: $(find "$WINE_PREFIX_C/windows/Installer" -iname '*.msp')"

wine_case "machine 2: the hotfix of component B alone"
wine_new_prefix only-b
product_install "$old"
run_hotfix only-b
installed "after the hotfix of B" 2.3.1 old new old "b 2.3.1" "level 1"
