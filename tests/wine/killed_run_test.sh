#!/bin/bash
# hotfix.exe /q ended (SIGKILL, as a deployment tool or a switched-off machine
# ends it) at chosen points of its cached-package edits: while it copies the
# package, at writes spread over both commits, before the copy replaces the
# package and right after. strace kills it on entering the N-th write (or
# read, or the flush) of the package or its working copy, the same point on
# every run. After each kill the installer itself must open and read the
# package (MsiOpenDatabaseW through the probe), each pass's edits must be
# there all or not at all, and C:\windows\Installer may hold nothing new but
# the working copy. Then one run, left alone, patches the product to 5.2.1.0
# with one success box.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"
export LC_ALL=C.UTF-8

command -v strace >/dev/null || fail "strace is missing (scripts/install-deps.sh installs it)"

wine_new_prefix main
product_build_sample 0407 5.2.0.0
product_install "$PRODUCT_MSI"
product_installed "$PRODUCT_CODE"
code=$PRODUCT_CODE package=$PRODUCT_LOCAL_PACKAGE package_file=$PRODUCT_LOCAL_PACKAGE_FILE
installer_dir=$(dirname "$package_file")
# The name the program gives its copy: the first free number, as every run
# removes the copies an earlier one left before it makes its own.
copy_file=$installer_dir/${package##*\\}.hotfix-edit-1
ready_file=$installer_dir/${package##*\\}.hotfix-ready-1
cp "$package_file" "$WINE_TEST_DIR/original.msi"
ls -A "$installer_dir" | sort >"$WINE_TEST_DIR/installer-files.txt"
temp_dir=$WINE_PREFIX_C/users/$(id -un)/Temp
mkdir -p "$temp_dir"

sequence_query='SELECT Action,Condition FROM InstallExecuteSequence'
registry_query='SELECT Registry,Component_ FROM Registry'
# query OUT [PATH]: the rows of both passes' tables in the package (or in
# the file at the Linux PATH), read by the service.
query() {
  local file=$package
  [[ -n ${2:-} ]] && file=$(winpath_of "$2")
  local rc=0 attempt
  for attempt in 1 2; do
    rc=0
    wine_run 60 "$HOTFIX_PROBE" query "$file" 2 "$sequence_query" "$registry_query" >"$1" 2>"$1.err" ||
      rc=$?
    # A probe that printed nothing did not get as far as the package (seen
    # once under load, right after a kill): that says nothing about it.
    [[ -s $1 ]] && break
    wine_log "the probe printed nothing (exit $rc): $(tail -c 300 "$1.err")"
  done
  (( rc == 0 )) || echo "{\"probe_exit\":$rc,\"stderr\":$(python3 -c 'import json,sys; print(json.dumps(open(sys.argv[1], errors="replace").read()[-300:]))' "$1.err")}" >>"$1"
  return $rc
}
query "$WINE_TEST_DIR/rows-original.jsonl" || fail "the installed package cannot be read: $(cat "$WINE_TEST_DIR/rows-original.jsonl")"

# One run of the probe's AdjustCachedPackage, the program's own code, shows
# where the writes of the copy and of each commit fall (the service's trace
# marks each commit), and how often the package is read before the copy
# takes its place. The product itself stays as it was installed.
wine_case "where the writes fall"
dry=$WINE_TEST_DIR/dry-run.txt
WINEDEBUG=-all,trace+msi timeout --kill-after=5 120 strace -f -y -e trace=read,write,fsync -o "$dry" \
  "$HOTFIX_WINE" "$HOTFIX_PROBE" adjust "$package" >/dev/null 2>"$WINE_TEST_DIR/dry-run-msi.txt" ||
  fail "the dry run failed: $(tail -3 "$WINE_TEST_DIR/dry-run-msi.txt")"
read -r copy_writes commit1_writes commit2_writes package_reads flushes < <(
  awk -v package="<$package_file>" -v copy="<$copy_file>" '
    /trace:msi:MsiDatabaseCommit/ { commit++ }
    /write\(/ && (index($0, package) || index($0, copy)) { writes[commit + 0]++ }
    /read\(/ && index($0, package) { reads++ }
    /fsync\(/ && index($0, copy) { flushes++ }
    END { print writes[0] + 0, writes[1] + 0, writes[2] + 0, reads + 0, flushes + 0 }' "$dry")
wine_log "copy: $copy_writes write(s); commit 1: $commit1_writes; commit 2: $commit2_writes; package read $package_reads time(s) before it is replaced; $flushes flush(es)"
(( copy_writes >= 1 )) || record_failure "the package is not copied before it is edited"
(( flushes == 1 )) || record_failure "the copy is flushed $flushes time(s) before it replaces the package, not once"
(( commit1_writes >= 30 && commit2_writes >= 10 )) ||
  fail "too few commit writes to spread the kills over ($commit1_writes, $commit2_writes)"
rm -f "$copy_file" "$ready_file"

# The points: WHAT|SYSCALL|FILES|N, the run ended on entering the N-th such
# call on FILES: writes counted on the package and its copy together, reads
# on the package alone.
points=("the package's first read, as it is copied|read|package|1")
for ((n = 1; n <= copy_writes; n++)); do points+=("copy write $n|write|both|$n"); done
for k in 1 3 8 20 25 30 45 60 75 "$commit1_writes"; do
  (( k <= commit1_writes )) && points+=("commit 1, write $k of $commit1_writes|write|both|$((copy_writes + k))")
done
for k in 1 5 10 15 20 25 30 35 40 "$commit2_writes"; do
  (( k <= commit2_writes )) &&
    points+=("commit 2, write $k of $commit2_writes|write|both|$((copy_writes + commit1_writes + k))")
done
points+=("right after the replace: the service's first read of the package|read|package|$((package_reads + 1))")
# Late: a run that does not flush would not end here, but patch the product.
points+=("the copy complete, before it replaces the package (its flush)|fsync|copy|1")
# Wine's ReplaceFileW is no single step: it moves the package aside and
# deletes it, then renames the copy, and looks at the copy in between. Ended
# there, a run leaves the ready copy alone; the next run must put it in place.
points+=("inside the replace, between the steps of Wine's ReplaceFileW|newfstatat|ready|1")

# classify ROWS: for each pass, sequence then registry, whether the rows
# read hold none, all or part of its edits of the installed package.
classify() {
  python3 - "$WINE_LIB_DIR" "$WINE_TEST_DIR/rows-original.jsonl" "$1" <<'EOF'
import json, sys
sys.path.insert(0, sys.argv[1])
import e2e
def rows(path):
    out = {0: {}, 1: {}}
    for line in open(path, encoding="utf-8"):
        line = json.loads(line)
        if "row" in line:
            out[line["query"]][line["row"][0]] = line["row"][1]
    return out
original, now = rows(sys.argv[2]), rows(sys.argv[3])
verdicts = []
for query, edits in ((0, e2e.CONDITION_EDITS), (1, e2e.REGISTRY_EDITS)):
    edited = dict(original[query], **{k: v for k, v in edits.items() if k in original[query]})
    verdicts.append("none" if now[query] == original[query] else
                    "all" if now[query] == edited else "partial")
print(" ".join(verdicts))
EOF
}

summary=()
killed=0
for point in "${points[@]}"; do
  IFS='|' read -r what syscall files n <<<"$point"
  wine_case "ended at $what ($syscall #$n)"
  case $files in
    package) path_args=(-P "$package_file") ;;
    copy) path_args=(-P "$copy_file") ;;
    ready) path_args=(-P "$ready_file") ;;
    both) path_args=(-P "$package_file" -P "$copy_file") ;;
  esac
  log=$WINE_TEST_DIR/kill-$syscall-$n.txt
  # Each point starts from the package as installed; the copy an earlier
  # point left stays, for the run to clear away.
  cp "$WINE_TEST_DIR/original.msi" "$package_file"
  rc=0
  # (The braces keep the shell's "Killed" notice out of the log.)
  { timeout --kill-after=5 120 strace -f "${path_args[@]}" -e trace="$syscall" \
      -e inject="$syscall":signal=KILL:when="$n" -o "$log" "$HOTFIX_WINE" "$HOTFIX_EXE" /q \
      </dev/null >/dev/null 2>&1; } 2>/dev/null || rc=$?
  if grep -q '+++ killed by SIGKILL +++' "$log"; then
    killed=$((killed + 1))
  else
    record_failure "$what: the run was not ended there (exit $rc)"
  fi
  left=$(comm -13 "$WINE_TEST_DIR/installer-files.txt" <(ls -A "$installer_dir" | sort) | tr '\n' ' ')
  [[ -z $left || $left == "$(basename "$copy_file") " || $left == "$(basename "$ready_file") " ]] ||
    record_failure "$what: new files in C:\\windows\\Installer: $left"
  rows=$WINE_TEST_DIR/rows-$syscall-$n.jsonl
  if [[ ! -e $package_file && -e $ready_file ]]; then
    outcome="the package is gone, moved aside by Wine's ReplaceFileW; the ready copy "
    if query "$rows" "$ready_file"; then
      read -r sequence registry < <(classify "$rows")
      outcome+="holds sequence edits: $sequence, registry edits: $registry"
      [[ $sequence == all && $registry == all ]] || record_failure "$what: $outcome"
    else
      outcome+="does not open or read"
      record_failure "$what: $outcome"
    fi
    [[ $files == ready ]] || record_failure "$what: the package is gone"
  elif query "$rows"; then
    read -r sequence registry < <(classify "$rows")
    outcome="opens; sequence edits: $sequence, registry edits: $registry"
    [[ $sequence != partial && $registry != partial ]] || record_failure "$what: $outcome"
  else
    outcome="does not open or read: $(grep -v '"row"' "$rows" | head -1)"
    record_failure "$what: the package $outcome"
  fi
  [[ -e $copy_file || -e $ready_file ]] && outcome+="; the copy stays"
  wine_log "$outcome"
  summary+=("$what: $outcome")
done

wine_case "one run left alone after the last kill"
robot_start "$WINE_TEST_DIR/boxes.jsonl" --default ok --timeout 120
rc=0
wine_run_env 120 -- "$HOTFIX_EXE" || rc=$?
robot_stop || true
expect_eq "$rc|$WINE_EXIT_CODE" "0|0" "exit code of the run left alone"
expected_boxes=$(python3 -c '
import json, sys
sys.path.insert(0, sys.argv[1])
import e2e
strings = e2e.load_strings()[1031]
print(json.dumps([{"caption": strings[e2e.CAPTION_SUCCESS], "text": strings[e2e.MSG_SUCCEEDED],
                   "icon": "information"}]))' "$WINE_LIB_DIR")
expect_boxes "$WINE_TEST_DIR/boxes.jsonl" "$expected_boxes" "the run left alone"
product_info "$code" VersionString
expect_eq "$PRODUCT_INFO" 5.2.1.0 "version after the run left alone"
product_patches "$code"
patch_code=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import e2e; print(e2e.sample_patch_code())' "$WINE_LIB_DIR")
expect_eq "$(json_field "$PRODUCT_PATCHES" patches.0.code)|$(json_field "$PRODUCT_PATCHES" patches.1.code 2>/dev/null)" \
  "$patch_code|" "patches registered once"
query "$WINE_TEST_DIR/rows-after.jsonl" || record_failure "the patched product's package cannot be read"
expect_eq "$(classify "$WINE_TEST_DIR/rows-after.jsonl")" "all all" "edits after the run left alone"
expect_no_file "$copy_file" "the copy the last kill left"
expect_no_file "$ready_file" "a ready copy"
# Each killed run leaves its temporary package, and nothing else there.
strays=$(find "$temp_dir" -maxdepth 1 -name 'MSP*' | wc -l)
(( strays <= killed )) || record_failure "$strays temporary packages after $killed killed runs"

wine_log "what each point left:"
for line in "${summary[@]}"; do wine_log "  $line"; done
