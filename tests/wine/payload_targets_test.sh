#!/bin/bash
# GetPatchTargets over Wine's own msi.dll: the Template summary property of
# the extracted package and of generated ones, the second read sized from the
# service's answer, relative paths, and clean failures that leave targets as
# they were. The probe passes the real service through a recorder, so each
# case also shows what was asked of msi.dll and that no handle stayed open.
source "$(dirname "$0")/lib.sh"

package=${HOTFIX_PATCH:-$HOTFIX_SOURCE_DIR/resources/sample/sample.msp}
sample=$HOTFIX_SOURCE_DIR/resources/sample/sample.msp
[[ -f $package ]] || fail "no package: $package"
command -v msibuild >/dev/null && command -v msiinfo >/dev/null || fail "msitools (msibuild, msiinfo) missing"
marker='<targets before the call>'
patch_code='{D3F58B26-A41C-4E97-B062-91C7E5A83F14}'

# run_targets OUT PATH [--cwd DIR]: the probe's targets command, output to OUT.
run_targets() {
  local out=$1 path=$2 rc=0
  if [[ ${3:-} == --cwd ]]; then
    wine_run_env 60 --cwd "$4" -- "$HOTFIX_PROBE" targets "$path" >"$out" || rc=$?
  else
    wine_run 60 "$HOTFIX_PROBE" targets "$path" >"$out" || rc=$?
  fi
  expect_eq "$rc" 0 "probe targets [$path] exit code"
}

# expect_read OUT WHAT EXPECTED_TEXT_FILE EXPECTED_READS: a successful read of
# exactly the text in the file, with the reads (JSON) that were made.
expect_read() {
  local out=$1 what=$2 text_file=$3 reads=$4
  local line
  line=$(cat "$out")
  expect_eq "$(json_field "$line" ok)" true "$what: ok"
  expect_eq "$(json_field "$line" untouched)" false "$what: targets replaced"
  expect_eq "$(json_field "$line" length)" "$(tr -d '\n' <"$text_file" | wc -m)" "$what: length"
  json_field "$line" targets >"$WINE_TEST_DIR/got.txt"
  cmp -s "$WINE_TEST_DIR/got.txt" "$text_file" ||
    wine__record_failure "$what: the text differs from the Template (got $(wc -c <"$WINE_TEST_DIR/got.txt") bytes, want $(wc -c <"$text_file"))"
  expect_eq "$(json_field "$line" reads)" "$reads" "$what: reads of property 7"
  expect_eq "$(json_field "$line" handlesLeftOpen)" 0 "$what: handles left open"
}

# template_of PACKAGE: the Template as msitools reads it.
template_of() { msiinfo suminfo "$1" | sed -n 's/^Template: //p'; }

wine_new_prefix main
work=$WINE_PREFIX_C/work
mkdir -p "$work/sub"

wine_case "the extracted package"
extracted=$work/extracted.msp
rc=0
wine_run 60 "$HOTFIX_PROBE" extract "$(winpath_of "$extracted")" >"$WINE_TEST_DIR/extract.json" || rc=$?
expect_eq "$(json_field "$(cat "$WINE_TEST_DIR/extract.json")" ok)" true "extract the embedded package" ||
  fail "no package to read"
template_of "$package" >"$WINE_TEST_DIR/template.txt"
[[ -s $WINE_TEST_DIR/template.txt ]] || fail "msiinfo shows no Template in $package"
run_targets "$WINE_TEST_DIR/extracted.json" "$(winpath_of "$extracted")"
length=$(tr -d '\n' <"$WINE_TEST_DIR/template.txt" | wc -m)
expect_read "$WINE_TEST_DIR/extracted.json" "extracted package" "$WINE_TEST_DIR/template.txt" \
  "[{\"capacity\": 2048, \"status\": 0, \"length\": $length}]"
got=$(json_field "$(cat "$WINE_TEST_DIR/extracted.json")" targets)
# The form the installation and the patch list rely on: brace GUIDs in upper
# case joined by ";" and nothing after the last.
[[ $got =~ ^(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}\;)*\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$ ]] ||
  wine__record_failure "extracted package: targets are not brace GUIDs joined by ';': [$got]"
if cmp -s "$package" "$sample"; then
  IFS=';' read -ra codes <<<"$got"
  expect_eq "${#codes[@]}" 21 "sample package: product codes"
  expect_eq "${#got}" 818 "sample package: characters"
else
  wine_log "note: a package other than the sample is embedded; its code count is not checked"
fi

wine_case "Templates around the first buffer of 2048 units"
# Texts longer than any GUID list need not be GUIDs: the reader passes on
# whatever is stored.
# length | reads expected (capacity:status pairs) -- why
length_cases=(
  "2047|2048:0"             # fills the first buffer with its terminator: one read
  "2048|2048:234 2049:0"    # one unit too many: a second read of exactly length + 1
  "3000|2048:234 3001:0"    # well beyond: read whole in the second attempt
)
for entry in "${length_cases[@]}"; do
  IFS='|' read -r n steps <<<"$entry"
  text=$(python3 -c '
import sys
n = int(sys.argv[1])
codes = ";".join("{7C4A19E2-6007-%04X-9B3D-4E81A6F25C07}" % i for i in range(n // 39 + 2))
print(codes[:n - 4] + "tail")' "$n")
  printf '%s\n' "$text" >"$WINE_TEST_DIR/long-$n.txt"
  rm -f "$work/long-$n.msp"
  msibuild "$work/long-$n.msp" -s "Template of $n" Korvanta "$text" "$patch_code" ||
    { wine__record_failure "msibuild could not make a package with a $n-unit Template"; continue; }
  expect_eq "$(template_of "$work/long-$n.msp" | tr -d '\n' | wc -m)" "$n" "generated package $n: msitools reads it back"
  reads=""
  for step in $steps; do
    reads+="${reads:+, }{\"capacity\": ${step%%:*}, \"status\": ${step#*:}, \"length\": $n}"
  done
  run_targets "$WINE_TEST_DIR/long-$n.json" "$(winpath_of "$work/long-$n.msp")"
  expect_read "$WINE_TEST_DIR/long-$n.json" "Template of $n units" "$WINE_TEST_DIR/long-$n.txt" "[$reads]"
done

wine_case "relative paths are resolved against the current directory"
cp "$extracted" "$work/sub/relative.msp"
# path | current directory | full path the service is asked to open -- why
relative_cases=(
  'relative.msp|C:\work\sub|C:\work\sub\relative.msp'            # a bare file name
  'sub\relative.msp|C:\work|C:\work\sub\relative.msp'            # a relative folder
  '..\sub\.\relative.msp|C:\work\sub|C:\work\sub\relative.msp'   # dot segments are folded
  '\work\sub\relative.msp|C:\work|C:\work\sub\relative.msp'      # rooted on the current drive
)
n=0
for entry in "${relative_cases[@]}"; do
  IFS='|' read -r path cwd full <<<"$entry"
  n=$((n + 1))
  run_targets "$WINE_TEST_DIR/relative-$n.json" "$path" --cwd "$cwd"
  line=$(cat "$WINE_TEST_DIR/relative-$n.json")
  expect_eq "$(json_field "$line" opened)" "[\"${full//\\/\\\\}\"]" "[$path] in $cwd: path opened"
  expect_read "$WINE_TEST_DIR/relative-$n.json" "[$path] in $cwd" "$WINE_TEST_DIR/template.txt" \
    "[{\"capacity\": 2048, \"status\": 0, \"length\": $length}]"
done

wine_case "a package without Template text"
rm -f "$work/no-template.msp"
msibuild "$work/no-template.msp" -s "No Template" Korvanta "" "$patch_code" ||
  fail "msibuild could not make a package with an empty Template"
run_targets "$WINE_TEST_DIR/no-template.json" "$(winpath_of "$work/no-template.msp")"
line=$(cat "$WINE_TEST_DIR/no-template.json")
expect_eq "$(json_field "$line" ok)" true "empty Template: ok"
expect_eq "$(json_field "$line" targets)" "" "empty Template: targets emptied"
expect_eq "$(json_field "$line" handlesLeftOpen)" 0 "empty Template: handles left open"

wine_case "failures leave targets untouched"
printf 'This is not an installer package.\r\n' >"$work/not-a-package.msp"
head -c 1536 "$extracted" >"$work/truncated.msp"
long_name=$(printf 'a%.0s' $(seq 1 270)).msp
# path | whether the service is asked (opened) -- why
failure_cases=(
  'C:\work\missing.msp|asked'        # no such file
  'C:\work\not-a-package.msp|asked'  # a text file
  'C:\work\truncated.msp|asked'      # a compound file cut short
  'C:\work\sub|asked'                # a directory
  "C:\\work\\$long_name|not asked"   # full path longer than 260 units
  '|not asked'                       # empty path
)
for entry in "${failure_cases[@]}"; do
  IFS='|' read -r path asked <<<"$entry"
  what="[${path:0:40}]"
  out=$WINE_TEST_DIR/failure.json
  run_targets "$out" "$path"
  line=$(cat "$out")
  expect_eq "$(json_field "$line" ok)" false "$what: ok"
  expect_eq "$(json_field "$line" untouched)" true "$what: targets untouched"
  expect_eq "$(json_field "$line" targets)" "$marker" "$what: targets text"
  expect_eq "$(json_field "$line" reads)" "[]" "$what: no property read"
  expect_eq "$(json_field "$line" handlesLeftOpen)" 0 "$what: handles left open"
  if [[ $asked == asked ]]; then
    expect_eq "$(json_field "$line" opened)" "[\"${path//\\/\\\\}\"]" "$what: path given to the service"
  else
    expect_eq "$(json_field "$line" opened)" "[]" "$what: the service is not asked"
  fi
done
