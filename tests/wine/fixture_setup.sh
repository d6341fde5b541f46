#!/bin/bash
# Starts the Xvfb display of the Wine tests and boots the prefix that each
# test copies. Run by CTest as the setup of the "wine" fixture.
WINE_LIB_FIXTURE=1
source "$(dirname "$0")/lib.sh"
set -u

screens=${HOTFIX_WINE_SCREENS:-8}
mkdir -p "$WINE_STATE_DIR/logs"

# What an interrupted earlier run left: its servers, display and prefixes.
bash "$WINE_LIB_DIR/fixture_cleanup.sh" || fail "cannot clear what an earlier run left"
mkdir -p "$WINE_STATE_DIR/logs"

start_xvfb() {
  local n pid
  for n in $(seq 90 150); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    local args=(":$n" -nolisten tcp)
    local k
    for ((k = 0; k < screens; k++)); do args+=(-screen "$k" 1280x1024x24); done
    # Its own session, and no pipe of ours: it must outlive this script
    # without keeping CTest waiting for output.
    setsid Xvfb "${args[@]}" </dev/null >"$WINE_STATE_DIR/logs/xvfb-$n.log" 2>&1 &
    pid=$!
    if wait_until 10 test -S "/tmp/.X11-unix/X$n" && kill -0 "$pid" 2>/dev/null; then
      echo ":$n" >"$WINE_STATE_DIR/display"
      echo "$pid" >"$WINE_STATE_DIR/xvfb.pid"
      echo "$screens" >"$WINE_STATE_DIR/screens.count"
      wine_log "Xvfb :$n (pid $pid, $screens screens)"
      return 0
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  return 1
}
start_xvfb || fail "no free X display between :90 and :150 (see $WINE_STATE_DIR/logs)"

# The registry settings every test machine shares: no crash dialog (a crash
# ends the program with a backtrace on stderr instead of a window nobody
# answers), no Mono or Gecko installer prompts, no menu entries written to
# the Linux home, and windows that no window manager is asked to manage
# (there is none: Wine would wait 2 s at every closing window for one).
cat >"$WINE_STATE_DIR/logs/test-machine.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\DllOverrides]
"mscoree"=""
"mshtml"=""
"winemenubuilder.exe"=""

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
EOF

export WINEPREFIX=$WINE_BASE_PREFIX WINEDEBUG=-all DISPLAY="$(cat "$WINE_STATE_DIR/display").0"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
boot_start=$(wine__now_ms)
rc=0
timeout --kill-after=10 180 "$HOTFIX_WINE" wineboot -i </dev/null \
  >"$WINE_STATE_DIR/logs/wineboot.log" 2>&1 || rc=$?
(( rc == 0 )) || { wine_kill_prefix; fail "wineboot -i failed ($rc); see $WINE_STATE_DIR/logs/wineboot.log"; }
# The CJK font for the boxes in Chinese, Japanese and Korean comes after.
for reg in "$WINE_STATE_DIR/logs/test-machine.reg" "$WINE_LIB_DIR/cjk_font.reg"; do
  rc=0
  timeout --kill-after=10 60 "$HOTFIX_WINE" regedit /S "$(winpath_of "$reg")" \
    </dev/null >>"$WINE_STATE_DIR/logs/wineboot.log" 2>&1 || rc=$?
  (( rc == 0 )) || { wine_kill_prefix; fail "regedit $reg failed ($rc)"; }
done
# The registry reaches the files only when the server shuts down.
timeout 60 "$HOTFIX_WINESERVER" -w || { wine_kill_prefix; fail "wineserver did not finish within 60 s"; }
boot_ms=$(( $(wine__now_ms) - boot_start ))

[[ -f $WINE_BASE_PREFIX/system.reg && -f $WINE_BASE_PREFIX/drive_c/windows/system32/kernel32.dll ]] ||
  fail "the booted prefix is incomplete"
grep -q '"ShowCrashDialog"=dword:00000000' "$WINE_BASE_PREFIX/user.reg" &&
  grep -q '"Managed"="N"' "$WINE_BASE_PREFIX/user.reg" ||
  fail "the test machine settings did not reach user.reg"
grep -q '"Tahoma"=str(7):"wqy-microhei.ttc,WenQuanYi Micro Hei' "$WINE_BASE_PREFIX/system.reg" ||
  fail "the CJK font link did not reach system.reg"
grep -q 'WenQuanYi Micro Hei' "$WINE_BASE_PREFIX/user.reg" ||
  fail "Wine found no WenQuanYi Micro Hei font (Debian's fonts-wqy-microhei; scripts/install-deps.sh installs it)"
wine_log "base prefix booted in $((boot_ms / 1000)).$(printf %03d $((boot_ms % 1000))) s: $WINE_BASE_PREFIX ($(du -sh "$WINE_BASE_PREFIX" | cut -f1))"
