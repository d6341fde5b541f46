#!/bin/bash
# msi.dll that cannot be loaded (WINEDLLOVERRIDES=msi=d): every installer
# operation fails with the load error and leaves it as the last-error value,
# so the default mode's 300 shows that code, not what an earlier call left;
# /i shows its box with an empty text; nothing crashes and the exit code is 0.
source "$(dirname "$0")/lib.sh"

wine_new_prefix main
export WINEDLLOVERRIDES="msi=d"

wine_case "the adapter sees the service missing"
wine_run 60 "$HOTFIX_PROBE" dll-check program >"$WINE_TEST_DIR/dll-check.json" ||
  fail "probe dll-check failed"
line=$(cat "$WINE_TEST_DIR/dll-check.json")
expect_eq "$(json_field "$line" available)" false "msi.dll disabled: available"
expect_eq "$(json_field "$line" msiModules)" "[]" "msi.dll disabled: modules loaded"
load_error=$(json_field "$line" loadError)
expect_ne "$load_error" 0 "the load error"
wine_log "msi.dll fails to load with error $load_error"

# run_hotfix NAME EXPECTED_BOXES ARGS...: hotfix.exe with ARGS while the robot
# answers; the boxes and exit code 0 are checked.
run_hotfix() {
  local name=$1 expected=$2; shift 2
  local boxes=$WINE_TEST_DIR/boxes-$name.jsonl rc=0
  robot_start "$boxes" --default ok --timeout 100
  wine_run_env 60 -- "$HOTFIX_EXE" "$@" || rc=$?
  robot_stop
  expect_eq "$rc" 0 "$name: run"
  expect_eq "${WINE_EXIT_CODE:-}" 0 "$name: exit code"
  expect_boxes "$boxes" "$expected" "$name"
}

wine_case "the default mode: 300 with the load error"
failed_text=$'A problem prevented the hotfix from being installed. Contact your system administrator. \n\n Error Code: '"$load_error"
run_hotfix default "$(python3 -c 'import json, sys; print(json.dumps([{"caption": "Installation Error", "text": sys.argv[1], "icon": "stop", "buttons": [1], "process": "hotfix.exe"}]))' "$failed_text")"

wine_case "/i: the box with an empty text"
run_hotfix list '[{"caption": "List of Products", "text": "", "icon": "none", "buttons": [1], "process": "hotfix.exe"}]' /i
