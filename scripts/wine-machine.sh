# A private Wine machine for the scripts that run the real programs outside
# the tests (run-hotfix.sh, bench.sh). Sourced; the caller defines die() and
# exports WINEPREFIX before it calls any of these.

# Sets wine and wineserver: Debian keeps wine64 out of PATH.
machine_find_wine() {
  wine=$(command -v wine64 || true)
  [[ -n $wine ]] || { [[ -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64; }
  [[ -n $wine ]] || die "no wine64"
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
}

# winpath PATH: the Windows path of a Linux file, on the prefix's C: drive or Z:.
winpath() {
  local path
  path=$(realpath -m "$1")
  if [[ $path == "$WINEPREFIX/drive_c/"* ]]; then
    path=${path#"$WINEPREFIX/drive_c/"}
    printf 'C:\\%s\n' "${path//\//\\}"
  else
    printf 'Z:%s\n' "${path//\//\\}"
  fi
}

# machine_start_xvfb FIRST LAST LOG: an Xvfb on the first free display of
# FIRST..LAST; exports DISPLAY and sets xvfb_pid.
machine_start_xvfb() {
  local first=$1 last=$2 log=$3 n waited
  for n in $(seq "$first" "$last"); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$log" 2>&1 &
    xvfb_pid=$!
    for waited in $(seq 100); do
      [[ -S /tmp/.X11-unix/X$n ]] && break
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    if [[ -S /tmp/.X11-unix/X$n ]] && kill -0 "$xvfb_pid" 2>/dev/null; then
      export DISPLAY=:$n
      return 0
    fi
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
  done
  die "no free X display between :$first and :$last for Xvfb"
}

# machine_stop: ends the prefix's processes and the Xvfb, whatever is left of them.
machine_stop() {
  [[ -d $WINEPREFIX ]] && timeout 20 "$wineserver" -k >/dev/null 2>&1
  if [[ -n ${xvfb_pid:-} ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  return 0
}
