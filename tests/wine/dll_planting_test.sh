#!/bin/bash
# A hostile msi.dll planted beside the programs (as in a Downloads folder)
# must never be loaded: the hotfix loads msi.dll from the system directory
# only and imports it nowhere. With WINEDLLOVERRIDES="msi=n,b" Wine searches
# like Windows, program folder first; the planted DLL leaves a marker file
# beside itself when it is loaded. A control program that imports msi.dll
# statically shows the set-up does catch a loaded DLL.
source "$(dirname "$0")/lib.sh"

# Built by tests/tools/hostile_msi; HOTFIX_HOSTILE_MSI and
# HOTFIX_STATIC_MSI_CLIENT name other builds of them.
hostile_dir=$HOTFIX_BUILD_DIR/tests/tools/hostile_msi
hostile_dll=${HOTFIX_HOSTILE_MSI:-$hostile_dir/planted/msi.dll}
static_client=${HOTFIX_STATIC_MSI_CLIENT:-$hostile_dir/static_msi_client.exe}
package=${HOTFIX_PATCH:-$HOTFIX_SOURCE_DIR/resources/sample/sample.msp}
for file in "$hostile_dll" "$static_client" "$HOTFIX_PROBE" "$HOTFIX_EXE" "$package"; do
  [[ -f $file ]] || fail "$file has not been built"
done
expected_targets=$(msiinfo suminfo "$package" | sed -n 's/^Template: //p')
[[ -n $expected_targets ]] || fail "msiinfo shows no Template in $package"

imports_of() { "$HOTFIX_OBJDUMP" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'; }

wine_case "import tables"
# file | must msi.dll be imported (yes/no) -- why
import_cases=(
  "$HOTFIX_EXE|no"       # the product binds msi.dll at run time, from System32
  "$HOTFIX_PROBE|no"     # else this test would see the probe's own import, not the adapter
  "$static_client|yes"   # the control: the check sees an import where there is one
)
for entry in "${import_cases[@]}"; do
  IFS='|' read -r file wanted <<<"$entry"
  if imports_of "$file" | grep -qxF msi.dll; then has=yes; else has=no; fi
  expect_eq "$has" "$wanted" "$(basename "$file") imports msi.dll"
done
exports=$("$HOTFIX_OBJDUMP" -p "$hostile_dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for name in MsiGetSummaryInformationW MsiSummaryInfoGetPropertyW MsiQueryProductStateW \
  MsiGetProductInfoW MsiOpenDatabaseW MsiDatabaseOpenViewW MsiViewExecute MsiViewFetch \
  MsiRecordGetStringW MsiRecordSetStringW MsiViewModify MsiDatabaseCommit MsiCloseHandle \
  MsiConfigureProductExW; do
  [[ $exports == *"] $name"* ]] || wine__record_failure "the planted msi.dll does not export $name"
done

wine_new_prefix main
export WINEDLLOVERRIDES="msi=n,b"
# A Downloads folder holding the programs and the planted DLL; the programs
# run with it as their current directory too.
downloads=$WINE_PREFIX_C/users/Public/Downloads
mkdir -p "$downloads"
cp "$HOTFIX_PROBE" "$downloads/probe.exe"
cp "$HOTFIX_EXE" "$downloads/hotfix.exe"
cp "$static_client" "$downloads/static_msi_client.exe"
cp "$hostile_dll" "$downloads/msi.dll"
marker=$downloads/hostile_msi_loaded.txt
win_downloads=$(winpath_of "$downloads")
cp "$package" "$WINE_PREFIX_C/package.msp"

# in_downloads OUT EXE ARGS...: runs EXE from the Downloads folder with that
# folder as its current directory; output to OUT.
in_downloads() {
  local out=$1 exe=$2; shift 2
  local rc=0
  wine_run_env 60 --cwd "$win_downloads" -- "$win_downloads\\$exe" "$@" >"$out" || rc=$?
  expect_eq "$rc" 0 "$exe $* exit code"
}

wine_case "control: a static import of msi.dll loads the planted DLL"
in_downloads "$WINE_TEST_DIR/control.txt" static_msi_client.exe
expect_file_exists "$marker" "marker after the static importer ran" &&
  expect_contains "$(cat "$marker")" "loaded-by $win_downloads\\static_msi_client.exe" "marker" &&
  expect_contains "$(cat "$marker")" "MsiQueryProductStateW" "marker: the planted code ran"
# The planted DLL refuses everything: the real service would answer 1 (unknown product).
expect_eq "$(tr -d '\r' <"$WINE_TEST_DIR/control.txt")" "state=-1" "static importer's answer"
rm -f "$marker"

wine_case "the probe: msi.dll comes from System32, the planted one is not loaded"
# mode | restricted | available -- why
dll_modes=(
  "program|true|true"              # as the program starts: search restricted, then the adapter
  "adapter-only|null|true"         # the adapter's own load names System32 even without the restriction
  "restriction-only|true|null"     # the restriction keeps even a plain LoadLibraryW("msi.dll") out
)
for entry in "${dll_modes[@]}"; do
  IFS='|' read -r mode restricted available <<<"$entry"
  in_downloads "$WINE_TEST_DIR/dll-check-$mode.json" probe.exe dll-check "$mode"
  line=$(cat "$WINE_TEST_DIR/dll-check-$mode.json")
  expect_eq "$(json_field "$line" restricted)" "$restricted" "$mode: default DLL search restricted"
  expect_eq "$(json_field "$line" available)" "$available" "$mode: installer service available"
  expect_eq "$(json_field "$line" msiModules)" '["C:\\windows\\system32\\msi.dll"]' "$mode: msi.dll modules loaded"
  expect_no_file "$marker" "marker after probe dll-check $mode"
  rm -f "$marker"
done

wine_case "the probe: the real service reads the Template"
in_downloads "$WINE_TEST_DIR/targets.json" probe.exe targets 'C:\package.msp'
line=$(cat "$WINE_TEST_DIR/targets.json")
expect_eq "$(json_field "$line" ok)" true "targets through the service: ok"
expect_eq "$(json_field "$line" targets)" "$expected_targets" "targets through the service"
expect_no_file "$marker" "marker after probe targets"

wine_case "hotfix.exe /i: the box shows the codes read by the real service"
boxes=$WINE_TEST_DIR/boxes.jsonl
robot_start "$boxes" --answers ok --timeout 120
in_downloads "$WINE_TEST_DIR/hotfix-i.txt" hotfix.exe /i
robot_stop
expect_eq "$?" 0 "robot exit code"
expected_box=$(python3 -c 'import json, sys; print(json.dumps([{"caption": "List of Products", "text": sys.argv[1], "icon": "none", "buttons": [1], "process": "hotfix.exe", "answer": "ok"}]))' \
  "$expected_targets")
expect_boxes "$boxes" "$expected_box" "the /i box"
expect_no_file "$marker" "marker after hotfix.exe /i"
