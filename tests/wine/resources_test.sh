#!/bin/bash
# wine-fixture: none
# The resources as linked into the programs, not as compiled: what
# wrestool lists (the string table blocks in fourteen languages, the
# manifest, the icon group and its nine icons, the patch and its
# description, and nothing else: no version information), the names of the
# named entries read from the resource directory itself, the icon group's
# images in order, and the manifest byte for byte.
source "$(dirname "$0")/lib.sh"

languages=(1028 1029 1031 1033 1034 1036 1038 1040 1041 1042 1045 1046 1049 2052)
english=1033
payload_language=1046

# The listing every program linked with the resources must give, one
# "type name language" line each, sorted. Blocks of sixteen ids: 19 holds
# 300-303, 20 holds 304-319, 44 holds 700 and 57 holds 900.
expected_listing() {
  local language block icon
  for language in "${languages[@]}"; do
    for block in 19 20; do echo "6 $block $language"; done
  done
  echo "6 44 $english"                       # 700, English only
  echo "6 57 $english"                       # 900, English only
  echo "24 1 $english"                       # the manifest
  echo "14 IDR_MAINFRAME $english"           # the icon group, by name
  for icon in 1 2 3 4 5 6 7 8 9; do echo "3 $icon $english"; done
  echo "MSP MSP $payload_language"           # wrestool's spelling: the type's name twice
  echo "TXT 206 $payload_language"           # the description block
}

# wrestool -l lines as "type name language".
wrestool_listing() {
  wrestool -l "$1" | sed -E "s/^--type=([^ ]+) --name=([^ ]+) --language=([0-9]+) .*/\1 \2 \3/; s/'//g"
}

# The directory as stored, names of named entries as they are.
# type | name | language -- why
named_entries=(
  "MSP|IDR_MSP|$payload_language"        # the patch, found by type and name
  "14|IDR_MAINFRAME|$english"            # the icon group: a name, not a number
)

# The nine images of the group: width height bits id, in order.
expected_images=(
  "48 48 4 1" "32 32 4 2" "16 16 4 3"
  "48 48 8 4" "32 32 8 5" "16 16 8 6"
  "48 48 24 7" "32 32 24 8" "16 16 24 9"
)

for exe in "$HOTFIX_PROBE" "$HOTFIX_EXE"; do
  name=$(basename "$exe")
  wine_case "$name"
  if [[ ! -f $exe ]]; then
    record_failure "$name: $exe has not been built"
    continue
  fi

  listing=$(wrestool_listing "$exe" | LC_ALL=C sort)
  expected=$(expected_listing | LC_ALL=C sort)
  if [[ $listing != "$expected" ]]; then
    record_failure "$name: resources listed by wrestool differ from the expected ones:
$(diff <(echo "$expected") <(echo "$listing") | grep '^[<>]')"
  fi
  grep -q '^16 ' <<<"$listing" && record_failure "$name: carries version information (type 16)"

  # The same set read from the directory, so the reader below can be trusted
  # where wrestool cannot.
  stored=$(python3 "$WINE_LIB_DIR/pe_resources.py" list "$exe") ||
    { record_failure "$name: cannot read the resource directory"; continue; }
  expect_eq "$(wc -l <<<"$stored")" "$(wc -l <<<"$expected")" "$name: entries in the resource directory"
  for entry in "${named_entries[@]}"; do
    IFS='|' read -r type entry_name language <<<"$entry"
    type_json=$([[ $type =~ ^[0-9]+$ ]] && echo "$type" || echo "\"$type\"")
    found=$(grep -cF "{\"type\": $type_json, \"name\": \"$entry_name\", \"language\": $language," <<<"$stored")
    expect_eq "$found" 1 "$name: entries of type $type named $entry_name in language $language"
  done

  # wrestool rebuilds the .ico from the group and its icons; icotool reads it.
  ico=$WINE_TEST_DIR/$name.ico
  if wrestool -x --type=14 --name=IDR_MAINFRAME -o "$ico" "$exe" && [[ -s $ico ]]; then
    images=$(icotool -l "$ico" | sed -E 's/.*--width=([0-9]+) --height=([0-9]+) --bit-depth=([0-9]+).*/\1 \2 \3/')
    expected_sizes=$(for image in "${expected_images[@]}"; do echo "${image% *}"; done)
    expect_eq "$images" "$expected_sizes" "$name: images of the icon group (icotool -l)"
  else
    record_failure "$name: wrestool cannot extract the icon group IDR_MAINFRAME"
  fi
  group=$(python3 "$WINE_LIB_DIR/pe_resources.py" group "$exe" 14 IDR_MAINFRAME |
    python3 -c 'import json, sys
for line in sys.stdin: e = json.loads(line); print(e["width"], e["height"], e["bits"], e["id"])')
  expect_eq "$group" "$(printf '%s\n' "${expected_images[@]}")" "$name: group entries (size, bits, icon id)"

  manifest=$WINE_TEST_DIR/$name.manifest
  if wrestool -x --raw --type=24 --name=1 -o "$manifest" "$exe"; then
    expect_file_bytes_equal "$manifest" "$HOTFIX_SOURCE_DIR/resources/hotfix.manifest" "$name: manifest"
  else
    record_failure "$name: wrestool cannot extract the manifest"
  fi
done
