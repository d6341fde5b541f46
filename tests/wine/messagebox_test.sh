#!/bin/bash
# The dialog robot against real message boxes: what it records of each box
# (caption, text, icon, buttons) and the button it presses, as the program
# that showed the box sees it.
source "$(dirname "$0")/lib.sh"

wine_new_prefix main
boxes=$WINE_TEST_DIR/boxes.jsonl
shots=$WINE_TEST_DIR/screenshots

failure_text=$'A problem prevented the hotfix from being installed. Contact your system administrator. \n\n Error Code: 1603'
prompt_text=$'The installer has detected that the following programs\nare running.\n\nquor.exe\nIn order to complete installation, these programs must\nbe closed.\n'

# style | answer | caption | text | icon | buttons | result -- why
cases=(
  "0x50010|ok|Installation Error|$failure_text|stop|[1]|1"            # failure message: stop sign, OK
  "0x50040|ok|Installation Successful|The hotfix has been successfully installed.|information|[1]|1"  # the one information box
  "0x50015|retry|Installation Error|$prompt_text|stop|[4,2]|4"        # running-program prompt, Retry
  "0x50015|cancel|Installation Error|$prompt_text|stop|[4,2]|2"       # the same prompt, Cancel
  "0x50000|ok|Product codes|{00000000-0000-0000-0000-000000000000}|none|[1]|1"  # the /i box: no icon
  "0x50030|ok|Warnung|Grüße aus Köln – ½ € 日本語|warning|[1]|1"      # exclamation icon, text beyond Latin-1
  "0x50024|no|質問|Question?|question|[6,7]|7"                         # question icon, Yes/No, Japanese caption
)

# Texts hold line feeds, so a case is split on "|" only.
split_case() {
  IFS='|' read -r -d '' style answer caption text icon buttons result < <(printf '%s' "$1")
}

answers=()
expected="["
for entry in "${cases[@]}"; do
  split_case "$entry"
  answers+=("$answer")
  expected+=$(python3 -c 'import json,sys; print(json.dumps({"caption":sys.argv[1],"text":sys.argv[2],"icon":sys.argv[3],"buttons":json.loads(sys.argv[4]),"process":"probe.exe","answer":sys.argv[5]}, ensure_ascii=False))' \
    "$caption" "$text" "$icon" "$buttons" "$answer"),
done
# The box whose answer waits for a file: the test sees it up, then lets go.
release=$WINE_TEST_DIR/release-retry
answers+=("retry-after:$release")
expected+='{"caption":"Held","text":"Held until released","icon":"stop","buttons":[4,2],"answer":"retry-after:'
expected+=$(winpath_of "$release" | sed 's/\\/\\\\/g')'"}]'

robot_start "$boxes" --answers "$(IFS=,; echo "${answers[*]}")" --default cancel \
  --screenshot-dir "$shots" --timeout 200

number=0
for entry in "${cases[@]}"; do
  split_case "$entry"
  number=$((number + 1))
  wine_case "box $number: style $style, answer $answer"
  rc=0
  wine_run 60 "$HOTFIX_PROBE" messagebox "$style" "$text" "$caption" >"$WINE_TEST_DIR/result-$number.json" || rc=$?
  expect_eq "$rc" "$result" "box $number ($style, $answer): exit code"
  expect_eq "$(json_field "$(cat "$WINE_TEST_DIR/result-$number.json")" result)" "$result" \
    "box $number ($style, $answer): MessageBoxW result"
done

wine_case "box held until a file appears"
number=$((number + 1))
( rc=0
  wine_run 60 "$HOTFIX_PROBE" messagebox 0x50015 "Held until released" "Held" >/dev/null || rc=$?
  echo "$rc" >"$WINE_TEST_DIR/held.rc" ) &
held=$!
robot_wait_box "$number" 60 >/dev/null
sleep 1
expect_no_file "$WINE_TEST_DIR/held.rc" "the held box must stay up until released"
touch "$release"
wait "$held"
expect_eq "$(cat "$WINE_TEST_DIR/held.rc" 2>/dev/null)" 4 "held box: Retry pressed once released"

robot_stop
expect_eq "$?" 0 "robot exit code"
expect_boxes "$boxes" "$expected"
robot_boxes "$boxes" >&2

wine_case "screenshots"
for ((n = 1; n <= number; n++)); do
  png=$shots/box-$n.png
  expect_file_exists "$png" "screenshot of box $n" || continue
  size=$(identify -format '%w %h' "$png")
  read -r width height <<<"$size"
  (( width >= 100 && height >= 60 )) || wine__record_failure "screenshot of box $n is only $size"
done

# An answer the box has no button for must not pass unnoticed: the robot
# presses Cancel so the program goes on, and records an error that fails
# any comparison.
wine_case "answer without a matching button"
wrong=$WINE_TEST_DIR/wrong-answer.jsonl
robot_start "$wrong" --answers yes
rc=0
wine_run 60 "$HOTFIX_PROBE" messagebox 0x50015 "No Yes here" "Wrong answer" >/dev/null || rc=$?
expect_eq "$rc" 2 "box without the planned button: Cancel pressed instead"
robot_stop
if python3 "$WINE_LIB_DIR/boxes.py" "$wrong" '[{"caption":"Wrong answer","buttons":[4,2]}]' >"$WINE_TEST_DIR/wrong.txt"; then
  record_failure "a robot error line passed the comparison"
fi
expect_contains "$(cat "$WINE_TEST_DIR/wrong.txt")" "no button 6 in this box; pressed 2" "robot error"
