#!/bin/bash
# Product discovery against the real installer service: products installed
# with msiexec are found in the order of the target text, with the fields as
# the service reports them, and only those that the text lists.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

wine_new_prefix main

product_target_codes
template=("${PRODUCT_TARGET_CODES[@]}")
expect_eq "${#template[@]}" 21 "codes in the sample patch's Template"

product_code_for_language 1033; english=$PRODUCT_CODE
product_code_for_language 1031; german=$PRODUCT_CODE
product_code_for_language 1041; japanese=$PRODUCT_CODE
product_code_for_language 1036; french=$PRODUCT_CODE   # listed, never installed
product_unlisted_code; unlisted=$PRODUCT_CODE
for code in "$english" "$german" "$japanese" "$french"; do
  [[ " ${template[*]} " == *" $code "* ]] || fail "the sample patch does not list $code"
done

# Installed in an order unlike the Template's (English, German, ..., Japanese
# sixth), each with a name and version of its own so that no field can be
# taken from another product unnoticed.
# code | ProductName | Language | ProductVersion
products=(
  "$german|Quorvel Büro-Edition 2011|1031|5.2.1.0"
  "$unlisted|Quorvel Professional Edition 2011 (UK)|1058|5.2.0.0"
  "$japanese|Quorvel Professional Edition 2011 (JA)|1041|5.1.0.3"
  "$english|Quorvel Professional Edition 2011|1033|5.2.0.0"
)
declare -A name_of language_of version_of package_of
for entry in "${products[@]}"; do
  IFS='|' read -r code name language version <<<"$entry"
  wine_case "install $code ($language, $version)"
  product_add "$code" "$name" "$language" "$version"
  name_of[$code]=$name language_of[$code]=$language version_of[$code]=$version
  package_of[$code]=$PRODUCT_LOCAL_PACKAGE
  # The cached package is that product's own database.
  expect_contains "$(msiinfo export "$PRODUCT_LOCAL_PACKAGE_FILE" Property | tr -d '\r')" \
    $'ProductCode\t'"$code" "Property table of $PRODUCT_LOCAL_PACKAGE (cached package of $code)"
done

# expected_entries PATCHED APPLICABLE CODE...: the JSON array of the entries
# that discovery must give for these codes, in this order.
expected_entries() {
  local patched=$1 applicable=$2; shift 2
  local code args=()
  for code in "$@"; do
    args+=("$code" "${name_of[$code]}" "${language_of[$code]}" "${version_of[$code]}"
           "${package_of[$code]}")
  done
  python3 - "$patched" "$applicable" "${args[@]}" <<'EOF'
import json, sys
patched, applicable, rest = sys.argv[1], sys.argv[2], sys.argv[3:]
entries = []
for i in range(0, len(rest), 5):
    code, name, language, version, package = rest[i:i + 5]
    entries.append({"productCode": code, "patchedVersion": patched, "productName": name,
                    "language": language, "installCommandLine": "",
                    "applicableVersions": applicable, "installedVersion": version,
                    "localPackage": package})
print(json.dumps(entries, ensure_ascii=False))
EOF
}

# compare_entries OUTPUT_FILE EXPECTED_JSON WHAT: the probe's JSON lines
# against the expected entries, field by field, order and count included.
compare_entries() {
  local problems
  problems=$(python3 - "$1" "$2" <<'EOF'
import json, sys
lines = [line for line in open(sys.argv[1], encoding="utf-8").read().splitlines() if line]
expected = json.loads(sys.argv[2])
problems = []
try:
    actual = [json.loads(line) for line in lines]
except json.JSONDecodeError as error:
    print(f"output is not JSON lines ({error}): {lines}")
    sys.exit(0)
for index, (want, got) in enumerate(zip(expected, actual)):
    if got.get("index") != index:
        problems.append(f"entry {index}: index {got.get('index')}")
    for field, value in want.items():
        if got.get(field) != value:
            problems.append(f"entry {index} {field}: expected {json.dumps(value, ensure_ascii=False)},"
                            f" got {json.dumps(got.get(field), ensure_ascii=False)}")
    extra = set(got) - set(want) - {"index"}
    if extra:
        problems.append(f"entry {index}: unexpected fields {sorted(extra)}")
if len(actual) != len(expected):
    problems.append(f"expected {len(expected)} entries, got {len(actual)}: "
                    + ", ".join(entry.get("productCode", "?") for entry in actual))
print("\n".join(problems))
EOF
)
  [[ -z $problems ]] && return 0
  wine__record_failure "$3: $problems"
}

wine_case "discover over the sample patch's Template"
patch_copy=$WINE_TEST_DIR/sample.msp
cp "$HOTFIX_SAMPLE_PATCH" "$patch_copy"
out=$WINE_TEST_DIR/discover-patch.jsonl
rc=0
wine_run 60 "$HOTFIX_PROBE" discover --patch "$(winpath_of "$patch_copy")" >"$out" || rc=$?
expect_eq "$rc" 0 "probe discover --patch: exit code"
# Template order: English first, German second, Japanese sixth; the unlisted
# product is installed but not a target.
compare_entries "$out" "$(expected_entries 5.2.1.0 5.2.0.0, "$english" "$german" "$japanese")" \
  "discovery over the Template"

wine_case "discover over the embedded patch, extracted as the hotfix does"
out=$WINE_TEST_DIR/discover-embedded.jsonl
rc=0
wine_run 60 "$HOTFIX_PROBE" discover --embedded >"$out" || rc=$?
expect_eq "$rc" 0 "probe discover --embedded: exit code"
compare_entries "$out" "$(expected_entries 5.2.1.0 5.2.0.0, "$english" "$german" "$japanese")" \
  "discovery over the embedded patch's Template"
leftovers=$(find "$WINE_PREFIX_C/users" -ipath '*/temp/msp*' 2>/dev/null)
expect_eq "$leftovers" "" "temporary copies of the patch left behind"

# Target texts given directly: what the walk over the text does.
E=$english D=$german J=$japanese U=$unlisted F=$french
# target text | expected codes (space-separated) -- why
cases=(
  "$E;$D|$E $D"           # two installed codes: both, in the text's order
  "$D;$E|$D $E"           # the text's order, not the installation's or Template's
  "$E;$D;|$E $D"          # a trailing semicolon changes nothing
  "$E|$E"                 # one code without any semicolon
  "|"                     # the empty text gives nothing
  ";$E|"                  # an empty first element ends the walk at once
  "$E;;$D|$E"             # a doubled semicolon: codes after it are never looked at
  "$E;$E|$E $E"           # a code listed twice gives two equal entries
  "$F;$J|$J"              # a listed code that is not installed is dropped
  "$U;$J|$U $J"           # the unlisted product is installed: found when a text names it
  "not a product code;$D|$D"  # an element that is no code at all is dropped silently
)
number=0
for entry in "${cases[@]}"; do
  number=$((number + 1))
  targets=${entry%%|*}
  read -r -a codes <<<"${entry#*|}"
  wine_case "targets case $number: [$targets]"
  out=$WINE_TEST_DIR/discover-$number.jsonl
  rc=0
  wine_run 60 "$HOTFIX_PROBE" discover --targets "$targets" >"$out" || rc=$?
  expect_eq "$rc" 0 "targets case $number: exit code"
  compare_entries "$out" "$(expected_entries 5.2.1.0 5.2.0.0, "${codes[@]+"${codes[@]}"}")" \
    "targets case $number [$targets]"
done

wine_case "the version texts are copied into every entry as given"
out=$WINE_TEST_DIR/discover-versions.jsonl
rc=0
wine_run 60 "$HOTFIX_PROBE" discover --targets "$J;$E" 6.0.0.1 "5.1.0.3,5.2.0.0," >"$out" || rc=$?
expect_eq "$rc" 0 "probe discover with versions: exit code"
compare_entries "$out" "$(expected_entries 6.0.0.1 5.1.0.3,5.2.0.0, "$J" "$E")" \
  "discovery with other version texts"
