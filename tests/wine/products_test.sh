#!/bin/bash
# The sample products themselves, as the other tests rely on them: they
# install with msiexec, register what they carry, take the sample patch, and
# the variant built with --fail-on-patch makes patching fail.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

wine_new_prefix main

product_code_for_language 1033; english=$PRODUCT_CODE
product_code_for_language 1040; italian=$PRODUCT_CODE

wine_case "a product installs with its program and registry values"
product_add "$english" "$PRODUCT_DEFAULT_NAME" 1033 5.2.0.0
expect_eq "$PRODUCT_FOLDER" "C:\\Program Files\\Korvanta\\Quorvel ${english:1:36}" "product folder"
expect_file_bytes_equal "$PRODUCT_FOLDER_DIR/quor.exe" "$HOTFIX_QUOR" "installed quor.exe"
rc=0
wine_run 60 reg query "HKLM\\Software\\Korvanta\\Quorvel ${english:1:36}" /v Version \
  >"$WINE_TEST_DIR/reg.out" 2>&1 || rc=$?
expect_eq "$rc" 0 "reg query exit code"
expect_contains "$(tr -d '\r' <"$WINE_TEST_DIR/reg.out")" "5.2.0.0" "the Version value of registry461"
for property in ProductName Language VersionString; do
  product_info "$english" "$property"
  declare "info_$property=$PRODUCT_INFO"
done
expect_eq "$info_ProductName|$info_Language|$info_VersionString" \
  "$PRODUCT_DEFAULT_NAME|1033|5.2.0.0" "properties the installer reports"

wine_case "a product built to fail on patching installs all the same"
product_add "$italian" "$PRODUCT_DEFAULT_NAME" 1040 5.2.0.0 --fail-on-patch

patch_copy=$WINE_TEST_DIR/sample.msp
cp "$HOTFIX_SAMPLE_PATCH" "$patch_copy"
patch_line="PATCH=\"$(winpath_of "$patch_copy")\" PATCH_NO_UNINSTALL=0 REBOOTPROMPT=S"

# code | expected result | expected boxes -- why
cases=(
  "$english|0|[]"        # the sample patch lists it: applied, without a word
  "$italian|1603|[{\"caption\":\"Error\",\"text\":\"Quorvel cannot be patched on this computer.\",\"buttons\":[1],\"process\":\"probe.exe\",\"answer\":\"ok\"}]"  # the error action stops it, after its box
)
for entry in "${cases[@]}"; do
  IFS='|' read -r code result boxes_expected <<<"$entry"
  wine_case "patching $code"
  boxes=$WINE_TEST_DIR/boxes-${code:15:4}.jsonl
  robot_start "$boxes" --default ok --timeout 100
  rc=0
  wine_run 120 "$HOTFIX_PROBE" configure "$code" "$patch_line" >"$WINE_TEST_DIR/configure.out" || rc=$?
  robot_stop
  expect_eq "$rc" 0 "probe configure exit code"
  expect_eq "$(json_field "$(cat "$WINE_TEST_DIR/configure.out")" result)" "$result" \
    "MsiConfigureProductExW result for $code"
  expect_boxes "$boxes" "$boxes_expected" "boxes while patching $code"
done
