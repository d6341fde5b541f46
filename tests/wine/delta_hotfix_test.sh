#!/bin/bash
# Patches that carry changed files as deltas (make-patch --delta), applied
# by Wine's msi through the platform's ApplyPatchToFileW: with msiexec /p,
# and inside a hotfix made by make-hotfix.sh --delta, the installed files
# end equal to the new package's, byte for byte; an installed file that is
# not the one the delta was made against makes the installation fail, the
# user sees message 300 with the installer's error code (1603), and the file
# is not replaced by a wrong one.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"
code="{B16B16B1-6000-4000-8000-00000000B16B}"
folder_name="Quorvel Bench"
patch_code="{5D8E2A90-3C41-4B7F-8E26-1F0A9B3C7D51}"

wine_case "two versions of a product: three files of 1 MB, 4 KiB changed in two of them"
dir=$WINE_TEST_DIR/packages
mkdir -p "$dir/old" "$dir/new" "$dir/new-files"
maker=$HOTFIX_SOURCE_DIR/tests/products/big-product.py
/usr/bin/python3 "$maker" --version 5.2.0.0 --files 3 --size 1000000 "$dir/old/product.msi" >/dev/null &&
  /usr/bin/python3 "$maker" --version 5.2.1.0 --files 3 --size 1000000 --change 2 "$dir/new/product.msi" \
    >/dev/null || fail "cannot build the packages"
gcab -x -C "$dir/new-files" "$dir/new/product.cab" >/dev/null || fail "cannot read the new package's cabinet"

wine_case "make-patch --delta: deltas, not whole files"
patch=$dir/delta.msp whole=$dir/whole.msp
SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" --delta --output "$patch" \
  "$dir/old/product.msi" "$dir/new/product.msi" || fail "make-patch --delta failed"
SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" --output "$whole" \
  "$dir/old/product.msi" "$dir/new/product.msi" || fail "make-patch failed"
wine_log "patch with deltas $(stat -c %s "$patch") bytes, with the whole files $(stat -c %s "$whole") bytes"
(( $(stat -c %s "$patch") * 10 < $(stat -c %s "$whole") )) ||
  record_failure "the delta patch is not a tenth of the whole-file patch"
/usr/bin/python3 "$HOTFIX_SOURCE_DIR/tests/patch_checker/check_patch.py" --removable \
  --product "$dir/old/product.msi" --expect "$dir/new/product.msi" "$patch" >"$dir/checker.out" 2>&1 ||
  record_failure "the delta patch as Windows Installer takes it: $(cat "$dir/checker.out")"

installed_as_new() {  # installed_as_new WHAT: the installed files are the new package's
  local name
  product_info "$code" VersionString
  expect_eq "$PRODUCT_INFO" 5.2.1.0 "$1: VersionString"
  for name in f00000.bin f00001.bin f00002.bin; do
    expect_file_bytes_equal "$folder/$name" "$dir/new-files/$name" "$1: $name"
  done
}
install_old() {
  product_install "$dir/old/product.msi"
  product_state "$code"
  expect_eq "$PRODUCT_STATE" 5 "the old product's state"
  folder="$WINE_PREFIX_C/Program Files/$folder_name"
  [[ -f $folder/f00000.bin ]] || fail "the old product installed no f00000.bin in $folder"
}

wine_case "msiexec /p of the delta patch"
wine_new_prefix msiexec
install_old
wine_run 120 msiexec /p "$(winpath_of "$patch")" /qn || fail "msiexec /p ended with $?"
installed_as_new "msiexec /p"

wine_case "a hotfix made with make-hotfix.sh --delta"
SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_SOURCE_DIR/scripts/make-hotfix.sh" --out "$WINE_TEST_DIR/hotfix" \
  --build-dir "$WINE_TEST_DIR/build" --make-patch "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" --delta \
  --title "Quorvel Bench 5.2.1.0" --description "This hotfix updates Quorvel Bench to version 5.2.1.0." \
  --file-location 'https://example.invalid/hotfix.exe' --desc-location 'https://example.invalid/hotfix.html' \
  "$dir/old/product.msi" "$dir/new/product.msi" >"$WINE_TEST_DIR/hotfix.log" 2>&1 ||
  fail "make-hotfix.sh --delta failed: $(tail -20 "$WINE_TEST_DIR/hotfix.log")"
(( $(stat -c %s "$WINE_TEST_DIR/hotfix/patch.msp") * 10 < $(stat -c %s "$whole") )) ||
  record_failure "the hotfix's patch carries no deltas ($(stat -c %s "$WINE_TEST_DIR/hotfix/patch.msp") bytes)"
hotfix=$WINE_TEST_DIR/hotfix/hotfix.exe
wine_new_prefix hotfix
install_old
robot_start "$WINE_TEST_DIR/boxes.jsonl" --default ok --timeout 200
wine_run 240 "$hotfix" || fail "hotfix.exe ended with $?, not 0"
robot_stop || true
expect_boxes "$WINE_TEST_DIR/boxes.jsonl" \
  '[{"caption": "Installation Successful", "text": "The hotfix has been successfully installed.", "icon": "information"}]'
installed_as_new "hotfix.exe"

wine_case "an installed file that is not the one the delta was made from"
wine_new_prefix changed
install_old
printf 'not the released bytes' | dd of="$folder/f00001.bin" bs=1 seek=100 conv=notrunc status=none
cp "$folder/f00001.bin" "$WINE_TEST_DIR/f00001.bin.changed"
robot_start "$WINE_TEST_DIR/boxes-changed.jsonl" --default ok --timeout 200
wine_run 240 "$hotfix" || fail "hotfix.exe ended with $?, not 0"
robot_stop || true
expect_boxes "$WINE_TEST_DIR/boxes-changed.jsonl" \
  '[{"caption": "Installation Error", "text_contains": "Error Code: 1603", "icon": "stop"}]'
expect_file_bytes_equal "$folder/f00001.bin" "$WINE_TEST_DIR/f00001.bin.changed" \
  "the changed file after the failed patch (not replaced by a wrong one)"
# What Wine leaves besides is its own: it does not roll back a failed
# maintenance installation (the files patched before the failing one stay
# patched, and the product's registration is gone); Windows restores both.
product_state "$code"
wine_log "after the failed patch Wine leaves the product in state $PRODUCT_STATE"
