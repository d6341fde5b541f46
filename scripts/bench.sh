#!/usr/bin/env bash
# What hotfix.exe costs beyond the platform, measured under Wine on one warm
# Wine machine (a windowless process keeps it running, so no program pays
# Wine's cold start). Five measures, each program run against an anchor that
# does the same work the plain way, the two interleaved run by run (their
# order swapped every other run):
#
#   1  hotfix.exe /q      against  msiexec /p sample.msp /qn, on the same
#                                  installed old product (reinstalled at the
#                                  old version before every run, untimed)
#   2  /e of a 64 MiB payload less /e of the sample payload
#                         against  cmd /c copy of the same 64 MiB file less
#                                  cmd /c exit
#   3  probe adjust (the cached-package edits) on a package whose Registry
#      table has 100,000 rows
#                         against  msi_update: one transacted opening, the
#                                  same ten changes as SQL UPDATEs, one commit
#   4  hotfix.exe /p FILE against  user32_floor.exe (one user32 call)
#   5  peak resident set of hotfix.exe /e with the 64 MiB payload
#                         against  user32_floor.exe, and (5b) against
#                                  hotfix.exe /e of the sample payload
#   6  a 256 MiB payload (the sample patch followed by 256 MiB less its size
#      of pseudo-random bytes, so that its target codes are the sample's):
#      6a /e less /e sample against cmd /c copy of the same 256 MiB less
#         cmd /c exit; 6b /p LIST and 6c /i, each against the same mode of
#         the sample program; 6d-6f the peak resident set of /e, /p LIST
#         and /i against the sample program's
#
# Then scripts/bench-make-patch.sh measures make-patch at product scale
# (time against reading the packages, peak memory, patch sizes) and its
# delta encoder.
#
# Every timed run is checked afterwards (the product at the patched version
# and no message box; the written files byte for byte; the ten edits in the
# package; the patch list grown by one block); a run that fails its check is
# left out and counted as void. Times are wall-clock, taken around the wine64
# process; peaks are the kernel's ru_maxrss of that process (its VmHWM).
#
#   scripts/bench.sh [--runs N] [--only M,...]
#                                    N runs of every measure (default 7; the
#                                    make-patch measures take 3); --only runs
#                                    just the measures named (1-6, make-patch)
#
# A benchmark, not a test: it reports figures and fails only when it cannot
# set itself up. Everything lives under build/bench (BENCH_DIR moves it); the
# 64 MiB and 256 MiB hotfixes are built in trees of their own there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=7
only=1,2,3,4,5,6,make-patch
while (($#)); do
  case $1 in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --only) only=${2:?--only needs a list of measures}; shift 2 ;;
    -h|--help) sed -n '2,46p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "bench.sh: --runs takes a positive number" >&2; exit 2; }
[[ $only =~ ^([1-6]|make-patch)(,([1-6]|make-patch))*$ ]] ||
  { echo "bench.sh: --only takes measures 1-6 and make-patch, separated by commas" >&2; exit 2; }
wanted() { [[ ,$only, == *,$1,* ]]; }
runs_of() { if wanted "$1"; then echo "$runs"; else echo 0; fi; }  # runs_of MEASURE

say() { printf '\n== %s\n' "$*"; }
die() { echo "bench.sh: $*" >&2; exit 1; }
python=/usr/bin/python3
helper=$root/scripts/bench.py

"$root/scripts/install-deps.sh"

# ---------------------------------------------------------------- builds

bench=${BENCH_DIR:-$root/build/bench}
mkdir -p "$bench/logs"
say "Building the programs (windows preset) and the 64 MiB hotfix"
build=$root/build/windows
(cd "$root" && cmake --preset windows && cmake --build --preset windows -j "$(nproc)" \
   --target hotfix quor dialog_robot probe user32_floor msi_update bench_idle) \
  >"$bench/logs/build.log" 2>&1 || { tail -30 "$bench/logs/build.log" >&2; die "the build failed"; }
hotfix=$build/hotfix.exe
probe=$build/tests/tools/probe.exe
robot=$build/tests/tools/dialog_robot.exe
floor=$build/tests/tools/bench/user32_floor.exe
msi_update=$build/tests/tools/bench/msi_update.exe
idle=$build/tests/tools/bench/bench_idle.exe
quor=$build/tests/tools/quor/quor.exe
sample_msp=$root/resources/sample/sample.msp

# Any 64 MiB will do: /e copies bytes. The same bytes every time.
payload=$bench/payload-64mib.bin
payload_bytes=$((64 << 20))
if [[ ! -f $payload || $(stat -c %s "$payload") != "$payload_bytes" ]]; then
  "$python" -c 'import random, sys; sys.stdout.buffer.write(random.Random(64).randbytes(64 << 20))' \
    >"$payload"
fi
big_build=$bench/hotfix-64mib
(cd "$root" && cmake -S . -B "$big_build" --toolchain cmake/mingw-w64-x86_64.cmake -DHOTFIX_TARGET=windows \
   -DCMAKE_BUILD_TYPE=Release -DHOTFIX_PATCH="$payload" &&
 cmake --build "$big_build" -j "$(nproc)" --target hotfix) >"$bench/logs/build-64mib.log" 2>&1 ||
  { tail -30 "$bench/logs/build-64mib.log" >&2; die "the 64 MiB hotfix did not build"; }
big_hotfix=$big_build/hotfix.exe
echo "hotfix.exe $(stat -c %s "$hotfix") bytes; with the 64 MiB payload $(stat -c %s "$big_hotfix") bytes"

# The sample patch and pseudo-random bytes behind it, 256 MiB in all: the
# package reader stops at the end of the sample's own sectors, so /i and /p
# read the sample's target codes and differ from the sample program only in
# the payload's size.
payload256=$bench/payload-256mib.bin
payload256_bytes=$((256 << 20))
if wanted 6; then
  if [[ ! -f $payload256 || $(stat -c %s "$payload256") != "$payload256_bytes" ]] ||
     ! cmp -s -n "$(stat -c %s "$sample_msp")" "$sample_msp" "$payload256"; then
    "$python" - "$sample_msp" "$payload256" "$payload256_bytes" <<'PY'
import random, sys
sample = open(sys.argv[1], "rb").read()
left = int(sys.argv[3]) - len(sample)
rng = random.Random(256)
with open(sys.argv[2], "wb") as out:
    out.write(sample)
    while left > 0:  # randbytes takes at most 2^31 bits at a time
        piece = min(left, 64 << 20)
        out.write(rng.randbytes(piece))
        left -= piece
PY
  fi
  big256_build=$bench/hotfix-256mib
  (cd "$root" && cmake -S . -B "$big256_build" --toolchain cmake/mingw-w64-x86_64.cmake -DHOTFIX_TARGET=windows \
     -DCMAKE_BUILD_TYPE=Release -DHOTFIX_PATCH="$payload256" &&
   cmake --build "$big256_build" -j "$(nproc)" --target hotfix) >"$bench/logs/build-256mib.log" 2>&1 ||
    { tail -30 "$bench/logs/build-256mib.log" >&2; die "the 256 MiB hotfix did not build"; }
  hotfix256=$big256_build/hotfix.exe
  echo "with the 256 MiB payload $(stat -c %s "$hotfix256") bytes"
fi

# ---------------------------------------------------------------- packages

say "Building the old product and the package with 100,000 Registry rows"
products=$bench/products
rm -rf "$products"
mkdir -p "$products/registry"
product_code="{7C4A19E2-6007-0407-9B3D-4E81A6F25C07}"
old_msi=$products/de-5.2.0.0.msi
"$root/tests/products/sample-product.sh" --quor "$quor" 0407 5.2.0.0 "$old_msi" \
  >"$bench/logs/products.log" 2>&1 || die "cannot build the product (see $bench/logs/products.log)"
# The same product's database rebuilt from its tables, the Registry table
# first and grown to 100,000 rows with the two rows the hotfix moves last.
tables=$products/registry
for table in $(msiinfo tables "$old_msi" | tr -d '\r'); do
  msiinfo export "$old_msi" "$table" >"$tables/$table.idt"
done
"$python" "$helper" registry-idt "$tables/Registry.idt" "$tables/Registry.idt.new" 100000
mv "$tables/Registry.idt.new" "$tables/Registry.idt"
msiinfo extract "$old_msi" product.cab >"$tables/product.cab"
large_msi=$products/registry-100000.msi
imports=(-i _ForceCodepage.idt -i Registry.idt)
for idt in "$tables"/*.idt; do
  case ${idt##*/} in _ForceCodepage.idt|Registry.idt) ;; *) imports+=(-i "${idt##*/}") ;; esac
done
(cd "$tables" && msibuild "$large_msi" "${imports[@]}" -a product.cab product.cab) ||
  die "msibuild could not make $large_msi"
rows=$(msiinfo export "$large_msi" Registry | tr -d '\r' | awk 'NR > 3' | wc -l)
last=$(msiinfo export "$large_msi" Registry | tr -d '\r' | tail -2 | cut -f1 | tr '\n' ' ')
[[ $rows == 100000 ]] || die "$large_msi has $rows Registry rows, not 100000"
echo "$large_msi: $(stat -c %s "$large_msi") bytes, $rows Registry rows, the last two: $last"

# ---------------------------------------------------------------- the machine

source "$root/scripts/wine-machine.sh"
machine_find_wine
export WINEPREFIX=$bench/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
xvfb_pid="" robot_pid="" idle_pid=""
cleanup() {
  # Each step whatever became of the one before (a process may be gone already).
  set +e
  trap - ERR
  [[ -n $robot_pid ]] && kill "$robot_pid" 2>/dev/null
  [[ -n $idle_pid ]] && kill "$idle_pid" 2>/dev/null
  machine_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM
trap 'echo "bench.sh: line $LINENO: a command failed with $?" >&2' ERR
[[ -d $WINEPREFIX ]] && { timeout 20 "$wineserver" -k >/dev/null 2>&1 || true; }
rm -rf "$WINEPREFIX" "$bench/work"
work=$bench/work
mkdir -p "$work"

say "A warm Wine machine in $WINEPREFIX"
machine_start_xvfb 200 260 "$bench/logs/xvfb.log"
timeout --kill-after=10 180 "$wine" wineboot -i </dev/null >"$bench/logs/wineboot.log" 2>&1 ||
  die "wineboot failed (see $bench/logs/wineboot.log)"
# As the test machines: no crash dialog, and windows that no window manager
# is asked to manage (there is none; Wine would wait for one at every window).
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\n"ShowCrashDialog"=dword:00000000\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n' \
  >"$work/machine.reg"
timeout 60 "$wine" regedit /S "$(winpath "$work/machine.reg")" </dev/null >>"$bench/logs/wineboot.log" 2>&1 ||
  die "regedit failed"
timeout 60 "$wineserver" -w || true
"$wineserver" -p </dev/null >/dev/null 2>&1 || die "cannot start a persistent wineserver"
"$wine" "$idle" "$(winpath "$work/idle.stop")" 7200 </dev/null >/dev/null 2>&1 &
idle_pid=$!

# ---------------------------------------------------------------- running and timing

results=$bench/results.tsv
: >"$results"
: >"$bench/logs/programs.log"
limit=300  # seconds; a program that takes longer is stuck, and the bench stops

# timed VAR PROGRAM ARGS...: runs a Windows program, its wall time in s in VAR.
timed() {
  local var=$1; shift
  local start end rc=0
  start=${EPOCHREALTIME/,/.}
  timeout --kill-after=5 "$limit" "$wine" "$@" </dev/null >>"$bench/logs/programs.log" 2>&1 || rc=$?
  end=${EPOCHREALTIME/,/.}
  (( rc != 124 && rc != 137 )) || die "$* did not end within ${limit}s"
  printf -v "$var" '%s' "$("$python" -c "print(f'{$end - $start:.6f}')")"
  return $rc
}

quiet() {  # quiet PROGRAM ARGS...: a Windows program, output to the log, bounded
  timeout --kill-after=5 "$limit" "$wine" "$@" </dev/null >>"$bench/logs/programs.log" 2>&1
}

probe_out() {
  timeout --kill-after=5 60 "$wine" "$probe" "$@" </dev/null 2>>"$bench/logs/programs.log" | tr -d '\r'
}

record() {  # record MEASURE TITLE UNIT PROGRAM ANCHOR
  printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$results"
}
void() {  # void MEASURE TITLE UNIT RUN REASON
  printf '%s\t%s\t%s\tVOID\t\n' "$1" "$2" "$3" >>"$results"
  echo "  run $4: VOID: $5 (this run's figures are left out)"
}
sub() { "$python" -c "print(f'{$1 - $2:.6f}')"; }
# Set by timed and patch_once through printf -v.
a="" b="" big="" small="" copy="" exit_=""

# Every program once, untimed: its files in the page cache, Wine's too.
say "Warming up"
quiet "$hotfix" /e "$(winpath "$work/warm.msp")" || true
quiet "$big_hotfix" /e "$(winpath "$work/warm.msp")" || true
if wanted 6; then
  quiet "$hotfix256" /e "$(winpath "$work/warm.msp")" || true
  quiet cmd /c copy /y "$(winpath "$payload256")" "$(winpath "$work/warm.bin")" || true
fi
quiet "$floor" || true
quiet cmd /c copy /y "$(winpath "$payload")" "$(winpath "$work/warm.bin")" || true
quiet msiexec /i "$(winpath "$old_msi")" /qn || die "msiexec could not install $old_msi"
cp "$large_msi" "$work/warm.msi"
quiet "$probe" adjust "$(winpath "$work/warm.msi")" || true
cp "$large_msi" "$work/warm.msi"
quiet "$msi_update" "$(winpath "$work/warm.msi")" || true
rm -f "$work"/warm.*
echo "machine load before: $(uptime)"

# ---------------------------------------------------------------- 1: patching

title1="hotfix.exe /q vs msiexec /p PATCH /qn"
say "1. $title1 ($(runs_of 1) runs)"
mkdir -p "$work/robot"
# The robot answers any box, so that nothing can hang; a run that showed one
# is void, since its time includes waiting for the answer.
"$wine" "$robot" --out "$(winpath "$work/robot/boxes.jsonl")" --signal-dir "$(winpath "$work/robot")" \
  --stop-file "$(winpath "$work/robot/stop")" --default ok --timeout 7200 </dev/null \
  >"$bench/logs/robot.log" 2>&1 &
robot_pid=$!
for _ in $(seq 300); do [[ -e $work/robot/ready ]] && break; sleep 0.1; done
[[ -e $work/robot/ready ]] || die "the dialog robot did not start"
boxes() { [[ -f $work/robot/boxes.jsonl ]] && wc -l <"$work/robot/boxes.jsonl" || echo 0; }

reinstall_old() {
  quiet msiexec /x "$product_code" /qn || true
  quiet msiexec /i "$(winpath "$old_msi")" /qn || die "msiexec could not reinstall $old_msi"
  [[ $(probe_out product-info "$product_code" VersionString) == 5.2.0.0 ]] ||
    die "the product is not at 5.2.0.0 after reinstalling it"
}

# patch_once VAR SIDE: one timed patching by SIDE (hotfix or msiexec); VAR
# gets the time, or VOID: REASON.
patch_once() {
  local var=$1 side=$2 seconds before version
  reinstall_old
  before=$(boxes)
  if [[ $side == hotfix ]]; then
    timed seconds "$hotfix" /q || true
  else
    timed seconds msiexec /p "$(winpath "$sample_msp")" /qn || true
  fi
  version=$(probe_out product-info "$product_code" VersionString) ||
    version="unknown (the probe failed with $?)"
  if [[ $version != 5.2.1.0 ]]; then
    printf -v "$var" 'VOID: %s left the product at %s, not 5.2.1.0' "$side" "$version"
  elif [[ $(boxes) != "$before" ]]; then
    printf -v "$var" 'VOID: %s showed a message box' "$side"
  else
    printf -v "$var" '%s' "$seconds"
  fi
}

for ((run = 1; run <= $(runs_of 1); run++)); do
  if (( run % 2 )); then
    patch_once a hotfix; patch_once b msiexec
  else
    patch_once b msiexec; patch_once a hotfix
  fi
  if [[ $a == VOID* || $b == VOID* ]]; then
    void 1 "$title1" s "$run" "${a#VOID: } / ${b#VOID: }"
  else
    record 1 "$title1" s "$a" "$b"
    echo "  run $run: hotfix.exe /q $a s, msiexec /p $b s"
  fi
done
touch "$work/robot/stop"
for _ in $(seq 100); do kill -0 "$robot_pid" 2>/dev/null || break; sleep 0.1; done
kill "$robot_pid" 2>/dev/null || true
wait "$robot_pid" 2>/dev/null || true
robot_pid=""

# ---------------------------------------------------------------- 2: a large payload

title2="/e 64 MiB less /e sample vs copy 64 MiB less cmd /c exit"
say "2. $title2 ($(runs_of 2) runs)"
out=$work/extract
mkdir -p "$out"
for ((run = 1; run <= $(runs_of 2); run++)); do
  rm -f "$out"/*
  reason=""
  if (( run % 2 )); then
    timed small "$hotfix" /e "$(winpath "$out/small.msp")" || true
    timed big "$big_hotfix" /e "$(winpath "$out/big.msp")" || true
    timed copy cmd /c copy /y "$(winpath "$payload")" "$(winpath "$out/copy.bin")" || true
    timed exit_ cmd /c exit || true
  else
    timed exit_ cmd /c exit || true
    timed copy cmd /c copy /y "$(winpath "$payload")" "$(winpath "$out/copy.bin")" || true
    timed big "$big_hotfix" /e "$(winpath "$out/big.msp")" || true
    timed small "$hotfix" /e "$(winpath "$out/small.msp")" || true
  fi
  cmp -s "$out/small.msp" "$sample_msp" || reason+="/e wrote no copy of the sample patch; "
  cmp -s "$out/big.msp" "$payload" || reason+="/e wrote no copy of the 64 MiB payload; "
  cmp -s "$out/copy.bin" "$payload" || reason+="copy did not copy the payload; "
  if [[ -n $reason ]]; then
    void 2 "$title2" s "$run" "$reason"
  else
    record 2 "$title2" s "$(sub "$big" "$small")" "$(sub "$copy" "$exit_")"
    echo "  run $run: /e 64 MiB $big s, /e sample $small s; copy $copy s, cmd /c exit $exit_ s"
  fi
done
rm -rf "$out"

# ---------------------------------------------------------------- 3: the cached-package edits

title3="probe adjust vs 10 UPDATEs+commit, 100,000 Registry rows"
say "3. $title3 ($(runs_of 3) runs)"
adjusted=$work/adjusted.msi updated=$work/updated.msi
for ((run = 1; run <= $(runs_of 3); run++)); do
  cp "$large_msi" "$adjusted"
  cp "$large_msi" "$updated"
  if (( run % 2 )); then
    timed a "$probe" adjust "$(winpath "$adjusted")" || true
    timed b "$msi_update" "$(winpath "$updated")" || true
  else
    timed b "$msi_update" "$(winpath "$updated")" || true
    timed a "$probe" adjust "$(winpath "$adjusted")" || true
  fi
  reason=""
  "$python" "$helper" check-edits "$adjusted" >"$work/check.txt" || reason+="adjust: $(tr '\n' ' ' <"$work/check.txt"); "
  "$python" "$helper" check-edits "$updated" >"$work/check.txt" || reason+="msi_update: $(tr '\n' ' ' <"$work/check.txt"); "
  if [[ -n $reason ]]; then
    void 3 "$title3" s "$run" "$reason"
  else
    record 3 "$title3" s "$a" "$b"
    echo "  run $run: adjust $a s, msi_update $b s"
  fi
done
rm -f "$adjusted" "$updated"

# ---------------------------------------------------------------- 4: the start-up floor

title4="hotfix.exe /p FILE vs one user32 call"
say "4. $title4 ($(runs_of 4) runs)"
list=$work/patchlist.txt
block=$(( 7 + $(stat -c %s "$root/resources/sample/description.txt") + 2 ))
for ((run = 1; run <= $(runs_of 4); run++)); do
  rm -f "$list"
  if (( run % 2 )); then
    timed a "$hotfix" /p "$(winpath "$list")" || true
    timed b "$floor" || true
  else
    timed b "$floor" || true
    timed a "$hotfix" /p "$(winpath "$list")" || true
  fi
  size=$(stat -c %s "$list" 2>/dev/null || echo 0)
  if [[ $size != "$block" ]]; then
    void 4 "$title4" s "$run" "the patch list holds $size bytes, not $block"
  else
    record 4 "$title4" s "$a" "$b"
    echo "  run $run: hotfix.exe /p $a s, user32_floor $b s"
  fi
done

# ---------------------------------------------------------------- 5: peak memory

title5="peak resident set: hotfix.exe /e 64 MiB vs one user32 call"
say "5. $title5 ($(runs_of 5) runs)"
title5b="peak resident set: hotfix.exe /e 64 MiB vs /e sample"
peaks=$work/peaks
anon=()
for ((run = 1; run <= $(runs_of 5); run++)); do
  rm -f "$work/big.msp" "$work/small.msp" "$peaks".*
  "$python" "$helper" peak "$peaks.big" -- "$wine" "$big_hotfix" /e "$(winpath "$work/big.msp")"
  "$python" "$helper" peak "$peaks.floor" -- "$wine" "$floor"
  "$python" "$helper" peak "$peaks.small" -- "$wine" "$hotfix" /e "$(winpath "$work/small.msp")"
  read -r big_peak big_anon big_file _ <"$peaks.big"
  read -r floor_peak _ _ _ <"$peaks.floor"
  read -r small_peak _ _ _ <"$peaks.small"
  if ! cmp -s "$work/big.msp" "$payload"; then
    void 5 "$title5" KiB "$run" "/e wrote no copy of the 64 MiB payload"
  else
    record 5 "$title5" KiB "$big_peak" "$floor_peak"
    record 5b "$title5b" KiB "$big_peak" "$small_peak"
    anon+=("$big_anon")
    echo "  run $run: peak /e 64 MiB $big_peak KiB (largest sampled: anonymous $big_anon KiB," \
      "file-backed $big_file KiB); /e sample $small_peak KiB; user32_floor $floor_peak KiB"
  fi
done
rm -f "$work/big.msp" "$work/small.msp"

# ---------------------------------------------------------------- 6: a 256 MiB payload

say "6. A 256 MiB payload against the sample ($(runs_of 6) runs)"
title6a="/e 256 MiB less /e sample vs copy 256 MiB less cmd /c exit"
title6b="/p LIST: 256 MiB program vs sample program"
title6c="/i: 256 MiB program vs sample program"
title6d="peak resident set: /e 256 MiB vs /e sample"
title6e="peak resident set: /p LIST 256 MiB vs sample"
title6f="peak resident set: /i 256 MiB vs sample"
out=$work/extract256
mkdir -p "$out" "$work/robot6"
if wanted 6; then
  # /i shows a box; the robot answers it at once (polling every 5 ms, for
  # both programs alike). A run whose box does not show the sample's codes is
  # void.
  "$wine" "$robot" --out "$(winpath "$work/robot6/boxes.jsonl")" --signal-dir "$(winpath "$work/robot6")" \
    --stop-file "$(winpath "$work/robot6/stop")" --default ok --poll-ms 5 --timeout 7200 </dev/null \
    >"$bench/logs/robot6.log" 2>&1 &
  robot_pid=$!
  for _ in $(seq 300); do [[ -e $work/robot6/ready ]] && break; sleep 0.1; done
  [[ -e $work/robot6/ready ]] || die "the dialog robot did not start"
  targets=$(msiinfo suminfo "$sample_msp" | tr -d '\r' | sed -n 's/^Template: //p')
fi
# box_ok: the last box the robot answered showed the sample's target codes.
box_ok() {
  "$python" -c 'import json, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
sys.exit(0 if lines and json.loads(lines[-1])["text"] == sys.argv[2] else 1)' \
    "$work/robot6/boxes.jsonl" "$targets" 2>/dev/null
}
block=$(( 7 + $(stat -c %s "$root/resources/sample/description.txt") + 2 ))
# Before each run that writes: no package of an earlier /i left in the
# temporary folder, and nothing the system still has to write to the disk,
# so that no run pays for the writing of the one before.
clean_start() {
  find "$WINEPREFIX/drive_c/users" -type f -regex '.*/MSP[0-9]+' -delete 2>/dev/null || true
  sync
}
# mode6 VAR PROGRAM MODE: one timed run of PROGRAM in MODE (e, p or i); VAR
# gets the time, or VOID: REASON when the run did not do its work.
mode6() {
  local var=$1 program=$2 mode=$3 seconds
  rm -f "$out/package.msp" "$out/list.txt"
  clean_start
  case $mode in
    e) timed seconds "$program" /e "$(winpath "$out/package.msp")" || true ;;
    p) timed seconds "$program" /p "$(winpath "$out/list.txt")" || true ;;
    i) timed seconds "$program" /i || true ;;
  esac
  case $mode in
    e) if [[ $program == "$hotfix" ]]; then cmp -s "$out/package.msp" "$sample_msp"
       else cmp -s "$out/package.msp" "$payload256"; fi ||
         { printf -v "$var" 'VOID: /e wrote no copy of its payload'; return; } ;;
    p) [[ $(stat -c %s "$out/list.txt" 2>/dev/null) == "$block" ]] ||
         { printf -v "$var" 'VOID: /p LIST did not write one block'; return; } ;;
    i) box_ok || { printf -v "$var" "VOID: the /i box did not show the sample's codes"; return; } ;;
  esac
  printf -v "$var" '%s' "$seconds"
}
for ((run = 1; run <= $(runs_of 6); run++)); do
  # /e of both programs and the copy; then /p and /i of both, the order of
  # the two programs swapped every other run.
  if (( run % 2 )); then
    mode6 small "$hotfix" e; mode6 big "$hotfix256" e
    rm -f "$out/copy.bin"; clean_start; timed copy cmd /c copy /y "$(winpath "$payload256")" "$(winpath "$out/copy.bin")" || true
    timed exit_ cmd /c exit || true
  else
    timed exit_ cmd /c exit || true
    rm -f "$out/copy.bin"; clean_start; timed copy cmd /c copy /y "$(winpath "$payload256")" "$(winpath "$out/copy.bin")" || true
    mode6 big "$hotfix256" e; mode6 small "$hotfix" e
  fi
  cmp -s "$out/copy.bin" "$payload256" || big="VOID: copy did not copy the payload"
  if [[ $big == VOID* || $small == VOID* ]]; then
    void 6a "$title6a" s "$run" "${big#VOID: } / ${small#VOID: }"
  else
    record 6a "$title6a" s "$(sub "$big" "$small")" "$(sub "$copy" "$exit_")"
    echo "  run $run: /e 256 MiB $big s, /e sample $small s; copy $copy s, cmd /c exit $exit_ s"
  fi
  for mode in p i; do
    measure=$([[ $mode == p ]] && echo 6b || echo 6c)
    title=$([[ $mode == p ]] && echo "$title6b" || echo "$title6c")
    if (( run % 2 )); then
      mode6 big "$hotfix256" "$mode"; mode6 small "$hotfix" "$mode"
    else
      mode6 small "$hotfix" "$mode"; mode6 big "$hotfix256" "$mode"
    fi
    if [[ $big == VOID* || $small == VOID* ]]; then
      void "$measure" "$title" s "$run" "${big#VOID: } / ${small#VOID: }"
    else
      record "$measure" "$title" s "$big" "$small"
      echo "  run $run: /$mode 256 MiB $big s, sample $small s"
    fi
  done
done
# The peaks, in runs of their own: the sampling of the peak helper costs time.
anon256=()
peak6() {  # peak6 OUT PROGRAM MODE
  local args
  case $3 in
    e) rm -f "$out/package.msp"; args=(/e "$(winpath "$out/package.msp")") ;;
    p) rm -f "$out/list.txt"; args=(/p "$(winpath "$out/list.txt")") ;;
    i) args=(/i) ;;
  esac
  clean_start
  "$python" "$helper" peak "$1" -- "$wine" "$2" "${args[@]}"
}
for ((run = 1; run <= $(runs_of 6); run++)); do
  for mode in e p i; do
    case $mode in e) measure=6d title=$title6d ;; p) measure=6e title=$title6e ;; i) measure=6f title=$title6f ;; esac
    rm -f "$peaks".*
    peak6 "$peaks.big" "$hotfix256" "$mode"
    reason=""
    case $mode in
      e) cmp -s "$out/package.msp" "$payload256" || reason="/e wrote no copy of the 256 MiB payload" ;;
      i) box_ok || reason="the /i box did not show the sample's codes" ;;
    esac
    peak6 "$peaks.small" "$hotfix" "$mode"
    read -r big_peak big_anon _ _ <"$peaks.big"
    read -r small_peak _ _ _ <"$peaks.small"
    if [[ -n $reason ]]; then
      void "$measure" "$title" KiB "$run" "$reason"
    else
      record "$measure" "$title" KiB "$big_peak" "$small_peak"
      [[ $mode == e ]] && anon256+=("$big_anon")
      echo "  run $run: peak /$mode 256 MiB $big_peak KiB (anonymous $big_anon KiB); sample $small_peak KiB"
    fi
  done
done
if wanted 6; then
  touch "$work/robot6/stop"
  for _ in $(seq 100); do kill -0 "$robot_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$robot_pid" 2>/dev/null || true
  wait "$robot_pid" 2>/dev/null || true
  robot_pid=""
fi
rm -rf "$out"

# ---------------------------------------------------------------- the table

touch "$work/idle.stop"
say "Figures ($runs runs each; times in ms, wall clock around the wine64 process)"
"$python" "$helper" report "$results"
cat <<EOF

The 64 MiB payload is $payload_bytes bytes ($((payload_bytes >> 20)) MiB). Largest anonymous
(not file-backed) resident set seen while /e wrote it, sampled every 2 ms:
$(if ((${#anon[@]})); then printf '%s\n' "${anon[@]}" | "$python" -c 'import statistics, sys
v = [int(l) / 1024 for l in sys.stdin]
print(f"median {statistics.median(v):.1f} MiB ({min(v):.1f}-{max(v):.1f}), n {len(v)}")'; else echo void; fi)
The 256 MiB payload is $payload256_bytes bytes; the largest anonymous resident set seen
while /e wrote it: $(if ((${#anon256[@]})); then printf '%s\n' "${anon256[@]}" | "$python" -c 'import statistics, sys
v = [int(l) / 1024 for l in sys.stdin]
print(f"median {statistics.median(v):.1f} MiB ({min(v):.1f}-{max(v):.1f}), n {len(v)}")'; else echo void; fi)
machine load after: $(uptime)
$(nproc) cores; $("$wine" --version 2>/dev/null); everything of this run: $bench
EOF

if wanted make-patch; then
  say "make-patch at product scale"
  "$root/scripts/bench-make-patch.sh"
fi
