# Installed Quorvel products for the Wine tests: building them from
# tests/products, installing them into the current prefix, finding their
# cached packages, and running their program quor.exe. Source it after
# lib.sh, call wine_new_prefix, then:
#
#   product_target_codes [MSP]          PRODUCT_TARGET_CODES: the Template of
#                                       MSP (default the sample patch), in order
#   product_code_for_language LCID      PRODUCT_CODE: the sample patch's code
#                                       for that language variant (1031 ->
#                                       {7C4A19E2-6007-0407-...}), listed or not
#   product_unlisted_code               PRODUCT_CODE: a code of the same family
#                                       that the sample patch does not list
#   product_build CODE NAME LANGUAGE VERSION [OPTIONS...]
#                                       PRODUCT_MSI: a package built into the
#                                       test's scratch directory; OPTIONS are
#                                       make-product.sh's (--without NAME,
#                                       --no-registry-table, --fail-on-patch,
#                                       --folder NAME, ...)
#   product_build_sample LANGUAGE_HEX VERSION [OPTIONS...]
#                                       PRODUCT_MSI and PRODUCT_CODE: that
#                                       variant of the sample products, as the
#                                       sample patch was made from it
#   product_install MSI [SECONDS]       msiexec /i MSI /qn, bounded
#   product_installed CODE [FOLDER]     checks an installed product (state 5,
#                                       quor.exe in place) and sets
#                                       PRODUCT_FOLDER(_DIR) and
#                                       PRODUCT_LOCAL_PACKAGE(_FILE)
#   product_package_file MSI NAME OUT   copies the file NAME that MSI
#                                       installs (from its cabinet) to OUT
#   product_patches CODE                PRODUCT_PATCHES: the probe's JSON of
#                                       the patches registered for CODE
#   product_add CODE NAME LANGUAGE VERSION [OPTIONS...]
#                                       builds and installs, checks the product
#                                       is installed (state 5), and sets
#                                       PRODUCT_MSI, PRODUCT_FOLDER(_DIR) and
#                                       PRODUCT_LOCAL_PACKAGE(_FILE)
#   product_state CODE                  PRODUCT_STATE (MsiQueryProductStateW)
#   product_info CODE PROPERTY          PRODUCT_INFO (MsiGetProductInfoW)
#   product_local_package CODE          PRODUCT_LOCAL_PACKAGE (as the installer
#                                       reports it, C:\windows\Installer\...)
#                                       and PRODUCT_LOCAL_PACKAGE_FILE (its
#                                       Linux path); fails if there is none
#   product_folder CODE                 PRODUCT_FOLDER (Windows) and
#                                       PRODUCT_FOLDER_DIR (Linux): where its
#                                       quor.exe is installed
#   quor_start ID CODE [IMAGE_NAME]     starts the product's installed quor.exe
#                                       and returns once it runs; with
#                                       IMAGE_NAME (QUOR.EXE, Quor.Exe, ...)
#                                       a copy of it under that name, in a
#                                       folder of the scratch directory
#                                       (QUOR_EXE: the Windows path started)
#   quor_running ID                     0 while instance ID runs
#   quor_stop ID [SECONDS]              tells it to stop and waits until it
#                                       has exited; fails past SECONDS (20)
#   quor_stop_all                       stops every instance still running
#   quor_wait_none [NAME] [SECONDS]     waits until the process list holds no
#                                       NAME (default quor.exe, any case)
#
# Results come in variables, not on stdout: the probe runs in this shell, so
# a timeout can end the test (see wine_run). Environment: HOTFIX_QUOR (the
# quor.exe to package), HOTFIX_SAMPLE_PATCH (the patch whose Template names
# the products).

HOTFIX_QUOR=${HOTFIX_QUOR:-$HOTFIX_BUILD_DIR/tests/tools/quor/quor.exe}
HOTFIX_SAMPLE_PATCH=${HOTFIX_SAMPLE_PATCH:-$HOTFIX_SOURCE_DIR/resources/sample/sample.msp}
PRODUCT_MAKER=$HOTFIX_SOURCE_DIR/tests/products/make-product.sh
PRODUCT_SAMPLE_MAKER=$HOTFIX_SOURCE_DIR/tests/products/sample-product.sh
PRODUCT_DEFAULT_NAME="Quorvel Professional Edition 2011"
# The sample patch's codes differ only in their third group, the language.
products__code_head="7C4A19E2-6007"
products__code_tail="9B3D-4E81A6F25C07"
# Ukrainian: a variant the sample patch does not list.
products__unlisted_language=1058
# Its life in seconds unless stopped: no test leaves it behind for long.
QUOR_LIFETIME=${QUOR_LIFETIME:-300}

declare -A products__folders=()   # product code -> its folder name under Korvanta
products__built=0
declare -A quor__pids=() quor__stop_files=() quor__ready_files=()

# Runs the probe into a file of the scratch directory (so that wine_run can
# end the test on a timeout) and leaves its output in products__out.
products__probe() {
  local limit=$1; shift
  local file=$WINE_TEST_DIR/products-probe.out rc=0
  wine_run "$limit" "$HOTFIX_PROBE" "$@" >"$file" || rc=$?
  products__out=$(cat "$file")
  return $rc
}

product_target_codes() {
  local patch=${1:-$HOTFIX_SAMPLE_PATCH} template
  template=$(msiinfo suminfo "$patch" | tr -d '\r' | sed -n 's/^Template: //p')
  [[ -n $template ]] || fail "no Template in $patch"
  IFS=';' read -r -a PRODUCT_TARGET_CODES <<<"$template"
}

product_code_for_language() {
  local lcid=${1:?product_code_for_language LCID}
  PRODUCT_CODE=$(printf '{%s-%04X-%s}' "$products__code_head" "$lcid" "$products__code_tail")
}

product_unlisted_code() {
  product_code_for_language "$products__unlisted_language"
  local code=$PRODUCT_CODE listed
  product_target_codes
  for listed in "${PRODUCT_TARGET_CODES[@]}"; do
    [[ $listed != "$code" ]] || fail "$code was meant to be unlisted, but the sample patch lists it"
  done
  PRODUCT_CODE=$code
}

product_build() {
  (( $# >= 4 )) || fail "product_build CODE NAME LANGUAGE VERSION [OPTIONS...]"
  local code=$1 name=$2 language=$3 version=$4; shift 4
  [[ -f $HOTFIX_QUOR ]] || fail "no quor.exe at $HOTFIX_QUOR (build the quor target)"
  products__built=$((products__built + 1))
  mkdir -p "$WINE_TEST_DIR/products"
  PRODUCT_MSI=$WINE_TEST_DIR/products/product-$products__built-${code:1:36}.msi
  "$PRODUCT_MAKER" --quor "$HOTFIX_QUOR" "$@" "$code" "$name" "$language" "$version" \
    "$PRODUCT_MSI" >"$WINE_TEST_DIR/products/product-$products__built.log" 2>&1 ||
    fail "cannot build product $code: $(cat "$WINE_TEST_DIR/products/product-$products__built.log")"
}

product_install() {
  local msi=${1:?product_install MSI [SECONDS]} limit=${2:-120} rc=0
  wine_run "$limit" msiexec /i "$(winpath_of "$msi")" /qn || rc=$?
  (( rc == 0 )) || fail "msiexec /i $msi /qn failed with $rc"
}

product_add() {
  (( $# >= 4 )) || fail "product_add CODE NAME LANGUAGE VERSION [OPTIONS...]"
  local code=$1 folder="Quorvel ${1:1:36}" arg previous=""
  for arg in "${@:5}"; do
    [[ $previous == --folder ]] && folder=$arg
    previous=$arg
  done
  product_build "$@"
  product_install "$PRODUCT_MSI"
  product_installed "$code" "$folder"
}

product_build_sample() {
  (( $# >= 2 )) || fail "product_build_sample LANGUAGE_HEX VERSION [OPTIONS...]"
  local language=$1 version=$2; shift 2
  [[ -f $HOTFIX_QUOR ]] || fail "no quor.exe at $HOTFIX_QUOR (build the quor target)"
  products__built=$((products__built + 1))
  mkdir -p "$WINE_TEST_DIR/products"
  PRODUCT_MSI=$WINE_TEST_DIR/products/sample-$products__built-$language-$version.msi
  "$PRODUCT_SAMPLE_MAKER" --quor "$HOTFIX_QUOR" "$language" "$version" "$PRODUCT_MSI" "$@" \
    >"$WINE_TEST_DIR/products/sample-$products__built.log" 2>&1 ||
    fail "cannot build sample product $language $version: $(cat "$WINE_TEST_DIR/products/sample-$products__built.log")"
  product_code_for_language "$((16#$language))"
}

product_installed() {
  local code=${1:?product_installed CODE [FOLDER]} folder=${2:-"Quorvel ${1:1:36}"}
  products__folders[$code]=$folder
  product_state "$code"
  [[ $PRODUCT_STATE == 5 ]] || fail "product $code is in state $PRODUCT_STATE after installing, not 5"
  product_folder "$code"
  [[ -f $PRODUCT_FOLDER_DIR/quor.exe ]] || fail "quor.exe is not installed in $PRODUCT_FOLDER_DIR"
  product_local_package "$code"
}

product_package_file() {
  local msi=${1:?product_package_file MSI FILE OUT} name=${2:?} out=${3:?}
  local dir
  dir=$(mktemp -d "$WINE_TEST_DIR/cab.XXXXXX")
  msiinfo extract "$msi" product.cab >"$dir/product.cab" || fail "no product.cab in $msi"
  gcab -x -C "$dir" "$dir/product.cab" >/dev/null || fail "cannot extract the cabinet of $msi"
  [[ -f $dir/$name ]] || fail "$msi installs no $name"
  cp "$dir/$name" "$out"
  rm -rf "$dir"
}

product_patches() {
  local code=${1:?product_patches CODE}
  products__probe 60 patches "$code" || fail "probe patches $code failed"
  PRODUCT_PATCHES=$products__out
}

product_state() {
  local code=${1:?product_state CODE}
  products__probe 60 product-state "$code" || fail "probe product-state $code failed with $?: $products__out"
  PRODUCT_STATE=$(json_field "$products__out" state) || fail "probe product-state: $products__out"
}

product_info() {
  local code=${1:?product_info CODE PROPERTY} property=${2:?product_info CODE PROPERTY}
  products__probe 60 product-info "$code" "$property" || fail "probe product-info $code $property failed with $?: $products__out"
  PRODUCT_INFO=$products__out
}

product_local_package() {
  local code=${1:?product_local_package CODE}
  product_info "$code" LocalPackage
  [[ -n $PRODUCT_INFO ]] || fail "product $code has no LocalPackage"
  PRODUCT_LOCAL_PACKAGE=$PRODUCT_INFO
  # The service names it in lower case as a rule; find the file whatever
  # the case of its name on disk.
  local linux dir base found
  linux=$(unixpath_of "$PRODUCT_LOCAL_PACKAGE") || fail "LocalPackage $PRODUCT_LOCAL_PACKAGE is not on C: or Z:"
  dir=$(dirname "$linux") base=$(basename "$linux")
  found=$(find "$dir" -maxdepth 1 -iname "$base" -print -quit 2>/dev/null)
  [[ -n $found && -f $found ]] || fail "the cached package $PRODUCT_LOCAL_PACKAGE ($linux) does not exist"
  PRODUCT_LOCAL_PACKAGE_FILE=$found
}

product_folder() {
  local code=${1:?product_folder CODE}
  local folder=${products__folders[$code]:-"Quorvel ${code:1:36}"}
  PRODUCT_FOLDER="C:\\Program Files\\Korvanta\\$folder"
  PRODUCT_FOLDER_DIR="$WINEPREFIX/drive_c/Program Files/Korvanta/$folder"
}

quor_start() {
  local id=${1:?quor_start ID CODE [IMAGE_NAME]} code=${2:?quor_start ID CODE [IMAGE_NAME]}
  local image=${3:-quor.exe}
  wine__need_prefix
  [[ -z ${quor__pids[$id]:-} ]] || fail "quor instance $id is running already"
  product_folder "$code"
  local exe=$PRODUCT_FOLDER\\quor.exe
  [[ -f $PRODUCT_FOLDER_DIR/quor.exe ]] || fail "no installed quor.exe in $PRODUCT_FOLDER_DIR"
  local dir=$WINE_TEST_DIR/quor/$id
  rm -rf "$dir"
  mkdir -p "$dir"
  if [[ $image != quor.exe ]]; then
    cp "$PRODUCT_FOLDER_DIR/quor.exe" "$dir/$image" || fail "cannot copy quor.exe to $dir/$image"
    exe=$(winpath_of "$dir/$image")
  fi
  QUOR_EXE=$exe
  quor__stop_files[$id]=$dir/stop
  quor__ready_files[$id]=$dir/ready
  timeout --kill-after=5 $((QUOR_LIFETIME + 30)) "$HOTFIX_WINE" "$exe" \
    "$(winpath_of "$dir/stop")" "$(winpath_of "$dir/ready")" "$QUOR_LIFETIME" \
    </dev/null >"$dir/log" 2>&1 &
  quor__pids[$id]=$!
  local deadline=$(( $(wine__now_ms) + 30000 ))
  until [[ -e $dir/ready ]]; do
    if ! kill -0 "${quor__pids[$id]}" 2>/dev/null; then
      local rc=0
      wait "${quor__pids[$id]}" || rc=$?
      unset 'quor__pids[$id]'
      fail "quor instance $id ($exe) exited with $rc before it was ready: $(cat "$dir/log")"
    fi
    (( $(wine__now_ms) < deadline )) || fail "quor instance $id ($exe) not ready within 30 s"
    sleep 0.05
  done
}

quor_running() {
  local pid=${quor__pids[${1:?quor_running ID}]:-}
  [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null
}

quor_stop() {
  local id=${1:?quor_stop ID [SECONDS]} limit=${2:-20}
  local pid=${quor__pids[$id]:-}
  [[ -n $pid ]] || fail "quor instance $id was not started"
  touch "${quor__stop_files[$id]}"
  local deadline=$(( $(wine__now_ms) + limit * 1000 ))
  while kill -0 "$pid" 2>/dev/null; do
    if (( $(wine__now_ms) >= deadline )); then
      kill "$pid" 2>/dev/null
      unset 'quor__pids[$id]'
      fail "quor instance $id did not stop within ${limit}s"
    fi
    sleep 0.05
  done
  local rc=0
  wait "$pid" || rc=$?
  unset 'quor__pids[$id]'
  (( rc == 0 )) || fail "quor instance $id ended with $rc, not 0 (told to stop)"
  [[ ! -e ${quor__ready_files[$id]} ]] || fail "quor instance $id left its ready file behind"
}

quor_stop_all() {
  local id
  for id in "${!quor__pids[@]}"; do quor_stop "$id"; done
}

quor_wait_none() {
  local name=${1:-quor.exe} limit=${2:-20}
  local deadline=$(( $(wine__now_ms) + limit * 1000 ))
  while :; do
    products__probe 60 running "$name" || true
    [[ $(json_field "$products__out" running 2>/dev/null) == false ]] && return 0
    (( $(wine__now_ms) < deadline )) || fail "a process named $name still runs after ${limit}s ($products__out)"
    sleep 0.1
  done
}
