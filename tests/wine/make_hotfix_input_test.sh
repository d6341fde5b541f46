#!/bin/bash
# wine-fixture: none
# scripts/make-hotfix.sh refuses what cannot make a sound hotfix, with a
# message naming the fault, and leaves the output folder as it was: no new
# file, no half-built one, the earlier hotfix untouched. The last row fails
# late, at signing, after the patch was made and the program linked.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"
code="{A1B2C3D4-0000-1111-2222-333344445555}"
other="{A1B2C3D4-0000-1111-2222-333344447777}"
dir=$WINE_TEST_DIR
build() {  # build CODE VERSION NAME
  "$PRODUCT_MAKER" --quor "$HOTFIX_QUOR" --folder Velmora "$1" "Velmora Studio" 1033 "$2" "$dir/$3.msi" >/dev/null ||
    fail "cannot build $3.msi"
}
build "$code" 3.4.0.0 old
build "$code" 3.4.2.0 new
build "$code" 3.4.3.0 newer
build "$other" 3.4.2.0 other-new
build "$code" 3.4.2.5 new4
"$HOTFIX_SOURCE_DIR/tests/products/make-test-certificate.sh" "$dir/certs" >/dev/null || fail "no test certificate"
printf 'not the password\n' >"$dir/wrong-password.txt"

# The output folder holds an earlier hotfix, which every refusal must leave.
out=$dir/out
mkdir -p "$out"
for file in hotfix.exe patch.msp description.txt deploy.txt; do echo "earlier $file" >"$out/$file"; done
cp -r "$out" "$dir/out.before"

texts=(--patch-code "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}" --title "Velmora Studio VS3420001"
       --description "This hotfix updates Velmora Studio." --file-location x.exe --desc-location x.html)
partial=("${texts[@]:0:8}")
all=${texts[*]@Q} no_location=${partial[*]@Q}
# name | expected message | arguments after --out
cases=(
  "odd package count|name the packages in pairs|$all old.msi new.msi newer.msi"
  "a missing text|--desc-location is missing|$no_location old.msi new.msi"
  "a text with a line break|holds a line break|$all --manufacturer $'Velmora\nLtd' old.msi new.msi"
  "a patch code in lower case|must be a GUID|$all --patch-code '{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}' old.msi new.msi"
  "equal versions|have the same version, 3.4.2.0|$all new.msi new.msi"
  "two new versions|different versions (3.4.2.0 and 3.4.3.0)|$all old.msi new.msi old.msi newer.msi"
  "versions Windows Installer cannot tell apart|differ only in the fourth field|$all new.msi new4.msi"
  "packages that do not pair up|make-patch refused|$all old.msi other-new.msi"
  "not a package|not a product package|$all certs/ca.pem new.msi"
  "a certificate without its password file|needs both --sign-pkcs12 and --sign-password-file|$all --sign-pkcs12 certs/signing.p12 old.msi new.msi"
  "the wrong password: signing fails after the build|the build of hotfix.exe failed|$all --sign-pkcs12 certs/signing.p12 --sign-password-file wrong-password.txt old.msi new.msi"
)
for row in "${cases[@]}"; do
  IFS='|' read -r what message arguments <<<"$row"
  wine_case "$what"
  rc=0
  said=$(cd "$dir" && eval "set -- $arguments" &&
         SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_SOURCE_DIR/scripts/make-hotfix.sh" --out out \
           --make-patch "$HOTFIX_MAKE_PATCH" "$@" 2>&1) || rc=$?
  expect_eq "$rc" 1 "exit code ($said)"
  expect_contains "$said" "$message" "the message"
  diff -r "$dir/out.before" "$out" >/dev/null || fail "$what: the output folder changed: $(diff -r "$dir/out.before" "$out")"
  leftovers=$(find "$dir" -maxdepth 1 -name 'out.partial-*')
  [[ -z $leftovers ]] || fail "$what: left behind $leftovers"
done
