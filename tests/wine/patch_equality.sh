# The proof that a patch make-patch accepts leaves a product equal to a
# fresh install of the new package. Each row installs the old package on
# one Wine machine and applies the patch with msiexec /p, installs the new
# package on a second machine, and compares the two: every file under the
# install folder (names and bytes), the registry values the product writes,
# the components and features registered to it, VersionString, and the
# patch registered on the first; then it uninstalls both and compares what
# is left. The rows of a script share its two machines (one product code
# per row), so each machine boots once.
#
# Source after lib.sh and products.sh, then:
#   equality_machines                   makes the two machines
#   equality_kind KIND                  a row of tests/products/change-product.py's kinds
#   equality_row NAME OLD NEW FOLDER [PATCH_OLD PATCH_NEW]
#                                       a row of given packages: OLD goes on the
#                                       patched machine, NEW on the fresh one;
#                                       the patch is made from OLD and NEW, or
#                                       from PATCH_OLD and PATCH_NEW (images of
#                                       them, say); FOLDER is the install folder
#                                       under Program Files\Korvanta and the key
#                                       under HKLM\Software\Korvanta

CHANGE_PRODUCT=$HOTFIX_SOURCE_DIR/tests/products/change-product.py
equality__state=$HOTFIX_SOURCE_DIR/tests/wine/product_state.py
declare -A equality__prefixes=()

[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"

equality_machines() {
  local machine
  for machine in patched fresh; do
    wine_new_prefix "$machine"
    equality__prefixes[$machine]=$WINEPREFIX
  done
}

equality__use() {
  export WINEPREFIX=${equality__prefixes[$1]:?call equality_machines first}
  WINE_PREFIX_C=$WINEPREFIX/drive_c
}

# A GUID of its own for each row's patch, from the row's name.
equality__patch_code() {
  local hex
  hex=$(printf 'patch of %s' "$1" | md5sum | tr 'a-f' 'A-F')
  printf '{%s-%s-%s-%s-%s}\n' "${hex:0:8}" "${hex:8:4}" "${hex:12:4}" "${hex:16:4}" "${hex:20:12}"
}

equality__property() {  # equality__property MSI NAME
  msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v n="$2" '$1 == n { print $2 }'
}

# equality__snapshot OUT CODE FOLDER [PATCH_CODE]: the state of the
# current machine's product; with PATCH_CODE what is left of it and of the
# patch.
equality__snapshot() {
  local out=$1 code=$2 folder=$3 leftovers=()
  [[ -z ${4:-} ]] || leftovers=(--leftovers "$WINE_PREFIX_C/windows/Installer" "$4")
  wine_run 60 reg export 'HKLM\Software' "$(winpath_of "$out.reg")" /y >/dev/null 2>&1 ||
    fail "reg export HKLM\\Software failed on $WINEPREFIX"
  /usr/bin/python3 "$equality__state" "${leftovers[@]}" "$out.reg" "$WINE_PREFIX_C/Program Files/Korvanta/$folder" \
    "$code" "Korvanta\\$folder" >"$out" || fail "product_state.py failed on $out.reg"
  rm -f "$out.reg"
}

equality__compare() {  # equality__compare WHAT PATCHED FRESH
  local difference
  difference=$(diff "$2" "$3" | grep '^[<>]' | sed 's/^</patched:/; s/^>/fresh:/')
  [[ -z $difference ]] && return 0
  record_failure "$1: the patched product differs from a fresh install in $(grep -c . <<<"$difference") line(s):"$'\n'"$difference"
}

equality_row() {
  local name=$1 old=$2 new=$3 folder=$4 patch_old=${5:-$2} patch_new=${6:-$3}
  wine_case "$name"
  local dir=$WINE_TEST_DIR/$name patch code version patch_code
  mkdir -p "$dir"
  patch=$dir/patch.msp
  code=$(equality__property "$new" ProductCode)
  version=$(equality__property "$new" ProductVersion)
  patch_code=$(equality__patch_code "$name")
  # Not removable: Wine cannot remove a patch, and a row must build without
  # any warning (a table like IniFile would otherwise make it one).
  if ! SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" --no-removal --output "$patch" \
      "$patch_old" "$patch_new" 2>"$dir/make-patch.log"; then
    record_failure "$name: make-patch refused the pair: $(cat "$dir/make-patch.log")"
    return 1
  fi
  [[ ! -s $dir/make-patch.log ]] || record_failure "$name: make-patch warned: $(cat "$dir/make-patch.log")"
  # Wine is lenient: the checker holds the patch against Windows Installer's
  # documented rules too.
  /usr/bin/python3 "$HOTFIX_SOURCE_DIR/tests/patch_checker/check_patch.py" --product "$patch_old" \
    --expect "$patch_new" "$patch" >"$dir/check.log" 2>&1 ||
    record_failure "$name: the checker of Windows Installer's rules refuses the patch: $(cat "$dir/check.log")"

  local rc=0
  equality__use patched
  product_install "$old"
  wine_run 120 msiexec /p "$(winpath_of "$patch")" /qn || rc=$?
  (( rc == 0 )) || record_failure "$name: msiexec /p ended with $rc"
  equality__snapshot "$dir/patched" "$code" "$folder"
  product_info "$code" VersionString
  expect_eq "$PRODUCT_INFO" "$version" "$name: VersionString of the patched product"
  product_patches "$code"
  expect_eq "$(json_field "$PRODUCT_PATCHES" patches.0.code)" "$patch_code" "$name: the patch registered"

  equality__use fresh
  product_install "$new"
  equality__snapshot "$dir/fresh" "$code" "$folder"
  product_info "$code" VersionString
  expect_eq "$PRODUCT_INFO" "$version" "$name: VersionString of the fresh install"
  # Equal is not enough when both leave a feature out: the fresh install
  # must have every file of the new package.
  local missing
  missing=$(awk 'NR == FNR { if (index($0, "file ") == 1) { p = substr($0, 6); sub(/ [0-9a-f]+$/, "", p)
                                                            sub(/.*\//, "", p); have[p] = 1 }; next }
                 !($0 in have)' "$dir/fresh" \
              <(msiinfo export "$new" File | tr -d '\r' | awk -F'\t' 'NR > 3 { n = $3; sub(/.*\|/, "", n); print n }'))
  [[ -z $missing ]] || record_failure "$name: the fresh install lacks files of the new package: ${missing//$'\n'/, }"
  equality__compare "$name, installed" "$dir/patched" "$dir/fresh"

  local machine
  for machine in patched fresh; do
    equality__use "$machine"
    rc=0
    wine_run 120 msiexec /x "$code" /qn || rc=$?
    (( rc == 0 )) || record_failure "$name: msiexec /x on the $machine machine ended with $rc"
    equality__snapshot "$dir/$machine-removed" "$code" "$folder" "$patch_code"
  done
  equality__compare "$name, uninstalled" "$dir/patched-removed" "$dir/fresh-removed"
}

equality_kind() {
  local kind=$1 side
  mkdir -p "$WINE_TEST_DIR/products"
  for side in old new; do
    "$CHANGE_PRODUCT" "$kind" "$side" "$WINE_TEST_DIR/products/$kind-$side.msi" ||
      fail "cannot build the $side package of $kind"
  done
  equality_row "$kind" "$WINE_TEST_DIR/products/$kind-old.msi" "$WINE_TEST_DIR/products/$kind-new.msi" \
    "Quorvel $kind"
}
