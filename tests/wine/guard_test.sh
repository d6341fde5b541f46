#!/bin/bash
# The running-program guard against real processes: quor.exe started from an
# installed product's folder (and under its name in other letter cases) is
# seen in the system's process list, and the prompt is a real message box
# that the dialog robot reads and answers.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

wine_new_prefix main
product_code_for_language 1033
product=$PRODUCT_CODE
product_add "$product" "$PRODUCT_DEFAULT_NAME" 1033 5.2.0.0

prompt_text=$'The installer has detected that the following programs\nare running.\n\nQuorvel\n\nIn order to complete installation, these programs must\nbe closed.\n'

# prompts ANSWER...: the expected boxes, one prompt per answer.
prompts() {
  python3 - "$prompt_text" "$@" <<'EOF'
import json, sys
text, answers = sys.argv[1], sys.argv[2:]
print(json.dumps([{"caption": "Installation Error", "text": text, "icon": "stop",
                   "buttons": [4, 2], "process": "probe.exe", "answer": answer}
                  for answer in answers], ensure_ascii=False))
EOF
}

# guard_result FILE: the result the probe printed, or what it printed.
guard_result() { json_field "$(cat "$1")" result 2>/dev/null || cat "$1"; }

# guard_start: runs the guard in the background; guard_finish waits for it
# (bounded by wine_run) and sets GUARD_RC and GUARD_RESULT.
guard_number=0
guard_start() {
  guard_number=$((guard_number + 1))
  guard_out=$WINE_TEST_DIR/guard-$guard_number.json
  ( rc=0
    wine_run 120 "$HOTFIX_PROBE" guard >"$guard_out" || rc=$?
    echo "$rc" >"$guard_out.rc" ) &
  guard_pid=$!
}
guard_finish() {
  wait "$guard_pid"
  GUARD_RC=$(cat "$guard_out.rc" 2>/dev/null)
  GUARD_RESULT=$(guard_result "$guard_out")
}
guard_run() { guard_start; guard_finish; }

# Numbered: Wine finds files on Z: ignoring letter case, so names that
# differ only in case would be one file to the robot.
box_files=0
next_boxes() {
  box_files=$((box_files + 1))
  boxes=$WINE_TEST_DIR/boxes-$box_files-$1.jsonl
}

wine_case "nothing running: true at once, no box"
next_boxes idle
robot_start "$boxes" --default cancel --timeout 100
guard_run
robot_stop
expect_eq "$GUARD_RC" 0 "idle: probe exit code"
expect_eq "$GUARD_RESULT" true "idle: guard result"
expect_boxes "$boxes" "[]" "idle: no prompt"

wine_case "only a program whose name begins with quor: not the product's program"
quor_start near "$product" quorx.exe
next_boxes near
robot_start "$boxes" --default cancel --timeout 100
guard_run
robot_stop
quor_stop near
expect_eq "$GUARD_RESULT" true "quorx.exe running: guard result"
expect_boxes "$boxes" "[]" "quorx.exe running: no prompt"

wine_case "running from the product's folder: Retry shows the prompt again, Cancel ends with false"
quor_start main "$product"
expect_eq "$QUOR_EXE" "$PRODUCT_FOLDER\\quor.exe" "the program started"
next_boxes retry-cancel
robot_start "$boxes" --answers retry,retry,cancel --default cancel --timeout 100
guard_run
robot_stop
expect_eq "$GUARD_RC" 0 "retry-cancel: probe exit code"
expect_eq "$GUARD_RESULT" false "retry-cancel: guard result"
expect_boxes "$boxes" "$(prompts retry retry cancel)" "retry-cancel: prompts"
quor_running main || wine__record_failure "the guard must leave quor.exe running"

wine_case "closed while the prompt is up, then Retry: true without another box"
released=$WINE_TEST_DIR/released-retry
next_boxes close-retry
robot_start "$boxes" --answers "retry,retry-after:$released" --default cancel --timeout 100
guard_start
robot_wait_box 2 60 >/dev/null
quor_stop main
quor_wait_none quor.exe
touch "$released"
guard_finish
robot_stop
expect_eq "$GUARD_RC" 0 "close-retry: probe exit code"
expect_eq "$GUARD_RESULT" true "close-retry: guard result"
expect_boxes "$boxes" "$(prompts retry "retry-after:$(winpath_of "$released")")" "close-retry: prompts"

wine_case "Cancel gives false even once the program has closed"
quor_start main "$product"
released=$WINE_TEST_DIR/released-cancel
next_boxes close-cancel
robot_start "$boxes" --answers "cancel-after:$released" --default cancel --timeout 100
guard_start
robot_wait_box 1 60 >/dev/null
quor_stop main
quor_wait_none quor.exe
touch "$released"
guard_finish
robot_stop
expect_eq "$GUARD_RESULT" false "close-cancel: guard result"
expect_boxes "$boxes" "$(prompts "cancel-after:$(winpath_of "$released")")" "close-cancel: prompts"

for image in QUOR.EXE Quor.Exe; do
  wine_case "running as $image: letter case is ignored"
  quor_start variant "$product" "$image"
  # The process list really holds this spelling, and no quor.exe as such.
  rc=0
  wine_run 60 "$HOTFIX_PROBE" processes >"$WINE_TEST_DIR/processes-$image.jsonl" || rc=$?
  expect_eq "$rc" 0 "probe processes: exit code"
  names=$(python3 -c '
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    name = json.loads(line)["exeFile"]
    if name.lower() == "quor.exe": print(name)
' "$WINE_TEST_DIR/processes-$image.jsonl")
  expect_eq "$names" "$image" "processes named quor.exe in any case"
  next_boxes "$image"
  robot_start "$boxes" --answers retry,cancel --default cancel --timeout 100
  guard_run
  robot_stop
  quor_stop variant
  expect_eq "$GUARD_RESULT" false "$image: guard result"
  expect_boxes "$boxes" "$(prompts retry cancel)" "$image: prompts"
done

wine_case "two instances: one prompt per check"
quor_start first "$product"
quor_start second "$product"
next_boxes two
robot_start "$boxes" --answers retry,cancel --default cancel --timeout 100
guard_run
robot_stop
expect_eq "$GUARD_RESULT" false "two instances: guard result"
expect_boxes "$boxes" "$(prompts retry cancel)" "two instances: prompts"
quor_stop_all
quor_wait_none quor.exe

wine_case "after all instances stopped: true, no box"
next_boxes after
robot_start "$boxes" --default cancel --timeout 100
guard_run
robot_stop
expect_eq "$GUARD_RESULT" true "after: guard result"
expect_boxes "$boxes" "[]" "after: no prompt"
