#!/bin/bash
# ExtractPatch over the real platform: the program's own "MSP"/"IDR_MSP"
# resource written byte for byte to a given path, and to temporary names
# "MSP<n>" from the process-wide counter, in the temporary directory or TMP.
source "$(dirname "$0")/lib.sh"

# The package the build embedded (the sample unless a release engineer chose
# another).
package=${HOTFIX_PATCH:-$HOTFIX_SOURCE_DIR/resources/sample/sample.msp}
[[ -f $package ]] || fail "no package to compare with: $package"
# A text-mode write would turn LF into CR LF: the comparison only shows that
# when the package holds an LF byte.
[[ $(tr -dc '\n' <"$package" | wc -c) -gt 0 ]] ||
  wine_log "note: $package holds no LF byte, so line-end translation would go unnoticed"

# probe_to OUT ARGS...: runs the probe with ARGS, its output to OUT.
probe_to() {
  local out=$1; shift
  local rc=0
  wine_run 60 "$HOTFIX_PROBE" "$@" >"$out" || rc=$?
  expect_eq "$rc" 0 "probe $* exit code"
}

wine_new_prefix main
out_dir=$WINE_PREFIX_C/extracted
mkdir -p "$out_dir"

wine_case "given paths"
# name of the target under $out_dir | what is there before (none, or a size
# in bytes of filler) -- why
given_cases=(
  "fresh.msp|none"          # a new file is created
  "longer.msp|100000"       # an existing longer file is truncated, not overwritten in place
  "shorter.msp|10"          # an existing shorter file grows to the package
  "no extension|none"       # the name is used as given
)
n=0
for entry in "${given_cases[@]}"; do
  IFS='|' read -r name before <<<"$entry"
  n=$((n + 1))
  target=$out_dir/$name
  [[ $before == none ]] || head -c "$before" /dev/zero | tr '\0' 'x' >"$target"
  probe_to "$WINE_TEST_DIR/given-$n.json" extract "$(winpath_of "$target")"
  line=$(cat "$WINE_TEST_DIR/given-$n.json")
  expect_eq "$(json_field "$line" ok)" true "extract to $name ($before before): ok"
  expect_eq "$(json_field "$line" result)" written "extract to $name: result"
  expect_eq "$(json_field "$line" path)" "$(winpath_of "$target")" "extract to $name: path after the call"
  expect_eq "$(json_field "$line" pathChanged)" false "extract to $name: path unchanged"
  expect_file_bytes_equal "$target" "$package" "extract to $name ($before before)"
done

wine_case "a path outside drive C: and with characters beyond ASCII"
# Through an exact command line: Linux arguments would depend on the locale.
unicode_dir="$WINE_TEST_DIR/Grüße 日本"
mkdir -p "$unicode_dir"
unicode_target="$unicode_dir/paquete ñ.msp"
rc=0
wine_run_cmdline 60 "$HOTFIX_PROBE" "probe.exe extract \"$(winpath_of "$unicode_target")\"" \
  >"$WINE_TEST_DIR/unicode.json" || rc=$?
expect_eq "$rc" 0 "probe extract (Unicode path) exit code"
line=$(cat "$WINE_TEST_DIR/unicode.json")
expect_eq "$(json_field "$line" ok)" true "extract to a Unicode path: ok"
expect_eq "$(json_field "$line" path)" "$(winpath_of "$unicode_target")" "extract to a Unicode path: path"
expect_file_bytes_equal "$unicode_target" "$package" "extract to a Unicode path"

wine_case "a path in a missing directory"
missing=$WINE_PREFIX_C/no-such-dir/sub/out.msp
probe_to "$WINE_TEST_DIR/missing.json" extract "$(winpath_of "$missing")"
line=$(cat "$WINE_TEST_DIR/missing.json")
expect_eq "$(json_field "$line" ok)" false "extract into a missing directory: ok"
expect_eq "$(json_field "$line" result)" open-failed "extract into a missing directory: result"
expect_eq "$(json_field "$line" pathChanged)" false "extract into a missing directory: path unchanged"
expect_no_file "$WINE_PREFIX_C/no-such-dir" "extract into a missing directory: nothing created"

# ---------------------------------------------------------------- temporary names

# Sets temp to the prefix's temporary directory on the Linux side: the Temp
# of its only user.
find_temp_dir() {
  local d found=()
  for d in "$WINE_PREFIX_C"/users/*/Temp; do
    [[ -d $d && $d != */users/Public/Temp ]] && found+=("$d")
  done
  (( ${#found[@]} == 1 )) || fail "expected one users/*/Temp in $WINE_PREFIX_C, found: ${found[*]:-none}"
  temp=${found[0]}
}

# check_temp_run OUT WHAT EXPECTED_NAMES...: the probe's extract-temp output
# in OUT names these files in its temporary directory, in order, each holding
# the package.
check_temp_run() {
  local out=$1 what=$2; shift 2
  local header temp_path
  header=$(json_line "$out" 1)
  temp_path=$(json_field "$header" tempPath)
  [[ $temp_path =~ ^C:\\users\\[^\\]+\\Temp\\$ ]] ||
    wine__record_failure "$what: GetTempPathW gave [$temp_path], not C:\\users\\<user>\\Temp\\"
  local i=0 expected
  for expected in "$@"; do
    i=$((i + 1))
    local line
    line=$(json_line "$out" $((i + 1)))
    expect_eq "$(json_field "$line" ok)" true "$what, extraction $i: ok"
    expect_eq "$(json_field "$line" path)" "$temp_path$expected" "$what, extraction $i: name"
    expect_file_bytes_equal "$(unixpath_of "$temp_path$expected")" "$package" "$what, extraction $i"
  done
  expect_eq "$(wc -l <"$out")" $(($# + 1)) "$what: lines of output"
}

wine_case "temporary names in a fresh process: MSP2, then MSP3"
find_temp_dir
leftovers=$(find "$temp" -maxdepth 1 -name 'MSP*' -printf '%f ')
[[ -z $leftovers ]] || fail "the fresh prefix's $temp already holds $leftovers"
probe_to "$WINE_TEST_DIR/temp-fresh.jsonl" extract-temp 2
check_temp_run "$WINE_TEST_DIR/temp-fresh.jsonl" "fresh temporary directory" MSP2 MSP3

wine_case "existing names are skipped, free ones are not"
wine_new_prefix skip
find_temp_dir
printf 'keep me' >"$temp/MSP2"   # a file of the first name
mkdir "$temp/MSP4"               # a directory counts as taken too
probe_to "$WINE_TEST_DIR/temp-skip.jsonl" extract-temp 2
check_temp_run "$WINE_TEST_DIR/temp-skip.jsonl" "MSP2 and MSP4 taken" MSP3 MSP5
expect_eq "$(cat "$temp/MSP2")" "keep me" "the existing MSP2 is left alone"
[[ -d $temp/MSP4 ]] || wine__record_failure "the existing directory MSP4 is gone"

wine_case "an empty path on the extract command line (as /e without a path)"
probe_to "$WINE_TEST_DIR/empty.json" extract ""
line=$(cat "$WINE_TEST_DIR/empty.json")
expect_eq "$(json_field "$line" ok)" true "extract with an empty path: ok"
expect_eq "$(json_field "$line" pathChanged)" true "extract with an empty path: path filled in"
# A fresh process: its counter starts at 2 again and skips MSP2..MSP5.
expect_eq "$(json_field "$line" path)" "$(winpath_of "$temp")\\MSP6" "extract with an empty path: name"
expect_file_bytes_equal "$temp/MSP6" "$package" "extract with an empty path"

wine_case "a number is never reused in a process, even after its file is gone"
wine_new_prefix reuse
find_temp_dir
out=$WINE_TEST_DIR/temp-reuse.jsonl
probe_to "$out" extract-temp 3 --delete
temp_path=$(json_field "$(json_line "$out" 1)" tempPath)
n=0
for expected in MSP2 MSP3 MSP4; do
  n=$((n + 1))
  line=$(json_line "$out" $((n + 1)))
  expect_eq "$(json_field "$line" ok)" true "extraction $n with the earlier files deleted: ok"
  expect_eq "$(json_field "$line" path)" "$temp_path$expected" "extraction $n with the earlier files deleted: name"
  expect_eq "$(json_field "$line" deleted)" true "extraction $n: its file deleted again"
done
expect_eq "$(find "$temp" -maxdepth 1 -name 'MSP*' | wc -l)" 0 "temporary files left after deleting each"

wine_case "TMP set inside Windows"
wine_new_prefix tmp
mkdir -p "$WINE_PREFIX_C/tmpdir" "$WINE_PREFIX_C/work"
printf 'not a directory' >"$WINE_PREFIX_C/work/a-file"
# TMP | expected name | Linux path of the file -- why. Each run is a fresh
# process, started in C:\work, so its counter starts at 2.
tmp_cases=(
  'C:\tmpdir|C:\tmpdir\MSP2|tmpdir/MSP2'      # an existing directory: used, a backslash added
  'C:\tmpdir\|C:\tmpdir\MSP3|tmpdir/MSP3'     # its closing backslash is not doubled (MSP2 taken now)
  'C:/tmpdir/|C:/tmpdir/MSP4|tmpdir/MSP4'     # TMP as written, not the temporary path (normalised to C:\tmpdir\)
  'C:\missing|C:\MSP2|MSP2'                   # no such directory, so no temporary path either: the drive's root
  'C:\work\a-file|C:\MSP3|MSP3'               # a file is not a directory
)
n=0
for entry in "${tmp_cases[@]}"; do
  IFS='|' read -r tmp expected file <<<"$entry"
  n=$((n + 1))
  out=$WINE_TEST_DIR/tmp-$n.jsonl
  rc=0
  wine_run_env 60 --cwd 'C:\work' "TMP=$tmp" -- "$HOTFIX_PROBE" extract-temp 1 >"$out" || rc=$?
  expect_eq "$rc" 0 "TMP=$tmp: exit code"
  expect_eq "$(json_field "$(json_line "$out" 1)" tmp)" "$tmp" "TMP=$tmp: the probe sees TMP"
  line=$(json_line "$out" 2)
  expect_eq "$(json_field "$line" ok)" true "TMP=$tmp: ok"
  expect_eq "$(json_field "$line" path)" "$expected" "TMP=$tmp: name"
  expect_file_bytes_equal "$WINE_PREFIX_C/$file" "$package" "TMP=$tmp"
done
