#!/usr/bin/env bash
# What a delta patch of a file costs against carrying the whole file, as
# make-patch's patches carry it today (an MSZIP cabinet, made by gcab -z):
#
#   4 KiB changed in a 50 MB file   (beyond the decoder: no delta)
#   4 KiB changed in a 32 MB file   (the largest size class the decoder takes)
#   two builds of quor.exe and of hotfix.exe from different sources
#
# For each: the delta, the delta in a cabinet, the whole new file in a
# cabinet, their ratio, and make-delta's wall time and peak resident set
# (/usr/bin/time). Then, unless --no-wine, Wine's ApplyPatchToFileW rebuilds
# every new file from its delta (checked byte for byte) on a private Wine
# machine, timed around the wine64 process.
#
#   tools/make-patch/tests/delta_bench.sh [--no-wine]
#
# A benchmark, not a test: it reports figures and fails only when it cannot
# set itself up or a rebuilt file differs. Needs the host and windows builds;
# everything it makes lives under build/bench/delta (BENCH_DIR moves it).
set -euo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
use_wine=1
[[ ${1:-} == --no-wine ]] && use_wine=0
bench=${BENCH_DIR:-$root/build/bench}/delta
make_delta=$root/build/host/tools/make-patch/make-delta
windows=$root/build/windows
tools=$windows/tests/tools/delta_apply
die() { echo "delta_bench: $*" >&2; exit 1; }
[[ -x $make_delta ]] || die "no $make_delta: cmake --build --preset host"
for program in "$windows/tests/tools/quor/quor.exe" "$tools/quor_next.exe" "$windows/hotfix.exe" \
    "$tools/hotfix_next.exe" "$tools/apply_delta.exe"; do
  [[ -f $program ]] || die "no $program: cmake --build --preset windows"
done
mkdir -p "$bench"

cp "$windows/tests/tools/quor/quor.exe" "$bench/quor.old"
cp "$tools/quor_next.exe" "$bench/quor.new"
cp "$windows/hotfix.exe" "$bench/hotfix.old"
cp "$tools/hotfix_next.exe" "$bench/hotfix.new"
python3 - "$bench" <<'EOF'
import os, random, sys
rng = random.Random(19)
for name, size in (('50MB', 50_000_000), ('32MB', 32_000_000)):
    old = rng.randbytes(size)
    new = bytearray(old)
    new[size // 2:size // 2 + 4096] = rng.randbytes(4096)
    open(f'{sys.argv[1]}/{name}.old', 'wb').write(old)
    open(f'{sys.argv[1]}/{name}.new', 'wb').write(new)
EOF

# cab_size FILE: bytes of an MSZIP cabinet holding FILE.
cab_size() {
  local dir
  dir=$(mktemp -d "$bench/cab.XXXXXX")
  cp "$1" "$dir/file"
  (cd "$dir" && gcab -c -z file.cab file)
  stat -c %s "$dir/file.cab"
  rm -rf "$dir"
}

printf '%-8s %12s %12s %10s %12s %12s %9s %7s %9s\n' pair old new delta "delta cab" "whole cab" ratio "time s" "peak MiB"
pairs=(50MB 32MB quor hotfix)
for name in "${pairs[@]}"; do
  old=$bench/$name.old new=$bench/$name.new patch=$bench/$name.patch
  rm -f "$patch"
  rc=0
  /usr/bin/time -f '%e %M' -o "$bench/$name.time" "$make_delta" "$old" "$new" "$patch" >/dev/null 2>&1 || rc=$?
  read -r seconds peak_kib < <(tail -n 1 "$bench/$name.time")
  whole=$(cab_size "$new")
  if ((rc == 0)); then
    delta=$(stat -c %s "$patch")
    delta_cab=$(cab_size "$patch")
    ratio=$(python3 -c "print(f'{100 * $delta_cab / $whole:.3f}%')")
  elif ((rc == 1)); then
    delta=none delta_cab=- ratio="100% (whole)"
  else
    die "make-delta failed on $name"
  fi
  printf '%-8s %12s %12s %10s %12s %12s %9s %7s %9s\n' "$name" "$(stat -c %s "$old")" "$(stat -c %s "$new")" \
    "$delta" "$delta_cab" "$whole" "$ratio" "$seconds" "$(python3 -c "print(f'{$peak_kib / 1024:.1f}')")"
done
echo "ratio: the delta's cabinet against the whole file's; 50MB: the old file is above the decoder's 32 MiB"

((use_wine)) || exit 0
source "$root/scripts/wine-machine.sh"
machine_find_wine
export WINEPREFIX=$bench/prefix WINEDEBUG=-all
[[ -d $WINEPREFIX ]] || "$wine" wineboot -i >/dev/null 2>&1 || die "cannot boot a Wine machine in $WINEPREFIX"
echo
echo "ApplyPatchToFileW under Wine (wall time of the wine64 process):"
for name in "${pairs[@]}"; do
  [[ -f $bench/$name.patch ]] || continue
  rm -f "$bench/$name.out"
  start=$(date +%s%N)
  result=$("$wine" "$tools/apply_delta.exe" apply "$(winpath "$bench/$name.patch")" "$(winpath "$bench/$name.old")" \
    "$(winpath "$bench/$name.out")" | tr -d '\r')
  elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
  cmp -s "$bench/$name.out" "$bench/$name.new" || die "$name: not rebuilt ($result)"
  printf '  %-8s %6d ms  rebuilt byte for byte\n' "$name" "$elapsed_ms"
done
"$wineserver" -k 2>/dev/null || true
