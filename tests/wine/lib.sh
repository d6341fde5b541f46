# Shared harness of the Wine tests; every tests/wine/*_test.sh sources it.
#
# The fixture (fixture_setup.sh, run once by CTest before the Wine tests)
# starts one Xvfb display with several screens and boots one Wine prefix; a
# test takes a hard-linked copy of that prefix and a screen of its own, so it
# starts from a clean machine and boxes of tests running side by side never
# overlap. Everything lives under $HOTFIX_BUILD_DIR/wine.
#
# Environment (CTest sets these; defaults suit a hand run from the build tree):
#   HOTFIX_BUILD_DIR   the build tree          HOTFIX_SOURCE_DIR  the source tree
#   HOTFIX_EXE         hotfix.exe              HOTFIX_PROBE       probe.exe
#   HOTFIX_ROBOT       dialog_robot.exe        HOTFIX_RUN_WITH    run_with.exe
#   HOTFIX_WINE        the wine64 loader       HOTFIX_WINESERVER  wineserver
#   HOTFIX_OBJDUMP     x86_64-w64-mingw32-objdump
# Set by this file for the test: WINE_TEST_NAME (script name without .sh),
# WINE_TEST_DIR (a fresh scratch directory of the test), WINE_STATE_DIR.
# Set by wine_new_prefix: WINEPREFIX, DISPLAY, WINEDEBUG=-all, WINE_PREFIX_C;
# WINEDLLOVERRIDES unset.
#
# The functions (details above each):
#   wine_new_prefix NAME                 a clean machine of this test's own
#   wine_virtual_desktop [WxH]           framed windows, for screenshots
#   wine_run SECONDS EXE ARGS...         run, bounded; returns the exit code
#   wine_run_env SECONDS [--cwd DIR] NAME=VALUE... -- EXE ARGS...
#   wine_run_cmdline SECONDS EXE COMMAND_LINE [NAME=VALUE...]
#   wine_kill_prefix                     end every process of the prefix
#   winpath_of PATH / unixpath_of WINPATH
#   robot_start OUTFILE [OPTIONS...] / robot_wait_box N [SECONDS]
#   robot_stop [SECONDS] / robot_boxes OUTFILE / expect_boxes OUTFILE JSON
#   expect_eq / expect_ne / expect_contains / expect_file_exists /
#   expect_no_file / expect_file_bytes_equal / record_failure / fail
#   json_field JSON PATH / json_line FILE N
#   wait_for_file PATH SECONDS / wait_until SECONDS COMMAND...
#   wine_case TEXT / wine_log TEXT
# A test passes when it exits 0 and no check failed; the exit trap stops the
# test's robot and wineservers whatever happens.

# ---------------------------------------------------------------- settings

HOTFIX_SOURCE_DIR=${HOTFIX_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
HOTFIX_BUILD_DIR=${HOTFIX_BUILD_DIR:-$HOTFIX_SOURCE_DIR/build/windows}
HOTFIX_EXE=${HOTFIX_EXE:-$HOTFIX_BUILD_DIR/hotfix.exe}
HOTFIX_PROBE=${HOTFIX_PROBE:-$HOTFIX_BUILD_DIR/tests/tools/probe.exe}
HOTFIX_ROBOT=${HOTFIX_ROBOT:-$HOTFIX_BUILD_DIR/tests/tools/dialog_robot.exe}
HOTFIX_RUN_WITH=${HOTFIX_RUN_WITH:-$HOTFIX_BUILD_DIR/tests/tools/run_with.exe}
if [[ -z ${HOTFIX_WINE:-} ]]; then
  HOTFIX_WINE=$(command -v wine64 || true)
  [[ -n $HOTFIX_WINE ]] || { [[ -x /usr/lib/wine/wine64 ]] && HOTFIX_WINE=/usr/lib/wine/wine64; }
  [[ -n $HOTFIX_WINE ]] || HOTFIX_WINE=$(command -v wine || echo wine64)
fi
HOTFIX_WINESERVER=${HOTFIX_WINESERVER:-$(command -v wineserver || echo wineserver)}
HOTFIX_OBJDUMP=${HOTFIX_OBJDUMP:-$(command -v x86_64-w64-mingw32-objdump || echo objdump)}
export HOTFIX_SOURCE_DIR HOTFIX_BUILD_DIR HOTFIX_EXE HOTFIX_PROBE HOTFIX_ROBOT HOTFIX_RUN_WITH \
  HOTFIX_WINE HOTFIX_WINESERVER HOTFIX_OBJDUMP

WINE_STATE_DIR=$HOTFIX_BUILD_DIR/wine
WINE_BASE_PREFIX=$WINE_STATE_DIR/base-prefix
WINE_PREFIXES_DIR=$WINE_STATE_DIR/prefixes
WINE_SCREENS_DIR=$WINE_STATE_DIR/screens
WINE_TEST_NAME=$(basename "$0" .sh)
WINE_TEST_DIR=$WINE_STATE_DIR/tmp/$WINE_TEST_NAME
WINE_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

wine__prefixes=()   # prefixes this script made; their wineservers go at exit
wine__screen=""     # the screen this script holds

# ---------------------------------------------------------------- reporting

wine__now_ms() { date +%s%3N; }
wine__started_ms=$(wine__now_ms)

# Prints a line to stderr with the seconds since the script started.
wine_log() {
  local elapsed=$(( $(wine__now_ms) - wine__started_ms ))
  printf '[%d.%03ds] %s\n' $((elapsed / 1000)) $((elapsed % 1000)) "$*" >&2
}

# Names the case that follows in the output.
wine_case() { wine_log "== $*"; }

wine__record_failure() {
  # A failure inside $(...) or a pipeline happens in a subshell; the file
  # carries it back to the script's exit trap.
  local message="$*"
  mkdir -p "$WINE_TEST_DIR" && printf '%s\n' "${message//$'\n'/ / }" >>"$WINE_TEST_DIR/.failures"
  printf 'FAIL: %s\n' "$*" >&2
}

# record_failure MESSAGE: records a failure and goes on (the test fails at exit).
record_failure() { wine__record_failure "$@"; }

# fail MESSAGE: records the failure and ends the test now.
fail() {
  wine__record_failure "$@"
  exit 1
}

# The expect_* helpers record a failure and go on, so one run shows every
# case that is wrong; each returns 1 when it failed.

# expect_eq ACTUAL EXPECTED [WHAT]
expect_eq() {
  if [[ "$1" == "$2" ]]; then return 0; fi
  wine__record_failure "${3:-value}: expected [$2], got [$1]"
  return 1
}

# expect_ne ACTUAL UNWANTED [WHAT]
expect_ne() {
  if [[ "$1" != "$2" ]]; then return 0; fi
  wine__record_failure "${3:-value}: must not be [$2]"
  return 1
}

# expect_contains HAYSTACK NEEDLE [WHAT]
expect_contains() {
  if [[ "$1" == *"$2"* ]]; then return 0; fi
  wine__record_failure "${3:-text}: [$1] does not contain [$2]"
  return 1
}

# expect_file_exists PATH [WHAT] / expect_no_file PATH [WHAT]
expect_file_exists() {
  if [[ -e "$1" ]]; then return 0; fi
  wine__record_failure "${2:-file}: $1 does not exist"
  return 1
}
expect_no_file() {
  if [[ ! -e "$1" ]]; then return 0; fi
  wine__record_failure "${2:-file}: $1 exists but should not"
  return 1
}

# expect_file_bytes_equal ACTUAL_FILE EXPECTED_FILE [WHAT]: byte for byte.
expect_file_bytes_equal() {
  local actual=$1 expected=$2 what=${3:-file}
  if [[ ! -f "$actual" ]]; then
    wine__record_failure "$what: $actual does not exist"
    return 1
  fi
  if [[ ! -f "$expected" ]]; then
    wine__record_failure "$what: the expected file $expected does not exist"
    return 1
  fi
  cmp -s "$actual" "$expected" && return 0
  local first
  first=$(cmp "$actual" "$expected" 2>/dev/null | sed -n 's/.* differ: byte \([0-9]*\),.*/\1/p')
  wine__record_failure "$what: $actual ($(stat -c %s "$actual") bytes) differs from $expected ($(stat -c %s "$expected") bytes)${first:+, first at byte $first}"
  if [[ -n $first ]]; then
    local from=$(( first > 16 ? first - 17 : 0 ))
    { echo "  actual:"; od -A d -t x1 -j "$from" -N 48 "$actual" | sed 's/^/    /'
      echo "  expected:"; od -A d -t x1 -j "$from" -N 48 "$expected" | sed 's/^/    /'; } >&2
  fi
  return 1
}

# json_field JSON PATH: prints one field of a JSON object given as text.
# PATH is dotted, numbers index arrays: "buttons.0.id". Strings print bare,
# anything else as JSON; a missing field prints nothing and returns 1.
json_field() {
  python3 -c '
import json, sys
value = json.loads(sys.argv[1])
for part in sys.argv[2].split(".") if sys.argv[2] else []:
    try:
        value = value[int(part)] if isinstance(value, list) else value[part]
    except (KeyError, IndexError, ValueError, TypeError):
        sys.exit(1)
print(value if isinstance(value, str) else json.dumps(value, ensure_ascii=False))
' "$1" "$2"
}

# json_line FILE N: prints line N (from 1) of a JSON-lines file.
json_line() { sed -n "${2}p" "$1"; }

# wait_for_file PATH SECONDS: 0 once PATH exists, 1 when the time is up.
wait_for_file() {
  local path=$1 deadline=$(( $(wine__now_ms) + $2 * 1000 ))
  while [[ ! -e "$path" ]]; do
    (( $(wine__now_ms) < deadline )) || return 1
    sleep 0.05
  done
}

# wait_until SECONDS COMMAND...: 0 once COMMAND succeeds, 1 when time is up.
wait_until() {
  local deadline=$(( $(wine__now_ms) + $1 * 1000 )); shift
  until "$@"; do
    (( $(wine__now_ms) < deadline )) || return 1
    sleep 0.1
  done
}

# ---------------------------------------------------------------- prefixes and screens

wine__require_fixture() {
  [[ -f "$WINE_STATE_DIR/display" && -f "$WINE_BASE_PREFIX/system.reg" ]] ||
    fail "no booted Wine fixture under $WINE_STATE_DIR: run the test through ctest (the fixture wine.fixture_setup boots it)"
  local pid
  pid=$(cat "$WINE_STATE_DIR/xvfb.pid" 2>/dev/null)
  [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null ||
    fail "the fixture's Xvfb (pid ${pid:-none}) is not running"
}

# Takes a screen of the fixture's display for this script; the claim is a
# directory, made atomically, naming the owner's pid.
wine__claim_screen() {
  [[ -n $wine__screen ]] && return 0
  local count deadline k
  count=$(cat "$WINE_STATE_DIR/screens.count")
  deadline=$(( $(wine__now_ms) + 120000 ))
  mkdir -p "$WINE_SCREENS_DIR"
  while :; do
    for ((k = 0; k < count; k++)); do
      if mkdir "$WINE_SCREENS_DIR/$k" 2>/dev/null; then
        echo $$ >"$WINE_SCREENS_DIR/$k/owner"
        wine__screen=$k
        return 0
      fi
      local owner
      owner=$(cat "$WINE_SCREENS_DIR/$k/owner" 2>/dev/null)
      # An owner that died without its trap running leaves a stale claim.
      if [[ -n $owner ]] && ! kill -0 "$owner" 2>/dev/null; then
        rm -rf "$WINE_SCREENS_DIR/$k"
      fi
    done
    (( $(wine__now_ms) < deadline )) || fail "no free screen of the Xvfb display after 120 s"
    sleep 0.2
  done
}

# wine_new_prefix NAME: a fresh copy of the booted prefix for this test,
# made current (WINEPREFIX, DISPLAY, WINEDEBUG=-all, WINEDLLOVERRIDES unset),
# with a wineserver of its own that the exit trap stops. Also makes
# WINE_PREFIX_C (the Linux path of its drive C:).
wine_new_prefix() {
  local name=${1:?wine_new_prefix NAME}
  wine__require_fixture
  wine__claim_screen
  local prefix=$WINE_PREFIXES_DIR/$WINE_TEST_NAME.$name
  if [[ -e $prefix ]]; then
    WINEPREFIX=$prefix timeout 20 "$HOTFIX_WINESERVER" -k >/dev/null 2>&1
    rm -rf "$prefix"
  fi
  mkdir -p "$WINE_PREFIXES_DIR"
  local start
  start=$(wine__now_ms)
  cp -al "$WINE_BASE_PREFIX" "$prefix" || fail "cannot copy the base prefix to $prefix"
  # Wine rewrites its registry files: they must not be shared with the base.
  local reg
  for reg in "$WINE_BASE_PREFIX"/*.reg; do
    cp --remove-destination "$reg" "$prefix/$(basename "$reg")" || fail "cannot copy $reg"
  done
  wine_log "prefix $name copied in $(( $(wine__now_ms) - start )) ms"
  wine__prefixes+=("$prefix")
  export WINEPREFIX=$prefix
  export DISPLAY="$(cat "$WINE_STATE_DIR/display").$wine__screen"
  export WINEDEBUG=-all
  unset WINEDLLOVERRIDES
  WINE_PREFIX_C=$prefix/drive_c
  # A persistent server keeps the prefix warm between the test's programs
  # (and still goes by itself 300 s after the last one, should the test be
  # killed before its trap runs); it daemonises with its output on
  # /dev/null, so no pipe stays open.
  "$HOTFIX_WINESERVER" -p300 </dev/null >/dev/null 2>&1 || fail "cannot start wineserver for $prefix"
}

# wine_virtual_desktop [WIDTHxHEIGHT=1024x768]: from now on the current
# prefix shows its windows inside one desktop window that Wine draws itself,
# with title bars and frames (there is no window manager otherwise): for
# screenshots that look like Windows. Programs behave the same otherwise.
wine_virtual_desktop() {
  local size=${1:-1024x768}
  wine__need_prefix
  wine_run 30 reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null ||
    fail "cannot turn on the virtual desktop"
  wine_run 30 reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$size" /f >/dev/null ||
    fail "cannot size the virtual desktop"
  # The desktop is made when the prefix's processes start: start them anew.
  wine_kill_prefix
  "$HOTFIX_WINESERVER" -p300 </dev/null >/dev/null 2>&1
}

# wine_kill_prefix: ends every process of the current prefix (bounded).
wine_kill_prefix() {
  timeout 20 "$HOTFIX_WINESERVER" -k >/dev/null 2>&1
  return 0
}

wine__need_prefix() {
  [[ -n ${WINEPREFIX:-} ]] || fail "call wine_new_prefix first"
}

# winpath_of PATH: the Windows path of a Linux path, C:\... inside the
# current prefix's drive C:, Z:\... elsewhere. The path need not exist.
winpath_of() {
  local path
  path=$(realpath -m "$1")
  if [[ -n ${WINEPREFIX:-} && $path == "$WINEPREFIX/drive_c" ]]; then
    printf 'C:\\\n'
  elif [[ -n ${WINEPREFIX:-} && $path == "$WINEPREFIX/drive_c/"* ]]; then
    path=${path#"$WINEPREFIX/drive_c/"}
    printf 'C:\\%s\n' "${path//\//\\}"
  else
    printf 'Z:%s\n' "${path//\//\\}"
  fi
}

# unixpath_of WINPATH: the Linux path of a C:\ or Z:\ path (as written; no
# case folding).
unixpath_of() {
  local path=$1 rest
  rest=${path:2}
  rest=${rest//\\//}
  case ${path:0:2} in
    [Cc]:) printf '%s\n' "$WINEPREFIX/drive_c$rest" ;;
    [Zz]:) printf '%s\n' "${rest:-/}" ;;
    *) return 1 ;;
  esac
}

# wine_run SECONDS EXE ARGS...: runs a Windows program (Linux or Windows path)
# in the current prefix, stdin from /dev/null; its stdout and stderr reach
# the caller's once it has ended. Returns its exit code (a Linux status keeps
# the low 8 bits; wine_run_env gives all 32). Past SECONDS it kills the
# prefix's processes and fails the test. Capture output with a redirection,
# not $(...): inside $(...) a timeout cannot end the test.
wine_run() {
  local limit=${1:?wine_run SECONDS EXE ARGS...}; shift
  wine__need_prefix
  mkdir -p "$WINE_TEST_DIR"
  local start rc output errors attempt
  output=$(mktemp "$WINE_TEST_DIR/stdout.XXXXXX")
  errors=$(mktemp "$WINE_TEST_DIR/stderr.XXXXXX")
  for attempt in 1 2; do
    rc=0
    start=$(wine__now_ms)
    timeout --kill-after=5 "$limit" "$HOTFIX_WINE" "$@" </dev/null >"$output" 2>"$errors" || rc=$?
    if (( (rc == 124 || rc == 137) && $(wine__now_ms) - start >= limit * 1000 )); then
      cat "$output"; cat "$errors" >&2
      rm -f "$output" "$errors"
      wine_kill_prefix
      fail "timed out after ${limit}s: $*"
    fi
    # Under load Wine's loader now and then fails to start a program at all
    # and hands it to start.exe, which says so on stdout: the program never
    # ran, so running it again changes nothing the test looks at.
    (( rc != 0 && attempt == 1 )) && grep -q '^ShellExecuteEx failed' "$output" || break
    wine_log "Wine did not start $1 ($(tr '\r\n' '  ' <"$output")); starting it once more"
  done
  cat "$output"; cat "$errors" >&2
  rm -f "$output" "$errors"
  return $rc
}

# wine_run_env SECONDS [--cwd DIR] NAME=VALUE... -- EXE ARGS...
# Runs EXE with Windows-side environment variables set (TMP, TEMP and the
# like, which Linux variables cannot set), through run_with.exe. EXE and DIR
# may be Linux paths. Returns the exit code's low 8 bits and sets
# WINE_EXIT_CODE to the full unsigned 32-bit code (empty if it never ran).
wine_run_env() {
  local limit=${1:?wine_run_env SECONDS [--cwd DIR] NAME=VALUE... -- EXE ARGS...}; shift
  local options=()
  while (( $# )) && [[ $1 != -- ]]; do
    if [[ $1 == --cwd ]]; then
      options+=(--cwd "$(wine__winpath_if_linux "$2")"); shift 2
    else
      options+=("$1"); shift
    fi
  done
  [[ ${1:-} == -- ]] || fail "wine_run_env: -- EXE missing"
  shift
  local exe
  exe=$(wine__winpath_if_linux "${1:?wine_run_env: EXE missing}"); shift
  wine__run_with "$limit" "${options[@]}" -- "$exe" "$@"
}

# wine_run_cmdline SECONDS EXE COMMAND_LINE [NAME=VALUE...]
# Starts EXE with exactly COMMAND_LINE as its process command line (what
# GetCommandLineW returns), program name included, e.g.
#   wine_run_cmdline 30 "$HOTFIX_EXE" 'hotfix.exe /e ""'
# Returns and sets WINE_EXIT_CODE like wine_run_env.
wine_run_cmdline() {
  local limit=${1:?wine_run_cmdline SECONDS EXE COMMAND_LINE [NAME=VALUE...]}
  local exe=${2:?EXE missing} line=$3; shift 3
  mkdir -p "$WINE_TEST_DIR"
  local file
  file=$(mktemp "$WINE_TEST_DIR/cmdline.XXXXXX")
  printf '%s' "$line" >"$file"
  wine__run_with "$limit" --cmdline-file "$(winpath_of "$file")" \
    --program "$(wine__winpath_if_linux "$exe")" "$@"
}

wine__winpath_if_linux() {
  if [[ $1 == /* ]]; then winpath_of "$1"; else printf '%s\n' "$1"; fi
}

wine__run_with() {
  local limit=$1; shift
  mkdir -p "$WINE_TEST_DIR"
  local code_file rc=0
  code_file=$(mktemp "$WINE_TEST_DIR/exit-code.XXXXXX")
  rm -f "$code_file"
  wine_run "$limit" "$HOTFIX_RUN_WITH" --exit-code-file "$(winpath_of "$code_file")" "$@" || rc=$?
  WINE_EXIT_CODE=$(tr -d '\r\n' <"$code_file" 2>/dev/null)
  rm -f "$code_file"
  return $rc
}

# ---------------------------------------------------------------- the dialog robot

robot__pid=""
robot__signal_dir=""
robot__stop_file=""
robot__screenshot_dir=""
robot__count=0

# robot_start OUTFILE [ROBOT OPTIONS...]
# Starts dialog_robot.exe in the background in the current prefix, recording
# to OUTFILE (a Linux path), and returns once it watches. Options as the
# robot takes them (--answers, --default, --max-boxes, --timeout,
# --hook-timeout, --until-exit-of, --screenshot-dir); Linux paths are turned
# into Windows paths for --screenshot-dir and in ANSWER-after:FILE answers.
# The robot's signal directory is ROBOT_SIGNAL_DIR; one robot at a time.
robot_start() {
  local out=${1:?robot_start OUTFILE [OPTIONS...]}; shift
  wine__need_prefix
  [[ -z $robot__pid ]] && [[ -x "$HOTFIX_ROBOT" || -f "$HOTFIX_ROBOT" ]] ||
    fail "robot_start: a robot is running already, or $HOTFIX_ROBOT is missing"
  robot__count=$((robot__count + 1))
  robot__signal_dir=$WINE_TEST_DIR/robot-$robot__count
  robot__stop_file=$robot__signal_dir/stop
  robot__screenshot_dir=""
  rm -rf "$robot__signal_dir"
  mkdir -p "$robot__signal_dir" "$(dirname "$out")"
  ROBOT_SIGNAL_DIR=$robot__signal_dir
  local args=()
  while (( $# )); do
    case $1 in
      --screenshot-dir)
        mkdir -p "$2"
        robot__screenshot_dir=$2
        args+=("$1" "$(winpath_of "$2")"); shift 2 ;;
      --answers|--default)
        args+=("$1" "$(robot__translate_answers "$2")"); shift 2 ;;
      *) args+=("$1"); shift ;;
    esac
  done
  "$HOTFIX_WINE" "$HOTFIX_ROBOT" --out "$(winpath_of "$out")" \
    --signal-dir "$(winpath_of "$robot__signal_dir")" \
    --stop-file "$(winpath_of "$robot__stop_file")" "${args[@]}" \
    </dev/null >"$robot__signal_dir/robot.log" 2>&1 &
  robot__pid=$!
  wait_for_file "$robot__signal_dir/ready" 30 ||
    fail "the dialog robot did not start within 30 s: $(cat "$robot__signal_dir/robot.log")"
}

robot__translate_answers() {
  local IFS=, item out=()
  for item in $1; do
    if [[ $item == *-after:/* ]]; then
      out+=("${item%%-after:*}-after:$(winpath_of "${item#*-after:}")")
    else
      out+=("$item")
    fi
  done
  printf '%s\n' "${out[*]}"
}

# robot_wait_box N [SECONDS=60]: waits until the robot has recorded box N of
# this run (it has not answered it yet when its answer waits for a file) and
# prints its JSON line. Fails the test when no such box comes.
robot_wait_box() {
  local n=${1:?robot_wait_box N [SECONDS]} limit=${2:-60}
  wait_for_file "$robot__signal_dir/box-$n.json" "$limit" ||
    fail "message box $n did not appear within ${limit}s"
  cat "$robot__signal_dir/box-$n.json"
}

# robot_stop [SECONDS=20]: asks the robot to stop, waits for it (bounded,
# killed after), converts its screenshots to PNG, and returns its exit code
# (0 stopped as asked, 3 its own --timeout ran out).
robot_stop() {
  [[ -n $robot__pid ]] || return 0
  local limit=${1:-20} rc=0
  touch "$robot__stop_file"
  local deadline=$(( $(wine__now_ms) + limit * 1000 ))
  while kill -0 "$robot__pid" 2>/dev/null && (( $(wine__now_ms) < deadline )); do
    sleep 0.05
  done
  if kill -0 "$robot__pid" 2>/dev/null; then
    kill "$robot__pid" 2>/dev/null
    wine__record_failure "the dialog robot did not stop within ${limit}s"
    rc=124
  fi
  local waited=0
  wait "$robot__pid" 2>/dev/null || waited=$?
  (( rc == 0 )) && rc=$waited
  robot__pid=""
  if [[ -n $robot__screenshot_dir ]]; then
    local bmp
    for bmp in "$robot__screenshot_dir"/box-*.bmp; do
      [[ -f $bmp ]] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
    done
  fi
  return $rc
}

# robot_boxes OUTFILE: prints the recorded lines (boxes and robot errors).
robot_boxes() { [[ -f "$1" ]] && cat "$1"; return 0; }

# expect_boxes OUTFILE EXPECTED_JSON [WHAT]: compares the recorded boxes
# with a JSON array of expected ones, in order. Each expected object names
# only the fields it checks: caption, text, icon, process, answer, topmost
# (exact), text_contains (a substring), buttons (a list of ids, or of
# {"id":..,"text":..} objects). Any robot error line fails.
expect_boxes() {
  local out
  if out=$(python3 "$WINE_LIB_DIR/boxes.py" "$1" "$2" 2>&1); then return 0; fi
  wine__record_failure "${3:-message boxes}: $out"
  return 1
}

# ---------------------------------------------------------------- exit

wine__on_exit() {
  local status=$?
  if [[ -n $robot__pid ]]; then
    kill "$robot__pid" 2>/dev/null
  fi
  local prefix
  for prefix in "${wine__prefixes[@]}"; do
    WINEPREFIX=$prefix timeout 20 "$HOTFIX_WINESERVER" -k >/dev/null 2>&1
  done
  [[ -n $wine__screen ]] && rm -rf "$WINE_SCREENS_DIR/$wine__screen"
  if [[ -s "$WINE_TEST_DIR/.failures" ]]; then
    local count
    count=$(wc -l <"$WINE_TEST_DIR/.failures")
    wine_log "$WINE_TEST_NAME: $count check(s) failed"
    exit 1
  fi
  (( status == 0 )) && wine_log "$WINE_TEST_NAME: passed"
  exit $status
}

if [[ ${WINE_LIB_FIXTURE:-} != 1 ]]; then
  rm -rf "$WINE_TEST_DIR"
  mkdir -p "$WINE_TEST_DIR"
  trap wine__on_exit EXIT
  trap 'exit 130' INT TERM
fi
