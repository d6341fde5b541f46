#!/bin/bash
# wine-fixture: none
# Header facts of the built programs, read with objdump: 64-bit, the right
# subsystem, ASLR with high entropy and DEP, relocations kept (ASLR needs
# them), and no DLL that a bare Windows machine lacks; hotfix.exe imports
# only KnownDLLs and no 32-bit file seek.
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

wine_case "hotfix.exe imports only DLLs that Windows loads from its known set"
# KnownDLLs of Windows 7 and every later version: Windows maps these from the
# system directory whatever the search order. Any other import would be looked
# for in the program's folder first (a Downloads folder, as a rule).
known_dlls=(advapi32.dll comdlg32.dll gdi32.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll
  msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll
  setupapi.dll shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll)
static_client=${HOTFIX_STATIC_MSI_CLIENT:-$HOTFIX_BUILD_DIR/tests/tools/hostile_msi/static_msi_client.exe}
# program | its imports outside KnownDLLs -- why
known_cases=(
  "$HOTFIX_EXE|"                # the product: none
  "$static_client|msi.dll"      # the control: the check does see such an import
)
for entry in "${known_cases[@]}"; do
  IFS='|' read -r exe expected <<<"$entry"
  [[ -f $exe ]] || { wine__record_failure "$exe has not been built"; continue; }
  outside=$("$HOTFIX_OBJDUMP" -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' |
    grep -vxF -f <(printf '%s\n' "${known_dlls[@]}") | tr '\n' ' ')
  expect_eq "${outside% }" "$expected" "$(basename "$exe"): imports outside KnownDLLs"
done

wine_case "hotfix.exe seeks with 64-bit positions only"
# SetFilePointer without a high part fails on a file of 4 GiB or more (Wine
# accepts it, Windows does not), so a patch list that large would be written
# over from its start.
if "$HOTFIX_OBJDUMP" -p "$HOTFIX_EXE" | awk '$NF == "SetFilePointer" {found = 1} END {exit !found}'; then
  wine__record_failure "hotfix.exe imports SetFilePointer"
fi
