#!/bin/bash
# A release engineer's hotfix around a patch of another product, made by
# scripts/make-hotfix.sh from two pairs of packages (Velmora Studio, English
# and German, 3.4.0.0 and 3.4.2.0: quore.arx changes and notes.txt is new),
# signed with a throw-away certificate and time-stamped by a server on
# loopback. The signature verifies against its chain and breaks when a byte
# changes; a rebuild in another folder, without
# signing, is the signed program less its signature, byte for byte. Under
# Wine the signed hotfix lists its targets (/i), patches an installed English
# 3.4.0.0 (301; 3.4.2.0, both files, the patch registered) and, run again,
# says the product is up to date. On the machine with a German 3.3.0.0 too,
# a version the hotfix is not for, the rules of deploy.txt read from the
# registry detect the English product and not the German one.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

en_code="{A1B2C3D4-0000-1111-2222-333344445555}"
de_code="{A1B2C3D4-0000-1111-2222-333344446666}"
upgrade="{11111111-2222-3333-4444-555555555555}"
patch_code="{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
name="Velmora Studio"
[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"

wine_case "two pairs of packages and a throw-away code-signing certificate"
release=$WINE_TEST_DIR/release
mkdir -p "$release"
velmora=(--quor "$HOTFIX_QUOR" --upgrade-code "$upgrade" --folder Velmora)
for variant in "$en_code 1033" "$de_code 1031"; do
  read -r code language <<<"$variant"
  "$PRODUCT_MAKER" "${velmora[@]}" "$code" "$name" "$language" 3.4.0.0 "$release/$language-3.4.0.0.msi" >/dev/null &&
    "$PRODUCT_MAKER" "${velmora[@]}" --notes "$code" "$name" "$language" 3.4.2.0 "$release/$language-3.4.2.0.msi" \
      >/dev/null || fail "cannot build the $language packages"
done
pairs=("$release/1033-3.4.0.0.msi" "$release/1033-3.4.2.0.msi" "$release/1031-3.4.0.0.msi" "$release/1031-3.4.2.0.msi")

certs=$WINE_TEST_DIR/certs
"$HOTFIX_SOURCE_DIR/tests/products/make-test-certificate.sh" "$certs" >/dev/null ||
  fail "cannot make the test certificate"

make_hotfix() {  # make_hotfix OUT BUILD_DIR [OPTION...]
  local out=$1 build=$2 rc=0
  shift 2
  SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_SOURCE_DIR/scripts/make-hotfix.sh" --out "$out" --build-dir "$build" \
    --make-patch "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" --title "$name VS3420001" \
    --description "This hotfix updates $name to version 3.4.2.0." \
    --file-location 'https://example.invalid/velmora.exe' --desc-location 'https://example.invalid/velmora.html' \
    "$@" "${pairs[@]}" >"$out.log" 2>&1 || rc=$?
  (( rc == 0 )) || fail "make-hotfix.sh ended with $rc: $(tail -20 "$out.log")"
}

wine_case "a time-stamp server on loopback"
/usr/bin/python3 "$HOTFIX_SOURCE_DIR/tests/wine/timestamp_server.py" "$certs" "$release/tsa.port" \
  "$release/tsa.log" 2>"$release/tsa.err" &
tsa_pid=$!
trap 'status=$?; kill "$tsa_pid" 2>/dev/null; (exit $status); wine__on_exit' EXIT
wait_for_file "$release/tsa.port" 20 || fail "the time-stamp server did not start: $(cat "$release/tsa.err")"

wine_case "the one command, signing with a time stamp"
signed=$release/signed
make_hotfix "$signed" "$release/build one" --sign-pkcs12 "$certs/signing.p12" \
  --sign-password-file "$certs/password.txt" --timestamp-url "http://127.0.0.1:$(cat "$release/tsa.port")"
expect_contains "$(cat "$signed.log")" "at 3.4.0.0: patches it to 3.4.2.0" "the summary of what the hotfix does"
"$HOTFIX_SOURCE_DIR/scripts/describe-patch.sh" "$signed/patch.msp" 3.4.2.0 "$name VS3420001" \
  "This hotfix updates $name to version 3.4.2.0." 'https://example.invalid/velmora.exe' \
  'https://example.invalid/velmora.html' >"$release/expected.txt"
expect_file_bytes_equal "$signed/description.txt" "$release/expected.txt" "the description block"
expect_contains "$(tr -d '\r' <"$signed/description.txt")" "ProductCode=$en_code" "the block's product code"
/usr/bin/python3 "$HOTFIX_SOURCE_DIR/tests/patch_checker/check_patch.py" --removable \
  --product "${pairs[0]}" --expect "${pairs[1]}" --product "${pairs[2]}" --expect "${pairs[3]}" "$signed/patch.msp" \
  >"$release/checker.out" 2>&1 || record_failure "the patch as Windows Installer takes it: $(cat "$release/checker.out")"

wine_case "the signature"
osslsigncode verify -CAfile "$certs/ca.pem" -TSA-CAfile "$certs/ca.pem" -in "$signed/hotfix.exe" \
  >"$release/verify.log" 2>&1 || fail "osslsigncode verify refused the signed hotfix: $(tail -5 "$release/verify.log")"
expect_contains "$(cat "$release/verify.log")" "Subject: /CN=Velmora Test Release" "the signer"
expect_contains "$(cat "$release/verify.log")" "Timestamp Server Signature verification: ok" "the time stamp"
expect_eq "$(grep -c answered "$release/tsa.log")" 1 "requests the time-stamp server answered"
! osslsigncode verify -in "$signed/hotfix.exe" >/dev/null 2>&1 ||
  fail "verification passed without the test CA: the chain was not checked"
cp "$signed/hotfix.exe" "$release/changed.exe"
printf '\x5A' | dd of="$release/changed.exe" bs=1 seek=4096 conv=notrunc status=none
cmp -s "$release/changed.exe" "$signed/hotfix.exe" && fail "the byte at 4096 was already 0x5A"
! osslsigncode verify -CAfile "$certs/ca.pem" -in "$release/changed.exe" >/dev/null 2>&1 ||
  fail "a hotfix changed after signing still verifies"

wine_case "a rebuild in another folder, unsigned, is the published hotfix less its signature"
rebuilt=$release/rebuilt
make_hotfix "$rebuilt" "$release/build-two"
osslsigncode remove-signature -in "$signed/hotfix.exe" -out "$release/unsigned.exe" >/dev/null 2>&1 ||
  fail "cannot remove the signature"
expect_file_bytes_equal "$rebuilt/hotfix.exe" "$release/unsigned.exe" "the rebuilt hotfix.exe"
expect_file_bytes_equal "$rebuilt/hotfix.exe" "$release/build one/hotfix.exe" "the two unsigned builds"
expect_file_bytes_equal "$rebuilt/patch.msp" "$signed/patch.msp" "the rebuilt patch"
hotfix=$signed/hotfix.exe

wine_case "the signed hotfix under Wine: /i"
wine_new_prefix main
robot_start "$WINE_TEST_DIR/boxes-list.jsonl" --default ok --timeout 120
wine_run 180 "$hotfix" /i || fail "hotfix.exe /i ended with $?, not 0"
robot_stop || true
expect_boxes "$WINE_TEST_DIR/boxes-list.jsonl" \
  "[{\"caption\": \"List of Products\", \"text\": \"$en_code;$de_code\", \"icon\": \"none\"}]"

wine_case "the signed hotfix patches Velmora"
product_install "$release/1033-3.4.0.0.msi"
product_installed "$en_code" Velmora
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

product_info "$en_code" VersionString
expect_eq "$PRODUCT_INFO" 3.4.2.0 "VersionString after the patch"
product_package_file "$release/1033-3.4.2.0.msi" quore.arx "$WINE_TEST_DIR/quore.arx.new"
product_package_file "$release/1033-3.4.2.0.msi" notes.txt "$WINE_TEST_DIR/notes.txt.new"
expect_file_bytes_equal "$folder/quore.arx" "$WINE_TEST_DIR/quore.arx.new" "the changed quore.arx"
expect_file_bytes_equal "$folder/notes.txt" "$WINE_TEST_DIR/notes.txt.new" "the new notes.txt"
product_patches "$en_code"
expect_eq "$(json_field "$PRODUCT_PATCHES" patches.0.code)" "$patch_code" "the registered patch"
expect_eq "$(json_field "$PRODUCT_PATCHES" patches.0.state)" 1 "its state (applied)"

wine_case "run again: up to date"
run_hotfix "$WINE_TEST_DIR/boxes-again.jsonl" \
  '[{"caption": "Installation Unnecessary", "text": "Your version of Velmora Studio is up-to-date and this hotfix is not necessary", "icon": "stop"}]'

wine_case "deploy.txt: its rules hold on the patched product, not on one at a version the hotfix is not for"
deploy=$signed/deploy.txt
expect_contains "$(cat "$deploy")" "silent_command = hotfix.exe /q" "the silent command line"
"$PRODUCT_MAKER" "${velmora[@]}" --folder VelmoraDE "$de_code" "$name" 1031 3.3.0.0 "$release/1031-3.3.0.0.msi" >/dev/null ||
  fail "cannot build the German 3.3.0.0 package"
product_install "$release/1031-3.3.0.0.msi"
run_hotfix "$WINE_TEST_DIR/boxes-other.jsonl" \
  "[{\"caption\": \"Installationsfehler\", \"text\": \"Dieser Hotfix konnte nicht installiert werden, da er nicht für die auf Ihrem Computer installierte Version von $name vorgesehen ist.\", \"icon\": \"stop\"}]"
for key in 'HKLM\Software\Microsoft\Windows\CurrentVersion' 'HKCR\Installer\Products'; do
  wine_run 60 reg export "$key" "$(winpath_of "$WINE_TEST_DIR/export-${key%%\\*}.reg")" /y >/dev/null 2>&1 ||
    fail "reg export $key failed"
done
/usr/bin/python3 "$HOTFIX_SOURCE_DIR/tests/wine/deploy_rules.py" "$deploy" "$WINE_TEST_DIR"/export-*.reg \
  >"$WINE_TEST_DIR/rules.out" || fail "deploy_rules.py failed"
wine_log "$(cat "$WINE_TEST_DIR/rules.out")"
expect_eq "$(grep -F "$en_code" "$WINE_TEST_DIR/rules.out")" "$en_code registry=detected patch=detected" \
  "the rules on the patched English product"
expect_eq "$(grep -F "$de_code" "$WINE_TEST_DIR/rules.out")" "$de_code registry=3.3.0.0 patch=absent" \
  "the rules on the German product at 3.3.0.0"
for code in "$en_code" "$de_code"; do  # the Windows Installer rule: product code, version at least
  product_info "$code" VersionString
  at_least=$(sed -n "/^\[$code\]/,/^\[/s/^version.at_least = //p" "$deploy")
  expect_eq "$at_least" 3.4.2.0 "the version the rule asks of $code"
  [[ $(printf '%s\n' "$at_least" "$PRODUCT_INFO" | sort -V | head -1) == "$at_least" ]] && held=yes || held=no
  expect_eq "$held" "$([[ $code == "$en_code" ]] && echo yes || echo no)" "the version rule on $code at $PRODUCT_INFO"
done
