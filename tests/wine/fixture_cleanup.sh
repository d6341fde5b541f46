#!/bin/bash
# Stops the wineservers of every prefix the Wine tests made, stops their
# Xvfb and removes the prefixes. Run by CTest as the cleanup of the "wine"
# fixture, whatever the tests did; also run by the setup before it starts.
# HOTFIX_WINE_KEEP=1 keeps the prefixes for a look afterwards.
WINE_LIB_FIXTURE=1
source "$(dirname "$0")/lib.sh"

for prefix in "$WINE_PREFIXES_DIR"/* "$WINE_BASE_PREFIX"; do
  [[ -d $prefix ]] || continue
  WINEPREFIX=$prefix timeout 20 "$HOTFIX_WINESERVER" -k >/dev/null 2>&1
done

pid=$(cat "$WINE_STATE_DIR/xvfb.pid" 2>/dev/null)
display=$(cat "$WINE_STATE_DIR/display" 2>/dev/null)
# Only our own Xvfb: the pid may have been reused since.
if [[ -n $pid && -n $display ]] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "^Xvfb $display "; then
  kill "$pid"
  wait_until 10 bash -c "! kill -0 $pid 2>/dev/null" || kill -9 "$pid"
  wine_log "stopped Xvfb $display (pid $pid)"
fi
rm -f "$WINE_STATE_DIR/xvfb.pid" "$WINE_STATE_DIR/display" "$WINE_STATE_DIR/screens.count"
rm -rf "$WINE_SCREENS_DIR"

if [[ ${HOTFIX_WINE_KEEP:-} == 1 ]]; then
  wine_log "keeping the prefixes under $WINE_STATE_DIR (HOTFIX_WINE_KEEP=1)"
else
  rm -rf "$WINE_PREFIXES_DIR" "$WINE_BASE_PREFIX"
fi
exit 0
