# Runs one end-to-end case of hotfix_cases.json: a fresh machine with the
# case's products installed by msiexec and quor.exe running if it says so,
# hotfix.exe with each of its command lines while the dialog robot answers,
# then e2e.py checks boxes, exit codes, files, temporary packages, the
# installer calls and the products. Source it from e2e_<case>_test.sh, then
# call e2e_run_case CASE.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/products.sh"

E2E_DRIVER=$(dirname "${BASH_SOURCE[0]}")/e2e.py
# Every case expects English as the user's default language; Wine takes it
# from the locale of the Linux side.
export LC_ALL=C.UTF-8
unset LANGUAGE

# The cases are written for the sample hotfix: its patch, its description
# block and its versions.
e2e__require_sample_build() {
  local cache=$HOTFIX_BUILD_DIR/CMakeCache.txt entry key want got
  [[ -f $cache ]] || return 0
  for entry in "HOTFIX_PATCH=$(realpath -m "$HOTFIX_SAMPLE_PATCH")" \
               "HOTFIX_DESCRIPTION=$(realpath -m "$HOTFIX_SOURCE_DIR/resources/sample/description.txt")" \
               HOTFIX_PATCHED_VERSION=5.2.1.0 HOTFIX_APPLICABLE_VERSIONS=5.2.0.0,; do
    key=${entry%%=*} want=${entry#*=}
    got=$(sed -n "s/^$key:[A-Z]*=//p" "$cache")
    [[ $got == /* ]] && got=$(realpath -m "$got")
    [[ $got == "$want" ]] ||
      fail "this build embeds $key=$got; the end-to-end cases are written for the sample hotfix ($want)"
  done
}

# e2e__record_products FILE: one line per product of the case, tab-separated:
# variant, code, version before, version now, state now, cached package, the
# package's md5 from before the run, and the patches registered now (the
# probe's JSON). Beside it, arx-after-VARIANT: the installed quore.arx now.
e2e__record_products() {
  local out=$1 i
  : >"$out"
  for i in "${!E2E_PRODUCTS[@]}"; do
    local key=${e2e__keys[$i]} code=${e2e__codes[$i]}
    product_state "$code"
    local state=$PRODUCT_STATE
    product_patches "$code"
    local patches=$PRODUCT_PATCHES
    product_folder "$code"
    cp "$PRODUCT_FOLDER_DIR/quore.arx" "$e2e__facts/arx-after-$key" 2>/dev/null || : >"$e2e__facts/arx-after-$key"
    product_info "$code" VersionString
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$key" "$code" "${e2e__versions_before[$i]}" \
      "$PRODUCT_INFO" "$state" "${e2e__packages[$i]}" "${e2e__md5_before[$i]}" "$patches" >>"$out"
  done
}

# e2e__add_product KEY CODE NAME LANGUAGE VERSION LISTED [OPTIONS...]: builds
# and installs the product; a variant the sample patch lists is the sample
# product itself (the old package the patch was made from, or its new one at
# the patched version). One option of its own: +schedule-reboot adds a
# ScheduleReboot action that runs when PATCH is set, so that patching ends in
# 3010 (restart needed). Keeps the installed quore.arx as arx-before-KEY and,
# for a listed variant, the one its patched version installs as arx-new-KEY.
e2e__add_product() {
  local key=$1 code=$2 pname=$3 language=$4 version=$5 listed=$6 option reboot=no maker=()
  shift 6
  for option in "$@"; do
    if [[ $option == +schedule-reboot ]]; then reboot=yes; else maker+=("$option"); fi
  done
  local hex
  hex=$(printf '%04X' "$language")
  if [[ $listed == yes ]]; then
    product_build_sample "$hex" "$version" "${maker[@]}"
  else
    product_build "$code" "$pname" "$language" "$version" "${maker[@]}"
  fi
  if [[ $reboot == yes ]]; then
    msibuild "$PRODUCT_MSI" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ScheduleReboot', 'PATCH', 6590)" ||
      fail "cannot add ScheduleReboot to $PRODUCT_MSI"
  fi
  product_install "$PRODUCT_MSI"
  product_installed "$code"
  cp "$PRODUCT_FOLDER_DIR/quore.arx" "$e2e__facts/arx-before-$key"
  if [[ $listed == yes ]]; then
    local installed_msi=$PRODUCT_MSI
    product_build_sample "$hex" "$E2E_PATCHED_VERSION"
    product_package_file "$PRODUCT_MSI" quore.arx "$e2e__facts/arx-new-$key"
    PRODUCT_MSI=$installed_msi
  fi
}

# e2e__run_hotfix N CWD ARGS...: one run of hotfix.exe, its output, traces
# and exit code in the facts folder under the name N.
e2e__run_hotfix() {
  local name=$1 cwd=$2; shift 2
  # The msi trace shows each MsiConfigureProductExW call with its command
  # line, the relay trace its result.
  ( WINEDEBUG=-all,trace+msi,+relay wine_run_env 240 --cwd "$cwd" -- "$HOTFIX_EXE" "$@" \
      >"$e2e__facts/run-$name.log" 2>"$e2e__facts/trace-$name.txt"
    echo "${WINE_EXIT_CODE:-}" >"$e2e__facts/exit-code-$name" ) &
  e2e__run_pid=$!
}

# The actions of a held box, done while it is up and before it is answered.
e2e__hold_actions() {
  local number=$1 actions=$2 action
  for action in ${actions//,/ }; do
    case $action in
      stop-quor)
        wine_log "box $number is up: closing quor.exe"
        quor_stop main ;;
      snapshot)
        (cd "$e2e__work" && find . -type f -printf '%P\n') >"$e2e__facts/snapshot-$number.txt" ;;
      tamper)
        # Another process of the user tries to swap the temporary package.
        wine_run 60 "$HOTFIX_PROBE" tamper "${e2e__temp_windows}MSP2" \
          "$(winpath_of "$e2e__facts/tamper-$number.bin")" >"$e2e__facts/tamper-$number.json" ||
          fail "probe tamper failed at box $number" ;;
      *) fail "unknown action $action for box $number" ;;
    esac
  done
  touch "$WINE_TEST_DIR/hold-$number"
}

e2e_run_case() {
  local name=${1:?e2e_run_case CASE}
  local plan
  plan=$(python3 "$E2E_DRIVER" plan "$name") || fail "no plan for case $name"
  eval "$plan"
  e2e__require_sample_build
  wine_case "$name: $(python3 -c 'import json,sys; print(next(c["why"] for c in json.load(open(sys.argv[1]))["cases"] if c["name"] == sys.argv[2]))' \
    "$(dirname "$E2E_DRIVER")/hotfix_cases.json" "$name")"

  wine_new_prefix main
  e2e__facts=$WINE_TEST_DIR/facts
  e2e__work=$WINE_PREFIX_C/work
  local user temp_dir
  user=$(id -un)
  temp_dir=$WINE_PREFIX_C/users/$user/Temp
  e2e__temp_windows="C:\\users\\$user\\Temp\\"
  mkdir -p "$e2e__facts" "$e2e__work" "$temp_dir"
  python3 - "$e2e__facts/context.json" "$e2e__work" "$temp_dir" "C:\\users\\$user\\Temp\\" <<'EOF'
import json, sys
json.dump({"work_dir": sys.argv[2], "temp_dir": sys.argv[3], "temp_dir_windows": sys.argv[4]},
          open(sys.argv[1], "w"))
EOF

  # The relay trace shows what each MsiConfigureProductExW call returned;
  # limited to that one function, it costs next to nothing.
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n"RelayInclude"="msi.MsiConfigureProductExW"\n' \
    >"$e2e__facts/relay.reg"
  wine_run 60 regedit /S "$(winpath_of "$e2e__facts/relay.reg")" || fail "cannot limit the relay trace"

  # Products, in the order of the case.
  e2e__keys=() e2e__codes=() e2e__versions_before=() e2e__packages=() e2e__md5_before=()
  local entry i
  for entry in "${E2E_PRODUCTS[@]}"; do
    local key code pname language version listed options=() rest=""
    IFS='|' read -r key code pname language version listed rest <<<"$entry"
    [[ -n $rest ]] && IFS='|' read -r -a options <<<"$rest"
    wine_log "installing $key: $code \"$pname\" $language $version ${options[*]}"
    e2e__add_product "$key" "$code" "$pname" "$language" "$version" "$listed" "${options[@]}"
    e2e__keys+=("$key") e2e__codes+=("$code") e2e__versions_before+=("$version")
    e2e__packages+=("$PRODUCT_LOCAL_PACKAGE_FILE")
    e2e__md5_before+=("$(md5sum <"$PRODUCT_LOCAL_PACKAGE_FILE" | cut -d' ' -f1)")
    [[ $key == "$E2E_QUOR" ]] && e2e__quor_code=$code
  done
  if [[ -n $E2E_QUOR ]]; then
    [[ -n ${e2e__quor_code:-} ]] || fail "case $name: quor.exe of $E2E_QUOR, which it does not install"
    quor_start main "$e2e__quor_code"
    wine_log "quor.exe of $E2E_QUOR runs"
  fi
  python3 "$E2E_DRIVER" seed "$name" "$e2e__work" "$temp_dir" || fail "cannot seed case $name"

  local answers=() answer
  for answer in "${E2E_ANSWERS[@]}"; do
    [[ $answer =~ @HOLD([0-9]+)@ ]] && answer=${answer/@HOLD${BASH_REMATCH[1]}@/$WINE_TEST_DIR/hold-${BASH_REMATCH[1]}}
    answers+=("$answer")
  done
  local robot_args=(--default ok --timeout 280 --hook-timeout 90)
  (( ${#answers[@]} )) && robot_args+=(--answers "$(IFS=,; echo "${answers[*]}")")
  robot_start "$e2e__facts/boxes.jsonl" "${robot_args[@]}"

  local run held=0
  for ((run = 1; run <= E2E_RUN_COUNT; run++)); do
    local cwd_var=E2E_RUN_CWD_$run args_var="E2E_RUN_ARGS_$run[@]"
    local cwd=$e2e__work/${!cwd_var} args=("${!args_var}")
    wine_log "run $run in $(winpath_of "$cwd"): hotfix.exe ${args[*]}"
    e2e__run_hotfix "$run" "$cwd" "${args[@]}"
    local pid=$e2e__run_pid
    while kill -0 "$pid" 2>/dev/null; do
      if (( held < ${#E2E_HOLDS[@]} )); then
        local hold=${E2E_HOLDS[$held]}
        if [[ -e $ROBOT_SIGNAL_DIR/box-${hold%%|*}.json ]]; then
          e2e__hold_actions "${hold%%|*}" "${hold#*|}"
          held=$((held + 1))
          continue
        fi
      fi
      sleep 0.05
    done
    wait "$pid"
    wine_log "run $run ended, exit code $(cat "$e2e__facts/exit-code-$run")"
  done
  robot_stop || true
  (( held == ${#E2E_HOLDS[@]} )) ||
    wine__record_failure "only $held of ${#E2E_HOLDS[@]} held box(es) came up"
  sed 's/^/  box: /' "$e2e__facts/boxes.jsonl" >&2 2>/dev/null
  quor_stop_all

  e2e__record_products "$e2e__facts/products.tsv"

  # Once more on the same machine, as a user who runs the hotfix again: what
  # was patched is up to date now.
  if [[ -n ${E2E_AGAIN+set} ]]; then
    local again_args=(--default ok --timeout 120)
    (( ${#E2E_AGAIN[@]} )) && again_args+=(--answers "$(IFS=,; echo "${E2E_AGAIN[*]}")")
    robot_start "$e2e__facts/boxes-again.jsonl" "${again_args[@]}"
    wine_log "again: hotfix.exe"
    e2e__run_hotfix again "$e2e__work"
    wait "$e2e__run_pid"
    robot_stop || true
    sed 's/^/  again box: /' "$e2e__facts/boxes-again.jsonl" >&2 2>/dev/null
  fi
  local report rc=0
  report=$(python3 "$E2E_DRIVER" check "$name" "$e2e__facts") || rc=$?
  if (( rc != 0 )); then
    local line
    while IFS= read -r line; do wine__record_failure "$name: $line"; done <<<"$report"
    [[ -n $report ]] || wine__record_failure "$name: e2e.py check failed ($rc)"
  fi
  wine_log "$name: checked"
}
