#!/bin/bash
# A series of two hotfixes of one family, made by scripts/make-hotfix.sh from
# the German sample product: the first brings 5.2.0.0 to 5.2.1.0 (quore.arx
# and the registry value "Version" change); the second, cumulative, brings
# 5.2.0.0 and 5.2.1.0 to 5.2.2.0, changes notes.txt as well and supersedes
# the first. On three machines (the product patched by the first hotfix,
# still at 5.2.0.0, installed at 5.2.1.0 from its own package) the second
# hotfix ends at 5.2.2.0 with the 5.2.2.0 files and values and one success
# box, a second run finds it up to date, the first hotfix then says it is not
# made for that version and changes nothing, and uninstalling the product
# leaves nothing of either patch behind.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"
family=QuorvelBueroHotfixes
notes_5_2=(--notes --notes-text "Release notes of Quorvel 5.2")

wine_case "the packages of three versions and the two hotfixes"
product_build_sample 0407 5.2.0.0 "${notes_5_2[@]}"; v0=$PRODUCT_MSI code=$PRODUCT_CODE
product_build_sample 0407 5.2.1.0 "${notes_5_2[@]}"; v1=$PRODUCT_MSI
product_build_sample 0407 5.2.2.0 --notes; v2=$PRODUCT_MSI
name=$(awk -F'\t' '$1 == "0407" { print $2 }' "$HOTFIX_SOURCE_DIR/resources/sample/products.tsv")

make_hotfix() {  # make_hotfix OUT PATCH_CODE VERSION [OPTION...] PACKAGES...
  local out=$1 patch_code=$2 version=$3 rc=0
  shift 3
  SOURCE_DATE_EPOCH=1300000000 "$HOTFIX_SOURCE_DIR/scripts/make-hotfix.sh" --out "$out" \
    --build-dir "$WINE_TEST_DIR/build" --make-patch "$HOTFIX_MAKE_PATCH" --patch-code "$patch_code" \
    --title "$name $version" --description "This hotfix updates $name to version $version." \
    --file-location 'https://example.invalid/hotfix.exe' --desc-location 'https://example.invalid/hotfix.html' \
    --family "$family" "$@" >"$out.log" 2>&1 || rc=$?
  (( rc == 0 )) || fail "make-hotfix.sh ended with $rc: $(tail -20 "$out.log")"
}
patch_codes=("{6A0F3B1E-52C4-4D8A-9E17-3B5C2D4E6F70}" "{6A0F3B1E-52C4-4D8A-9E17-3B5C2D4E6F71}")
make_hotfix "$WINE_TEST_DIR/first" "${patch_codes[0]}" 5.2.1.0 "$v0" "$v1"
make_hotfix "$WINE_TEST_DIR/second" "${patch_codes[1]}" 5.2.2.0 --supersede "$v0" "$v2" "$v1" "$v2"
first=$WINE_TEST_DIR/first/hotfix.exe second=$WINE_TEST_DIR/second/hotfix.exe
expect_contains "$(cat "$WINE_TEST_DIR/second.log")" "at 5.2.1.0: patches it to 5.2.2.0" \
  "the closing table of the cumulative hotfix"

# What Wine cannot show (validation as Windows does it, sequencing,
# supersedence, removal), the checker of Windows Installer's rules does.
wine_case "the series as Windows Installer takes it"
check_series() {  # check_series WHAT CHECKER_ARGUMENTS...
  local what=$1 rc=0
  shift
  /usr/bin/python3 "$HOTFIX_SOURCE_DIR/tests/patch_checker/check_patch.py" --removable "$@" \
    >"$WINE_TEST_DIR/checker.out" 2>&1 || rc=$?
  (( rc == 0 )) || record_failure "$what: $(cat "$WINE_TEST_DIR/checker.out")"
}
p1=$WINE_TEST_DIR/first/patch.msp p2=$WINE_TEST_DIR/second/patch.msp
check_series "the first hotfix" --product "$v0" --expect "$v1" --product "$v1" --expect-unchanged \
  --product "$v2" --expect-unchanged "$p1"
check_series "the second hotfix alone" --product "$v0" --expect "$v2" --product "$v1" --expect "$v2" \
  --product "$v2" --expect-unchanged "$p2"
check_series "the second hotfix over the first" --product "$v0" --expect "$v2" "$p1" "$p2"
check_series "the first hotfix over the second" --product "$v0" --expect "$v2" "$p2" "$p1"

product_package_file "$v2" quore.arx "$WINE_TEST_DIR/quore.arx.5.2.2.0"
product_package_file "$v2" notes.txt "$WINE_TEST_DIR/notes.txt.5.2.2.0"

success='{"caption": "Installation erfolgreich", "text": "Der Hotfix wurde erfolgreich installiert.", "icon": "information"}'
# hotfix BOXES_NAME HOTFIX EXPECTED_JSON
hotfix() {
  robot_start "$WINE_TEST_DIR/$1.jsonl" --default ok --timeout 200
  wine_run 240 "$2" || fail "$2 ended with $?, not 0"
  robot_stop || true
  expect_boxes "$WINE_TEST_DIR/$1.jsonl" "$3" "$1"
}
registry_version() {  # REGISTRY_VERSION: the product's "Version" value, or nothing
  local out=$WINE_TEST_DIR/reg.out
  wine_run 60 reg query "HKLM\\Software\\Korvanta\\Quorvel ${code:1:36}" /v Version >"$out" 2>/dev/null || true
  REGISTRY_VERSION=$(tr -d '\r' <"$out" | awk '$1 == "Version" { print $3 }')
}
patched_to_5_2_2() {  # patched_to_5_2_2 MACHINE
  product_info "$code" VersionString
  expect_eq "$PRODUCT_INFO" 5.2.2.0 "$1: VersionString"
  product_folder "$code"
  expect_file_bytes_equal "$PRODUCT_FOLDER_DIR/quore.arx" "$WINE_TEST_DIR/quore.arx.5.2.2.0" "$1: quore.arx"
  expect_file_bytes_equal "$PRODUCT_FOLDER_DIR/notes.txt" "$WINE_TEST_DIR/notes.txt.5.2.2.0" "$1: notes.txt"
  registry_version
  expect_eq "$REGISTRY_VERSION" 5.2.2.0 "$1: the registry value Version"
}
# PATCH_TRACES: how often the registry of the machine names either patch, by
# its code or by the packed form the installer keeps in its keys, and the
# cached copies of patches; the registry files are written out first.
patch_traces() {
  wine_kill_prefix
  local names
  names=$(python3 -c '
import sys
for code in sys.argv[1:]:
    hex = code.strip("{}").split("-")
    packed = hex[0][::-1] + hex[1][::-1] + hex[2][::-1] + "".join(p[i + 1] + p[i] for p in hex[3:] for i in range(0, len(p), 2))
    print(code)
    print(packed)' "${patch_codes[@]}")
  PATCH_TRACES=$(( $(cat "$WINEPREFIX"/*.reg | grep -c -i -F "$names") +
                   $(find "$WINE_PREFIX_C/windows/Installer" -iname '*.msp' | wc -l) ))
}

# The rest of a machine's story once the second hotfix has patched it.
second_then_first_then_removal() {  # MACHINE
  local machine=$1
  hotfix "$machine-second" "$second" "[$success]"
  patched_to_5_2_2 "$machine"
  hotfix "$machine-second-again" "$second" \
    "[{\"caption\": \"Installation Unnecessary\", \"text\": \"Your version of $name is up-to-date and this hotfix is not necessary\"}]"
  cp -a "$PRODUCT_FOLDER_DIR" "$WINE_TEST_DIR/$machine-folder-before-first"
  hotfix "$machine-first-late" "$first" \
    "[{\"caption\": \"Installationsfehler\", \"text\": \"Dieser Hotfix konnte nicht installiert werden, da er nicht für die auf Ihrem Computer installierte Version von $name vorgesehen ist.\"}]"
  patched_to_5_2_2 "$machine after the first hotfix"
  diff -r "$WINE_TEST_DIR/$machine-folder-before-first" "$PRODUCT_FOLDER_DIR" >/dev/null ||
    record_failure "$machine: the first hotfix changed the product's folder"

  patch_traces
  wine_log "$machine: $PATCH_TRACES registry entries and cached copies of the patches before uninstalling"
  (( PATCH_TRACES > 0 )) || record_failure "$machine: no trace of the patches before uninstalling (the check would prove nothing)"
  wine_run 120 msiexec /x "$code" /qn || fail "$machine: msiexec /x ended with $?"
  product_state "$code"
  expect_eq "$PRODUCT_STATE" -1 "$machine: the product's state after uninstalling"
  expect_no_file "$PRODUCT_FOLDER_DIR/quore.arx" "$machine: quore.arx after uninstalling"
  expect_no_file "$PRODUCT_FOLDER_DIR/notes.txt" "$machine: notes.txt after uninstalling"
  registry_version
  expect_eq "$REGISTRY_VERSION" "" "$machine: the registry value Version after uninstalling"
  product_patches "$code"
  expect_eq "$PRODUCT_PATCHES" '{"patches":[]}' "$machine: patches registered after uninstalling"
  patch_traces
  expect_eq "$PATCH_TRACES" 0 "$machine: registry entries and cached copies of the patches after uninstalling"
}

wine_case "machine 1: at 5.2.0.0, the first hotfix, then the second"
wine_new_prefix patched
product_install "$v0"
product_installed "$code"
hotfix first "$first" "[$success]"
product_info "$code" VersionString
expect_eq "$PRODUCT_INFO" 5.2.1.0 "VersionString after the first hotfix"
second_then_first_then_removal patched

wine_case "machine 2: still at 5.2.0.0"
wine_new_prefix unpatched
product_install "$v0"
product_installed "$code"
second_then_first_then_removal unpatched

wine_case "machine 3: installed at 5.2.1.0 from its own package"
wine_new_prefix installed-5.2.1.0
product_install "$v1"
product_installed "$code"
second_then_first_then_removal installed-5.2.1.0
