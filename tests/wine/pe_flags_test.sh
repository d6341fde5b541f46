#!/bin/bash
# wine-fixture: none
# Header facts of the built programs, read with objdump: 64-bit, the right
# subsystem, ASLR with high entropy and DEP, relocations kept (ASLR needs
# them), and no DLL that a bare Windows machine lacks.
source "$(dirname "$0")/lib.sh"

# Every Windows program: linked statically, so no MinGW runtime DLL.
runtime_dlls="libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll"

# program | subsystem | DLLs it must not import -- why
programs=(
  # The product is windowed, and loads msi.dll itself from System32: a
  # static import would be resolved from its own folder first.
  "$HOTFIX_EXE|2|$runtime_dlls msi.dll"
  # The test tools run as console programs with the same link settings.
  "$HOTFIX_PROBE|3|$runtime_dlls"
  "$HOTFIX_ROBOT|3|$runtime_dlls"
  "$HOTFIX_RUN_WITH|3|$runtime_dlls"
)

for entry in "${programs[@]}"; do
  IFS='|' read -r exe subsystem forbidden <<<"$entry"
  name=$(basename "$exe")
  wine_case "$name"
  if [[ ! -f $exe ]]; then
    wine__record_failure "$name: $exe has not been built"
    continue
  fi
  headers=$("$HOTFIX_OBJDUMP" -p "$exe") || { wine__record_failure "$name: objdump -p failed"; continue; }
  sections=$("$HOTFIX_OBJDUMP" -h "$exe")

  expect_contains "$headers" "file format pei-x86-64" "$name: format"
  expect_eq "$(awk '$1 == "Magic" {print $2}' <<<"$headers")" 020b "$name: optional header magic (PE32+)"
  expect_eq "$(awk '$1 == "Subsystem" {print $2 + 0}' <<<"$headers")" "$subsystem" "$name: subsystem"
  flags=$(sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$headers")
  for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
    expect_contains "$flags" "$flag" "$name: DllCharacteristics"
  done
  characteristics=$(sed -n '/^Characteristics/,/^$/p' <<<"$headers")
  [[ $characteristics != *"relocations stripped"* ]] ||
    wine__record_failure "$name: relocations stripped, so the loader cannot move it"
  expect_contains "$sections" " .reloc " "$name: sections"

  imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers")
  [[ -n $imports ]] || wine__record_failure "$name: no imports found (objdump output changed?)"
  for dll in $forbidden; do
    if grep -qxF "$dll" <<<"$imports"; then
      wine__record_failure "$name imports $dll"
    fi
  done
  wine_log "$name imports: $(tr '\n' ' ' <<<"$imports")"
done
