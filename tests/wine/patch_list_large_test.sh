#!/bin/bash
# A patch list of 4 GiB or more (a sparse file, so it costs no disk): /p
# appends its block at the real end, and the start of the list is untouched.
# A 32-bit seek fails on such a file and would leave the writes at its start.
source "$(dirname "$0")/lib.sh"

description=${HOTFIX_DESCRIPTION:-$HOTFIX_SOURCE_DIR/resources/sample/description.txt}
block=$WINE_TEST_DIR/block.txt
{ printf '*****\r\n'; cat "$description"; printf '\r\n'; } >"$block"
block_size=$(stat -c %s "$block")
head_text="earlier entries of the list"

wine_new_prefix main
mkdir -p "$WINE_PREFIX_C/work"

# size of the list before -- why
sizes=(
  $(( 1 << 32 ))          # exactly 4 GiB: the low 32 bits of its end are 0
  $(( (1 << 32) + 5 ))    # just past 4 GiB
  $(( (5 << 32) + 123 ))  # far past it
)
n=0
for size in "${sizes[@]}"; do
  n=$((n + 1))
  wine_case "a list of $size bytes"
  list=$WINE_PREFIX_C/work/list-$n.txt
  truncate -s "$size" "$list" || fail "cannot make a sparse file of $size bytes"
  printf '%s' "$head_text" | dd of="$list" conv=notrunc status=none
  rc=0
  wine_run_env 60 -- "$HOTFIX_EXE" /p "$(winpath_of "$list")" || rc=$?
  expect_eq "$rc/${WINE_EXIT_CODE:-}" 0/0 "$size: run and exit code"
  expect_eq "$(stat -c %s "$list")" $(( size + block_size )) "$size: size afterwards"
  expect_eq "$(head -c ${#head_text} "$list")" "$head_text" "$size: the start of the list"
  tail -c "$block_size" "$list" >"$WINE_TEST_DIR/tail-$n.txt"
  expect_file_bytes_equal "$WINE_TEST_DIR/tail-$n.txt" "$block" "$size: the block at the end"
  rm -f "$list"
done
