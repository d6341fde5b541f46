#!/usr/bin/env bash
# Runs hotfix.exe the way a user meets it: builds it and checks that its
# sample patch is what scripts/make-sample-patch.sh makes from the sample
# products, prepares a Wine machine with three installed Quorvel products
# (German 5.2.0.0, which the hotfix patches; English 5.2.1.0, already up to
# date; French 5.1.0.0, a version the hotfix is not made for), and runs
# hotfix.exe without switches.
#
#   scripts/run-hotfix.sh                      the run described above
#   scripts/run-hotfix.sh --screenshots DIR    the README pictures instead:
#                                              the prompt, a failure (300),
#                                              the German and the Japanese
#                                              success messages and the /i
#                                              box, as small PNGs in DIR
#
# With a usable $DISPLAY the message boxes appear on it and you answer them;
# a recorder only reads them for the transcript. Without one, a private Xvfb
# display is used: each box is saved as a PNG and answered with OK. Either
# way the command ends with a transcript: every box's caption and text, the
# products' versions and their quore.arx before and after, and hotfix.exe's
# exit code.
#
# Everything lives under build/windows/run-hotfix (the Wine machine is made
# afresh on every run); HOTFIX_RUN_DIR moves it, HOTFIX_BUILD_DIR builds in
# another tree than the windows preset's.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
screenshots=""
while (($#)); do
  case $1 in
    --screenshots) screenshots=${2:?--screenshots needs a folder}; shift 2 ;;
    -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-hotfix.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ -z $screenshots || $screenshots == /* ]] || screenshots=$PWD/$screenshots

say() { printf '\n== %s\n' "$*"; }
die() { echo "run-hotfix.sh: $*" >&2; exit 1; }

# ---------------------------------------------------------------- tools and build

"$root/scripts/install-deps.sh"

# The windows preset's tree, or with HOTFIX_BUILD_DIR a tree of your own
# configured the same way.
build=${HOTFIX_BUILD_DIR:-$root/build/windows}
say "Building hotfix.exe in $build"
mkdir -p "$build"
build_log=$build/run-hotfix-build.log
if [[ -n ${HOTFIX_BUILD_DIR:-} ]]; then
  configure=(cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-w64-x86_64.cmake"
             -DHOTFIX_TARGET=windows -DCMAKE_BUILD_TYPE=Release)
else
  configure=(cmake --preset windows)
fi
(cd "$root" && "${configure[@]}" && cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
    --target hotfix quor dialog_robot probe run_with) >"$build_log" 2>&1 ||
  { tail -30 "$build_log" >&2; die "the build failed (log: $build_log)"; }
hotfix_exe=$build/hotfix.exe
robot=$build/tests/tools/dialog_robot.exe
probe=$build/tests/tools/probe.exe
run_with=$build/tests/tools/run_with.exe
quor=$build/tests/tools/quor/quor.exe
for program in "$hotfix_exe" "$robot" "$probe" "$run_with" "$quor"; do
  [[ -f $program ]] || die "the build made no $program"
done
echo "hotfix.exe: $hotfix_exe ($(stat -c %s "$hotfix_exe") bytes)"
say "Checking the sample patch against a rebuild from the sample products"
"$root/scripts/make-sample-patch.sh" --check --quor "$quor" ||
  die "resources/sample is not what scripts/make-sample-patch.sh makes"
echo "sample.msp: $(stat -c %s "$root/resources/sample/sample.msp") bytes"

source "$root/scripts/wine-machine.sh"
machine_find_wine

# ---------------------------------------------------------------- the machine

state=${HOTFIX_RUN_DIR:-$build/run-hotfix}
export WINEPREFIX=$state/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
xvfb_pid=""
robot_pid=""
quor_pid=""

cleanup() {
  [[ -n $robot_pid ]] && kill "$robot_pid" 2>/dev/null
  [[ -n $quor_pid ]] && kill "$quor_pid" 2>/dev/null
  machine_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [[ -d $WINEPREFIX ]]; then
  timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
fi
rm -rf "$state"
mkdir -p "$state/products" "$state/logs"

# A person answers the boxes only on a display that works and only for the
# plain run; the pictures always come from a private display of their own.
interactive=no
if [[ -z $screenshots && -n ${DISPLAY:-} ]] && timeout 10 xdpyinfo >/dev/null 2>&1; then
  interactive=yes
  say "Using your display $DISPLAY: answer each message box as it appears"
else
  machine_start_xvfb 120 199 "$state/logs/xvfb.log"
  # The pictures show English wherever the user's own language decides.
  export LC_ALL=C.UTF-8
  unset LANGUAGE
  say "No usable display: a private Xvfb ($DISPLAY); each box is saved and answered with OK"
fi

say "Preparing a Wine machine in $WINEPREFIX"
timeout --kill-after=10 180 "$wine" wineboot -i </dev/null >"$state/logs/wineboot.log" 2>&1 ||
  die "wineboot failed (log: $state/logs/wineboot.log)"
{
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\n"ShowCrashDialog"=dword:00000000\n'
  # Without a window manager Wine draws the title bars itself, so that the
  # pictures show each box's caption.
  if [[ $interactive == no ]]; then
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Decorated"="N"\n'
  fi
} >"$state/machine.reg"
timeout 60 "$wine" regedit /S "$(winpath "$state/machine.reg")" </dev/null >>"$state/logs/wineboot.log" 2>&1 ||
  die "regedit failed"
# Chinese, Japanese and Korean texts in the boxes need a font that has them.
timeout 60 "$wine" regedit /S "$(winpath "$root/tests/wine/cjk_font.reg")" </dev/null \
  >>"$state/logs/wineboot.log" 2>&1 || die "regedit of the CJK font link failed"
# Wine's own Tahoma and Marlett (title-bar buttons) are not found by this
# Wine build unless they are in the machine's Fonts folder.
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
  if [[ -f /usr/share/wine/fonts/$font ]]; then
    cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
done

probe_out() {  # probe_out ARGS...: the probe's output, bounded
  timeout --kill-after=5 60 "$wine" "$probe" "$@" </dev/null 2>/dev/null | tr -d '\r'
}

codes=() names=()
# add_product LANGUAGE VERSION [make-product.sh OPTIONS...]: that variant of
# the sample products, the very one the sample patch was made from.
add_product() {
  local language=$1 version=$2; shift 2
  local hex code msi name
  hex=$(printf '%04X' "$language")
  code="{7C4A19E2-6007-$hex-9B3D-4E81A6F25C07}"
  name=$(awk -F'\t' -v l="$hex" '$1 == l { print $2 }' "$root/resources/sample/products.tsv")
  msi=$state/products/quorvel-$language-$version.msi
  "$root/tests/products/sample-product.sh" --quor "$quor" "$hex" "$version" "$msi" "$@" \
    >>"$state/logs/products.log" 2>&1 || die "cannot build the product $code (log: $state/logs/products.log)"
  timeout --kill-after=5 120 "$wine" msiexec /i "$(winpath "$msi")" /qn </dev/null >>"$state/logs/products.log" 2>&1 ||
    die "msiexec could not install $msi"
  [[ $(probe_out product-state "$code") == *'"state":5'* ]] || die "$code is not installed after msiexec"
  codes+=("$code") names+=("$name")
  echo "installed $name ($language) $version: $code"
}

# The folder of a product's quor.exe, as make-product.sh installs it.
quor_folder() { echo "$WINEPREFIX/drive_c/Program Files/Korvanta/Quorvel ${1:1:36}"; }

# Two lines per product: VersionString, code and name as the installer
# service reports them, then what its installed quore.arx says.
versions() {
  local i
  for i in "${!codes[@]}"; do
    printf '  %-9s %s  %s\n' "$(probe_out product-info "${codes[$i]}" VersionString)" "${codes[$i]}" "${names[$i]}"
    printf '            quore.arx: %s\n' "$(tr -d '\r' <"$(quor_folder "${codes[$i]}")/quore.arx")"
  done
}

start_quor() {  # start_quor CODE: the product's program runs until stop_quor
  local exe
  exe="$(quor_folder "$1")/quor.exe"
  [[ -f $exe ]] || die "no quor.exe in $(quor_folder "$1")"
  rm -f "$state/quor.stop" "$state/quor.ready"
  timeout 400 "$wine" "$exe" "$(winpath "$state/quor.stop")" "$(winpath "$state/quor.ready")" 300 \
    </dev/null >"$state/logs/quor.log" 2>&1 &
  quor_pid=$!
  local waited
  for waited in $(seq 300); do
    [[ -e $state/quor.ready ]] && return 0
    sleep 0.1
  done
  die "quor.exe did not start"
}

stop_quor() {
  touch "$state/quor.stop"
  local waited
  for waited in $(seq 200); do
    kill -0 "$quor_pid" 2>/dev/null || { wait "$quor_pid" 2>/dev/null; quor_pid=""; return 0; }
    sleep 0.1
  done
  die "quor.exe did not stop"
}

# ---------------------------------------------------------------- running hotfix.exe

run=0
# run_hotfix SHOTS_DIR ANSWERS [ARGS...]: one run of hotfix.exe with the
# recorder (answering per ANSWERS, or "none": only reading), its transcript
# in $state/run-N/. Leaves the exit code in exit_code.
run_hotfix() {
  local shots=$1 answers=$2; shift 2
  run=$((run + 1))
  local dir=$state/run-$run
  mkdir -p "$dir/signals"
  local robot_args=(--out "$(winpath "$dir/boxes.jsonl")" --signal-dir "$(winpath "$dir/signals")"
                    --stop-file "$(winpath "$dir/signals/stop")" --timeout 3600 --hook-timeout 120)
  if [[ $answers == none ]]; then
    robot_args+=(--default none)
  else
    robot_args+=(--answers "$answers" --default ok)
  fi
  if [[ -n $shots ]]; then
    mkdir -p "$shots"
    robot_args+=(--screenshot-dir "$(winpath "$shots")")
  fi
  "$wine" "$robot" "${robot_args[@]}" </dev/null >"$dir/robot.log" 2>&1 &
  robot_pid=$!
  local waited
  for waited in $(seq 300); do
    [[ -e $dir/signals/ready ]] && break
    sleep 0.1
  done
  [[ -e $dir/signals/ready ]] || die "the box recorder did not start: $(cat "$dir/robot.log")"

  say "hotfix.exe $*"
  # A person may take a while; an unanswered box is given up after 30 minutes.
  local limit=300
  if [[ $answers == none ]]; then limit=1800; fi
  timeout --kill-after=10 "$limit" "$wine" "$run_with" --exit-code-file "$(winpath "$dir/exit-code")" \
    -- "$hotfix_exe" "$@" </dev/null >"$dir/run.log" 2>&1 &
  hotfix_pid=$!
}

# finish_run: waits for hotfix.exe, stops the recorder, turns its pictures
# into PNG files.
finish_run() {
  local shots=$1 dir=$state/run-$run rc=0
  wait "$hotfix_pid" || rc=$?
  exit_code=$(tr -d '\r\n' <"$dir/exit-code" 2>/dev/null || true)
  [[ -n $exit_code ]] || exit_code="none (the run ended with $rc)"
  touch "$dir/signals/stop"
  local waited
  for waited in $(seq 200); do
    kill -0 "$robot_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$robot_pid" 2>/dev/null || true
  wait "$robot_pid" 2>/dev/null || true
  robot_pid=""
  if [[ -n $shots ]]; then
    local bmp
    for bmp in "$shots"/box-*.bmp; do
      [[ -f $bmp ]] || continue
      convert "$bmp" -strip "${bmp%.bmp}.png" && rm -f "$bmp"
    done
  fi
}

transcript() {  # transcript N [SHOTS_DIR]: the boxes of run N, one block each
  python3 - "$state/run-$1/boxes.jsonl" "${2:-}" <<'EOF'
import json, sys
try:
    lines = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8") if l.strip()]
except FileNotFoundError:
    lines = []
boxes = [l for l in lines if "error" not in l]
if not boxes:
    print("  (no message box)")
for box in boxes:
    buttons = " ".join("[" + b["text"].replace("&", "") + "]" for b in box.get("buttons", []))
    print(f"  Box {box['box']}: \"{box['caption']}\"  icon: {box['icon']}  buttons: {buttons}")
    for line in box["text"].split("\n"):
        print("    | " + line)
    if box.get("screenshot") and sys.argv[2]:
        print("    picture: " + sys.argv[2] + "/" + box["screenshot"].replace(".bmp", ".png"))
for line in lines:
    if "error" in line:
        print(f"  (recorder: {line['error']})")
EOF
}

wait_for_box() {  # wait_for_box N: until box N of the current run is up
  local file=$state/run-$run/signals/box-$1.json waited
  for waited in $(seq 1200); do
    [[ -e $file ]] && return 0
    kill -0 "$hotfix_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# ---------------------------------------------------------------- the README pictures

# keep_picture RUN_SHOTS N NAME: box N's picture as DIR/NAME.png, small.
keep_picture() {
  local from=$1/box-$2.png to=$screenshots/$3.png
  [[ -f $from ]] || die "no picture of box $2 (see $1)"
  # A 256-colour palette keeps the anti-aliased text legible at a fraction
  # of the size.
  convert "$from" -strip -colors 256 "PNG8:$to"
  echo "  $to ($(identify -format '%wx%h' "$to"), $(stat -c %s "$to") bytes)"
}

if [[ -n $screenshots ]]; then
  mkdir -p "$screenshots"
  say "Installing the products for the pictures"
  # The English one fails to patch (its custom action stops the installer,
  # which shows its own box), so a 300 follows; the German and the Japanese
  # ones succeed.
  add_product 1033 5.2.0.0 --fail-on-patch
  add_product 1031 5.2.0.0
  add_product 1041 5.2.0.0
  start_quor "${codes[0]}"
  shots=$state/run-1-pictures
  run_hotfix "$shots" "retry-after:$(winpath "$state/release-prompt"),ok,ok,ok,ok"
  wait_for_box 1 || die "the running-program prompt did not appear"
  stop_quor
  touch "$state/release-prompt"
  finish_run "$shots"
  transcript 1 "$shots"
  # Box 1 the prompt, 2 the installer's own error, 3 the 300, 4 the German
  # 301, 5 the Japanese 301.
  say "Pictures in $screenshots"
  keep_picture "$shots" 1 prompt
  keep_picture "$shots" 3 failure
  keep_picture "$shots" 4 success-de
  keep_picture "$shots" 5 success-ja
  shots=$state/run-2-pictures
  run_hotfix "$shots" ok /i
  finish_run "$shots"
  transcript 2 "$shots"
  keep_picture "$shots" 1 product-list
  exit 0
fi

# ---------------------------------------------------------------- the run

say "Installing the sample products"
add_product 1031 5.2.0.0
add_product 1033 5.2.1.0
add_product 1036 5.1.0.0
before=$(versions)

shots=""
if [[ $interactive == no ]]; then shots=$state/screenshots; fi
if [[ $interactive == yes ]]; then
  run_hotfix "" none
else
  run_hotfix "$shots" ok
fi
finish_run "$shots"
after=$(versions)

say "Transcript"
transcript 1 "$shots"
echo
echo "Products before:"
echo "$before"
echo "Products after:"
echo "$after"
echo
echo "hotfix.exe exit code: $exit_code"
if [[ -n $shots ]]; then echo "Screenshots of the boxes: $shots"; fi
echo "Everything of this run: $state"
