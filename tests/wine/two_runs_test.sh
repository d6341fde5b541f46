#!/bin/bash
# Two hotfix.exe started together (100 ms apart) on a machine with the German
# and the English product at 5.2.0.0: one run patches both, each exactly once
# (one registration), and the other shows 300 with 1618, the installer's own
# code for an installation already running, without touching anything; the
# cached packages stay readable, and neither run hangs.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"
export LC_ALL=C.UTF-8
unset LANGUAGE

wine_new_prefix main
codes=() packages=() package_files=()
for language in 0407 0409; do
  product_build_sample "$language" 5.2.0.0
  product_install "$PRODUCT_MSI"
  product_installed "$PRODUCT_CODE"
  codes+=("$PRODUCT_CODE") packages+=("$PRODUCT_LOCAL_PACKAGE") package_files+=("$PRODUCT_LOCAL_PACKAGE_FILE")
done
installer_dir=$(dirname "${package_files[0]}")
ls -A "$installer_dir" | sort >"$WINE_TEST_DIR/installer-before.txt"

wine_case "two runs at once"
robot_start "$WINE_TEST_DIR/boxes.jsonl" --default ok --timeout 150
# Each run is held up 2 s at its first write to the working copy of the
# German package: the run that has the lock then surely still holds it when
# the other one asks, whichever of the two got it.
copy_file=${package_files[0]%/*}/${packages[0]##*\\}.hotfix-edit-1
start_run() {
  ( rc=0
    timeout --kill-after=5 120 strace -f -o /dev/null -P "$copy_file" -e trace=write \
      -e inject=write:delay_enter=2000000:when=1 "$HOTFIX_WINE" "$HOTFIX_EXE" \
      </dev/null >"$WINE_TEST_DIR/run-$1.log" 2>&1 || rc=$?
    echo "$rc" >"$WINE_TEST_DIR/exit-$1" ) &
  run_pids+=($!)
}
run_pids=()
start_run 1
sleep 0.1
start_run 2
wait "${run_pids[@]}"
robot_stop || true
sed 's/^/  box: /' "$WINE_TEST_DIR/boxes.jsonl" >&2
for run in 1 2; do expect_eq "$(cat "$WINE_TEST_DIR/exit-$run")" 0 "exit code of run $run"; done

# One run showed both 301s, each in its product's language; the other one 300.
problems=$(python3 - "$WINE_LIB_DIR" "$WINE_TEST_DIR/boxes.jsonl" <<'EOF'
import json, sys
sys.path.insert(0, sys.argv[1])
import e2e
strings = e2e.load_strings()
boxes = [json.loads(line) for line in open(sys.argv[2], encoding="utf-8") if line.strip()]
refused = [b for b in boxes if b.get("text") == e2e.fill(strings[1033][e2e.MSG_FAILED], [1618])]
patched = [b for b in boxes if b not in refused]
problems = []
if len(refused) != 1 or refused[0].get("caption") != strings[1033][e2e.CAPTION_ERROR]:
    problems.append(f"{len(refused)} box(es) 300 with 1618 in English, expected one")
wanted = sorted(strings[language][e2e.MSG_SUCCEEDED] for language in (1031, 1033))
if sorted(b.get("text") for b in patched) != wanted or any(b.get("icon") != "information" for b in patched):
    problems.append(f"the other boxes are {[b.get('text') for b in patched]}, expected the 301s {wanted}")
if len({b.get("pid") for b in patched}) != 1 or (refused and refused[0].get("pid") in {b.get("pid") for b in patched}):
    problems.append("the 301s are not from one run, or the 300 is from the same run")
print("\n".join(problems))
EOF
)
[[ -z $problems ]] || record_failure "boxes: $problems"

patch_code=$(python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import e2e; print(e2e.sample_patch_code())' "$WINE_LIB_DIR")
for i in 0 1; do
  product_info "${codes[$i]}" VersionString
  expect_eq "$PRODUCT_INFO" 5.2.1.0 "version of ${codes[$i]}"
  product_patches "${codes[$i]}"
  expect_eq "$(json_field "$PRODUCT_PATCHES" patches.0.code)|$(json_field "$PRODUCT_PATCHES" patches.1.code 2>/dev/null)" \
    "$patch_code|" "patches registered for ${codes[$i]}"
  rc=0
  wine_run 60 "$HOTFIX_PROBE" query "${packages[$i]}" 1 "SELECT Action FROM InstallExecuteSequence" \
    >"$WINE_TEST_DIR/query-$i.jsonl" || rc=$?
  expect_eq "$rc" 0 "the cached package of ${codes[$i]} opens and reads: $(tail -1 "$WINE_TEST_DIR/query-$i.jsonl")"
done
# The one patch copy the service keeps per product, and no working copy.
extra=$(comm -13 "$WINE_TEST_DIR/installer-before.txt" <(ls -A "$installer_dir" | sort) | grep -v '\.msp$' | tr '\n' ' ')
expect_eq "$extra" "" "new files in C:\\windows\\Installer besides the patch copies"
expect_eq "$(comm -13 "$WINE_TEST_DIR/installer-before.txt" <(ls -A "$installer_dir" | sort) | grep -c '\.msp$')" 2 \
  "patch copies in C:\\windows\\Installer"
