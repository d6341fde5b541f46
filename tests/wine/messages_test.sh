#!/bin/bash
# Result messages on the real platform, in every language of the table: the
# probe reports 300, 301, 306, 307, 308 and 310 under a thread locale, the
# robot records each box, and the caption, icon and text must be what the
# resource scripts say (worked out by messages.py from the scripts, not
# from the program). Also: quiet mode shows nothing and keeps the last-error
# value, the thread locale decides over the thread UI language, a variant of
# a carried language gets the carried variant, a language the table lacks
# gets the platform's choice, strings load by block, and loading a string
# leaves the last-error value as it was. Last, every language variant that
# the sample patch targets, and the table language its messages come from.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

scripts=("$HOTFIX_SOURCE_DIR"/resources/strings/*.rc "$HOTFIX_BUILD_DIR/resources/payload.rc")
table() { python3 "$WINE_LIB_DIR/messages.py" "${scripts[@]}" -- "$@"; }

reported=(300 301 306 307 308 310)
# Every string id there is, plus 314 (none in any language, in a block that
# every language carries).
all_ids=(300 301 306 307 308 309 310 311 312 313 314 315 316 700 900)
# The ids that are looked up in a product's language.
message_ids=(300 301 306 307 308 309 310 311 312 313 315 316)
english=1033
languages=(1028 1029 1031 1033 1034 1036 1038 1040 1041 1042 1045 1046 1049 2052)

wine_case "languages of the resource scripts"
expect_eq "$(table languages | tr '\n' ' ')" "${languages[*]} " "languages the scripts carry"

wine_new_prefix main
boxes=$WINE_TEST_DIR/boxes.jsonl
: >"$boxes"
robot_start "$boxes" --default ok --timeout 280

# report_case NAME TABLE_LANGUAGE CODE PRODUCT IDS OPTIONS...
# Runs "probe report OPTIONS... --last-error CODE --product PRODUCT IDS" and
# compares the boxes it showed with those of TABLE_LANGUAGE. IDS is a
# blank-separated list.
report_case() {
  local name=$1 language=$2 code=$3 product=$4 ids=$5; shift 5
  local out=$WINE_TEST_DIR/$name.out before rc=0 started
  before=$(grep -c '' "$boxes")
  started=$(wine__now_ms)
  # shellcheck disable=SC2086 # the ids are words
  wine_run 60 "$HOTFIX_PROBE" report "$@" --last-error "$code" --product "$product" $ids >"$out" || rc=$?
  wine_log "$name: $(( $(wine__now_ms) - started )) ms for $(wc -w <<<"$ids") box(es)"
  expect_eq "$rc" 0 "$name: probe exit code" || return
  # The name must arrive intact, or a difference below would blame the
  # program for the command line.
  expect_eq "$(json_field "$(json_line "$out" 1)" product)" "$product" "$name: product name as set"
  # MessageBoxW returns only once the robot has recorded and answered the
  # box, so every box of the run is in the file now.
  tail -n +$((before + 1)) "$boxes" >"$WINE_TEST_DIR/$name.boxes"
  # shellcheck disable=SC2086
  table boxes "$language" "$code" "$product" $ids >"$WINE_TEST_DIR/$name.expected" ||
    { record_failure "$name: no expected boxes"; return; }
  expect_boxes "$WINE_TEST_DIR/$name.boxes" "@$WINE_TEST_DIR/$name.expected" "$name"
}

# language | last-error code | product name -- why
cases=(
  "1028|3221225477|Quorvel 專業版"             # 2^31 and above prints negative: -1073741819
  "1029|1603|Quorvel Žluťoučký kůň"
  "1031|2147483648|Quorvel Größe „Über“"       # the lowest 32-bit value, -2147483648
  "1033|0||"                                   # empty name: nothing between the blanks; code 0
  "1034|4294967295|Quorvel Año"                # -1
  "1036|2147483647|Quorvel Élève 100%s %d"     # the largest positive; a name is not formatted again
  "1038|1642|Quorvel Árvíztűrő tükörfúrógép"
  "1040|5|Quorvel \"Città\" 5\\2"               # quotes and a backslash in the name
  "1041|3221225477|Quorvel 日本語版"
  "1042|1603|Quorvel 한국어판"
  "1045|1620|Quorvel Zażółć gęślą jaźń"
  "1046|1618|Quorvel Edição"
  "1049|3221225477|Quorvel Съешь же ещё"
  "2052|87|Quorvel 简体中文版"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r language code product <<<"$entry"
  wine_case "language $language: the six result messages"
  report_case "lang-$language" "$language" "$code" "$product" "${reported[*]}" --locale "$language"
done

# name | locale | UI language | table language | code | product -- why
others=(
  "ui-language|1031|1041|1031|1603|Quorvel Größe"           # the thread locale decides, not the UI language
  "not-carried|1055|-|$english|3221225477|Quorvel Türkçe"   # Turkish is not carried: the platform's choice (Wine: English)
  "sublanguage|2055|-|1031|1603|Quorvel Schweiz"            # German (Switzerland): the German of the table
  "hong-kong|3076|-|1028|87|Quorvel 香港版"                   # Chinese (Hong Kong): traditional, not simplified
)
for entry in "${others[@]}"; do
  IFS='|' read -r name locale ui language code product <<<"$entry"
  wine_case "$name: locale $locale${ui:+, UI language $ui}"
  options=(--locale "$locale")
  [[ $ui != - ]] && options+=(--ui-language "$ui")
  report_case "$name" "$language" "$code" "$product" "${reported[*]}" "${options[@]}"
  # Windows reports the UI language set; Wine keeps the default (it picks
  # strings by the thread locale anyway), so this is shown, not checked.
  if [[ $ui != - ]]; then
    wine_log "$name: the thread's UI language reads" \
      "$(json_field "$(json_line "$WINE_TEST_DIR/$name.out" 1)" uiLanguage)"
  fi
done

wine_case "a result longer than its buffer is cut"
# Words, so that the box wraps the text and stays on the screen where the
# robot can see its icon.
long_name="Quorvel$(printf ' Жук%.0s' {1..150})"
report_case "long-name" "$english" 0 "$long_name" "306 308" --locale "$english"

# locale | last-error code -- why
quiet_cases=(
  "1031|3221225477"   # a value above 2^31 survives unchanged
  "1041|1603"
)
for entry in "${quiet_cases[@]}"; do
  IFS='|' read -r locale code <<<"$entry"
  wine_case "quiet under $locale: no box, last-error $code kept"
  out=$WINE_TEST_DIR/quiet-$locale.out
  before=$(grep -c '' "$boxes")
  rc=0
  # A box shown despite quiet would keep the probe waiting until the robot
  # recorded and answered it, so when the probe is back the file tells.
  started=$(wine__now_ms)
  wine_run 60 "$HOTFIX_PROBE" report --locale "$locale" --quiet --last-error "$code" \
    --product Quorvel "${reported[@]}" >"$out" || rc=$?
  wine_log "quiet $locale: $(( $(wine__now_ms) - started )) ms"
  expect_eq "$rc" 0 "quiet $locale: probe exit code"
  expect_eq "$(json_field "$(json_line "$out" 1)" quiet)" true "quiet $locale: RunOptions.quiet"
  expect_eq "$(grep -c '' "$boxes")" "$before" "quiet $locale: boxes recorded"
  expect_eq "$(grep -c '"id"' "$out")" "${#reported[@]}" "quiet $locale: messages reported"
  while read -r line; do
    expect_eq "$(json_field "$line" lastErrorAfter)" "$code" \
      "quiet $locale: last-error after message $(json_field "$line" id)"
  done < <(tail -n +2 "$out")
done

robot_stop
expect_eq "$?" 0 "robot exit code"

# Straight loads: every id, in the thread locale's block (or its carried
# variant's) where the table has one, and what LoadStringW itself picks where
# it has neither; a load that delivers a text keeps the last-error value,
# although looking for a block the table lacks sets 1814 or 1815.
last_error=1603
# name | locale | UI language | table language -- why
load_cases=(
  "load-ui-language|1031|1041|1031"   # the locale's block, whatever the UI language
  "load-japanese|1041|-|1041"
  "load-chinese-prc|2052|-|2052"
  "load-not-carried|1055|-|$english"  # no Turkish block: the platform's choice
  "load-sublanguage|2055|-|1031"      # German (Switzerland): after a miss, German
  "load-spanish-modern|3082|-|1034"
)
for entry in "${load_cases[@]}"; do
  IFS='|' read -r name locale ui language <<<"$entry"
  wine_case "$name: load-string under $locale"
  options=(--locale "$locale")
  [[ $ui != - ]] && options+=(--ui-language "$ui")
  out=$WINE_TEST_DIR/$name.out
  rc=0
  wine_run 60 "$HOTFIX_PROBE" load-string "${options[@]}" --last-error "$last_error" \
    "${all_ids[@]}" >"$out" || rc=$?
  expect_eq "$rc" 0 "$name: probe exit code" || continue
  expect_eq "$(json_field "$(json_line "$out" 1)" threadLocale)" "$locale" "$name: thread locale"
  if ! problems=$(table loads "$language" "$english" "$out" "$last_error"); then
    record_failure "$name: $problems"
  fi
done

# What the user of each variant of the sample patch must read: the table
# language, or "platform" where the table carries neither the language nor
# a variant of it (then LoadStringW chooses; under Wine with an English
# user, English).
declare -A variant_table=(
  [1033]=1033 [1031]=1031 [1036]=1036 [1040]=1040 [3082]=1034 [1041]=1041 [1042]=1042
  [1028]=1028 [2052]=2052 [1029]=1029 [1038]=1038 [1045]=1045 [1046]=1046 [1049]=1049
  [1030]=platform [1043]=platform [1053]=platform [1044]=platform [1035]=platform
  [2070]=1046 [1055]=platform
)
wine_case "the language variants of the sample patch"
product_target_codes
measured=()
for code in "${PRODUCT_TARGET_CODES[@]}"; do
  locale=$((16#${code:15:4}))
  wanted=${variant_table[$locale]:-}
  [[ -n $wanted ]] || { record_failure "variant $code: no table language expected for $locale"; continue; }
  out=$WINE_TEST_DIR/variant-$locale.out
  rc=0
  wine_run 60 "$HOTFIX_PROBE" load-string --locale "$locale" --last-error "$last_error" \
    "${message_ids[@]}" >"$out" || rc=$?
  expect_eq "$rc" 0 "variant $locale: probe exit code" || continue
  [[ $wanted == platform ]] && language=$locale || language=$wanted
  if ! problems=$(table loads "$language" "$english" "$out" "$last_error"); then
    record_failure "variant $locale: $problems"
  fi
  chooser=table
  [[ $wanted == platform ]] && chooser=platform
  measured+=("$locale:$(table sources "$out" | tr ' ' '+')($chooser)")
done
expect_eq "${#measured[@]}" 21 "variants measured"
wine_log "variant:table language of its messages(chosen by): ${measured[*]}"
