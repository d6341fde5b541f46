#!/bin/bash
# A release engineer's hotfix around a patch of another product: make-patch
# makes the patch from two packages of Velmora 3.4.0.0 and 3.4.2.0 (whose
# quore.arx changes and which brings a new file, notes.txt),
# describe-patch.sh its description block, and hotfix.exe is built anew with
# the four cache variables. Under Wine it patches an installed Velmora
# 3.4.0.0: 301, then the product at 3.4.2.0 with both files in place and the
# patch registered; run again, it says the product is up to date.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

code="{A1B2C3D4-0000-1111-2222-333344445555}"
upgrade="{11111111-2222-3333-4444-555555555555}"
patch_code="{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
name="Velmora Studio"
[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"

wine_case "the two packages and the patch"
release=$WINE_TEST_DIR/release
mkdir -p "$release"
velmora=(--quor "$HOTFIX_QUOR" --upgrade-code "$upgrade" --folder Velmora)
"$PRODUCT_MAKER" "${velmora[@]}" "$code" "$name" 1033 3.4.0.0 "$release/velmora-3.4.0.0.msi" >/dev/null ||
  fail "cannot build Velmora 3.4.0.0"
"$PRODUCT_MAKER" "${velmora[@]}" --notes "$code" "$name" 1033 3.4.2.0 "$release/velmora-3.4.2.0.msi" >/dev/null ||
  fail "cannot build Velmora 3.4.2.0"
SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" --title "$name VS3420001" \
  --output "$release/velmora.msp" "$release/velmora-3.4.0.0.msi" "$release/velmora-3.4.2.0.msi" ||
  fail "make-patch failed"
"$HOTFIX_SOURCE_DIR/scripts/describe-patch.sh" "$release/velmora.msp" 3.4.2.0 "$name VS3420001" \
  "This hotfix updates $name to version 3.4.2.0." 'https://example.invalid/velmora.exe' \
  'https://example.invalid/velmora.html' >"$release/velmora.txt" || fail "describe-patch.sh failed"

wine_case "hotfix.exe built with the release engineer's cache variables"
build=$release/build
rc=0
( cd "$HOTFIX_SOURCE_DIR" &&
  cmake -S . -B "$build" --toolchain cmake/mingw-w64-x86_64.cmake -DHOTFIX_TARGET=windows \
    -DCMAKE_BUILD_TYPE=Release -DHOTFIX_PATCH="$release/velmora.msp" -DHOTFIX_DESCRIPTION="$release/velmora.txt" \
    -DHOTFIX_PATCHED_VERSION=3.4.2.0 -DHOTFIX_APPLICABLE_VERSIONS=3.4.0.0, &&
  cmake --build "$build" --target hotfix -j "$(nproc)" ) >"$release/build.log" 2>&1 || rc=$?
(( rc == 0 )) || fail "the build failed: $(tail -20 "$release/build.log")"
hotfix=$build/hotfix.exe

wine_case "the hotfix patches Velmora"
wine_new_prefix main
product_install "$release/velmora-3.4.0.0.msi"
product_installed "$code" Velmora
folder=$PRODUCT_FOLDER_DIR
[[ ! -e $folder/notes.txt ]] || fail "Velmora 3.4.0.0 has notes.txt already"

run_hotfix() {  # run_hotfix BOXES_FILE EXPECTED_JSON
  robot_start "$1" --default ok --timeout 200
  wine_run 240 "$hotfix" || fail "hotfix.exe ended with $?, not 0"
  robot_stop || true
  expect_boxes "$1" "$2"
}
run_hotfix "$WINE_TEST_DIR/boxes.jsonl" \
  '[{"caption": "Installation Successful", "text": "The hotfix has been successfully installed.", "icon": "information"}]'

product_info "$code" VersionString
expect_eq "$PRODUCT_INFO" 3.4.2.0 "VersionString after the patch"
product_package_file "$release/velmora-3.4.2.0.msi" quore.arx "$WINE_TEST_DIR/quore.arx.new"
product_package_file "$release/velmora-3.4.2.0.msi" notes.txt "$WINE_TEST_DIR/notes.txt.new"
expect_file_bytes_equal "$folder/quore.arx" "$WINE_TEST_DIR/quore.arx.new" "the changed quore.arx"
expect_file_bytes_equal "$folder/notes.txt" "$WINE_TEST_DIR/notes.txt.new" "the new notes.txt"
product_patches "$code"
expect_eq "$(json_field "$PRODUCT_PATCHES" patches.0.code)" "$patch_code" "the registered patch"
expect_eq "$(json_field "$PRODUCT_PATCHES" patches.0.state)" 1 "its state (applied)"

wine_case "run again: up to date"
run_hotfix "$WINE_TEST_DIR/boxes-again.jsonl" \
  '[{"caption": "Installation Unnecessary", "text": "Your version of Velmora Studio is up-to-date and this hotfix is not necessary", "icon": "stop"}]'
