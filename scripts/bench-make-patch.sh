#!/usr/bin/env bash
# What make-patch costs at product scale, on pairs of product packages built
# by tests/products/big-product.py (the new package of each pair changes 4 KiB
# in the middle of some of its files):
#
#   a  one 50 MB file, changed
#   b  four 50 MB files (200 MB), one of them changed
#   c  2,000 files of 50 KB, 20 changed
#   d  the 2 GB pair: 20,000 files, one of them 100 MB, 20 changed (the
#      100 MB one among them)
#
# For each pair: make-patch's wall time against the reading floor (every
# file of both packages' cabinets read once, as make-patch reads them, and
# dropped: tools/make-patch/tests/cabinet_floor.cpp), interleaved run by run
# with the order swapped every other run; make-patch's peak resident set
# (ru_maxrss at wait4) against 256 MiB plus the largest changed file; the size
# of the patch, whole files and with --delta, over the bytes that changed.
# Then tools/make-patch/tests/delta_bench.sh measures the delta encoder on
# its own (a 32 MB file, two builds of two of our programs).
#
#   scripts/bench-make-patch.sh [--runs N]    N timed runs a pair (default 3)
#
# A benchmark, not a test; scripts/bench.sh runs it after its own measures.
# The packages are built once and kept under build/bench/make-patch
# (BENCH_DIR moves it): the 2 GB pair takes some minutes to build and about
# 5 GB of disk.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
while (($#)); do
  case $1 in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    -h|--help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-make-patch.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "bench-make-patch.sh: --runs takes a positive number" >&2; exit 2; }
die() { echo "bench-make-patch.sh: $*" >&2; exit 1; }
python=/usr/bin/python3

"$root/scripts/install-deps.sh"
(cd "$root" && cmake --preset host >/dev/null && cmake --build --preset host -j "$(nproc)" \
   --target make-patch cabinet-floor make-delta >/dev/null) || die "the host build failed"
make_patch=$root/build/host/tools/make-patch/make-patch
floor=$root/build/host/tools/make-patch/tests/cabinet-floor
bench=${BENCH_DIR:-$root/build/bench}/make-patch
mkdir -p "$bench"

# name | files | size of each | the large one | changed files
pairs=(
  "a-one-50mb|1|52428800|0|1"
  "b-four-50mb|4|52428800|0|1"
  "c-2000-files|2000|51200|0|20"
  "d-2gb|20000|100000|104857600|20"
)
build_pair() {  # build_pair NAME FILES SIZE LARGE CHANGED
  local dir=$bench/$1 large=()
  [[ -f $dir/ready ]] && return 0
  rm -rf "$dir"
  mkdir -p "$dir/old" "$dir/new"
  (( $4 > 0 )) && large=(--large "$4")
  echo "building the pair $1 ($2 files)"
  "$python" "$root/tests/products/big-product.py" --version 5.2.0.0 --files "$2" --size "$3" "${large[@]}" \
    "$dir/old/product.msi" >/dev/null &&
    "$python" "$root/tests/products/big-product.py" --version 5.2.1.0 --files "$2" --size "$3" "${large[@]}" \
      --change "$5" "$dir/new/product.msi" >/dev/null || die "cannot build the pair $1"
  touch "$dir/ready"
}

seconds() { "$python" -c "print(f'{$2 - $1:.3f}')"; }
peak() {  # peak VAR COMMAND...: the command's peak resident set in KiB
  local var=$1 out=$bench/peak.out
  shift
  rm -f "$out"
  "$python" "$root/scripts/bench.py" peak "$out" -- "$@" >/dev/null 2>&1
  read -r kib _ _ rc <"$out"
  (( rc == 0 )) || die "$* ended with $rc"
  printf -v "$var" '%s' "$kib"
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

rows=()
for row in "${pairs[@]}"; do
  IFS='|' read -r name files size large changed <<<"$row"
  build_pair "$name" "$files" "$size" "$large" "$changed"
  dir=$bench/$name
  old=$dir/old/product.msi new=$dir/new/product.msi
  total=$(( $(stat -c %s "$dir/old/product.cab") + $(stat -c %s "$dir/new/product.cab") ))
  largest=$(( large > size ? large : size ))
  changed_bytes=$(( changed * 4096 ))
  echo "== $name: $files files; cabinets $total bytes together"
  tool_times=() floor_times=()
  for ((run = 1; run <= runs; run++)); do
    rm -f "$dir/patch.msp"
    for side in $( ((run % 2)) && echo "tool floor" || echo "floor tool"); do
      start=${EPOCHREALTIME/,/.}
      if [[ $side == tool ]]; then
        "$make_patch" --patch-code '{B16B16B1-6000-4000-8000-00000000FACE}' --output "$dir/patch.msp" "$old" "$new" \
          >/dev/null 2>"$dir/make-patch.err" || die "make-patch failed on $name: $(cat "$dir/make-patch.err")"
        tool_times+=("$(seconds "$start" "${EPOCHREALTIME/,/.}")")
      else
        "$floor" "$dir/old/product.cab" "$dir/new/product.cab" >/dev/null || die "the floor failed on $name"
        floor_times+=("$(seconds "$start" "${EPOCHREALTIME/,/.}")")
      fi
    done
    echo "  run $run: make-patch ${tool_times[-1]} s, reading floor ${floor_times[-1]} s"
  done
  peak tool_peak "$make_patch" --patch-code '{B16B16B1-6000-4000-8000-00000000FACE}' --output "$dir/patch.msp" \
    "$old" "$new"
  whole=$(stat -c %s "$dir/patch.msp")
  "$make_patch" --patch-code '{B16B16B1-6000-4000-8000-00000000FACE}' --delta --output "$dir/delta.msp" "$old" "$new" \
    >/dev/null 2>&1 || die "make-patch --delta failed on $name"
  delta=$(stat -c %s "$dir/delta.msp")
  tool=$(median "${tool_times[@]}") anchor=$(median "${floor_times[@]}")
  bound=$(( 256 * 1024 + largest / 1024 ))
  rows+=("$(printf '%-13s %9.2f %9.2f %6.2f %12.1f %12.1f %14d %14d %10d' "$name" "$tool" "$anchor" \
    "$("$python" -c "print($tool / $anchor)")" "$("$python" -c "print($tool_peak / 1024)")" \
    "$("$python" -c "print($bound / 1024)")" "$whole" "$delta" "$changed_bytes")")
done

echo
echo "make-patch ($runs runs a pair, medians; times in s, peaks in MiB, sizes in bytes):"
printf '%-13s %9s %9s %6s %12s %12s %14s %14s %10s\n' pair make-patch floor ratio "peak" "256+largest" \
  "patch (whole)" "patch (delta)" changed
printf '%s\n' "${rows[@]}"
echo "machine load: $(uptime)"
echo
# The delta encoder on its own needs the windows build (the two builds of
# our programs, and Wine's decoder to check every delta).
if [[ -f $root/build/windows/tests/tools/delta_apply/apply_delta.exe ]]; then
  "$root/tools/make-patch/tests/delta_bench.sh"
else
  echo "no windows build (cmake --build --preset windows): the delta encoder's own figures are left out"
fi
