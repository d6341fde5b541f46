#!/bin/bash
# The cached package edits on the packages that the real installer service
# keeps for installed products (their LocalPackage), read back with msiinfo
# on the Linux side: exactly the eight conditions and the two registry rows
# change, a package that cannot be edited is left byte for byte alone, and
# the working copy the edits are made on never stays behind.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

wine_new_prefix main

source_condition='NOT Installed OR (REINSTALLMODE AND NOT PATCH AND NOT MSIPATCHREMOVE AND REMOVE <>"ALL" AND QUOR_SECONDARY_INSTALL <>"1")'
shared_condition='(NOT Installed OR (REINSTALLMODE AND NOT PATCH AND NOT MSIPATCHREMOVE AND REMOVE <>"ALL" AND QUOR_SECONDARY_INSTALL <>"1")) AND SHAREDSUPPORT<>"1"'
maintenance_condition='Installed AND NOT MSIPATCHREMOVE'
expect_eq "${#source_condition}|${#shared_condition}|${#maintenance_condition}" "121|146|32" \
  "lengths of the three conditions"
registry_component='QUORE.arx.9A0AD67F_1899_4E39_B406_AAD935BD48BE'

# export_tables PACKAGE DIR: every table of PACKAGE as msiinfo exports it,
# one file each, line ends as on Linux.
export_tables() {
  local package=$1 dir=$2 table
  rm -rf "$dir"
  mkdir -p "$dir"
  msiinfo tables "$package" | tr -d '\r' >"$dir/.tables" || fail "msiinfo tables $package failed"
  while read -r table; do
    [[ -n $table ]] || continue
    msiinfo export "$package" "$table" | tr -d '\r' >"$dir/$table.idt" ||
      fail "msiinfo export $package $table failed"
  done <"$dir/.tables"
}

# expect_edits BEFORE_DIR AFTER_DIR SEQUENCE_ROWS REGISTRY_ROWS WHAT: AFTER
# equals BEFORE with the edits made and nothing else, and the edits touched
# exactly that many rows of each table (so a product lacking the rows cannot
# pass for an edited one).
expect_edits() {
  local problems
  problems=$(python3 - "$@" "$source_condition" "$shared_condition" "$maintenance_condition" \
    "$registry_component" <<'EOF'
import os, sys
before, after, sequence_rows, registry_rows, what = sys.argv[1:6]
source, shared, maintenance, component = sys.argv[6:10]
conditions = {
    "ResolveSourceDir": source,
    "SetMergeManufacturerMDBCD": shared, "MergeManufacturerMDBCD": shared,
    "SetMergeManufacturerMDBCDEX": shared, "MergeManufacturerMDBCDEX": shared,
    "SetUncabManufacturerCD": shared, "UncabManufacturerCD": shared,
    "HarvestInstallSelection": maintenance,
}
moved = {"registry461": component, "QUORMiniDump_SendAppArgs": component}

def read(directory, name):
    path = os.path.join(directory, name)
    return open(path, encoding="utf-8").read().split("\n") if os.path.exists(path) else None

def edited(lines, edits, column):
    out, changed = [], 0
    for number, line in enumerate(lines):
        fields = line.split("\t")
        # The first three lines are the column names, types and table key.
        if number >= 3 and fields[0] in edits:
            fields[column] = edits[fields[0]]
            changed += 1
        out.append("\t".join(fields))
    return out, changed

problems = []
tables_before = read(before, ".tables")
tables_after = read(after, ".tables")
if tables_before != tables_after:
    problems.append(f"tables differ: {tables_before} -> {tables_after}")
for table in [t for t in tables_before if t]:
    old, new = read(before, table + ".idt"), read(after, table + ".idt")
    count, want = None, None
    if table == "InstallExecuteSequence":
        old, count = edited(old, conditions, 1)
        want = int(sequence_rows)
    elif table == "Registry":
        old, count = edited(old, moved, 5)
        want = int(registry_rows)
    if count is not None and count != want:
        problems.append(f"{table}: the package has {count} rows to edit, the case expects {want}")
    if old != new:
        for line in sorted(set(old) - set(new)):
            problems.append(f"{table}: missing {line!r}")
        for line in sorted(set(new) - set(old)):
            problems.append(f"{table}: unexpected {line!r}")
        if set(old) == set(new):
            problems.append(f"{table}: rows in another order")
if "Registry" not in tables_before and registry_rows != "0":
    problems.append("no Registry table, yet the case expects registry rows")
print("\n".join(problems))
EOF
)
  [[ -z $problems ]] && return 0
  wine__record_failure "$5: $problems"
}

# adjust WINDOWS_PATH WHAT: the probe's adjust, which must return normally.
adjust() {
  local rc=0
  wine_run 60 "$HOTFIX_PROBE" adjust "$1" >"$WINE_TEST_DIR/adjust.out" || rc=$?
  expect_eq "$rc" 0 "$2: probe adjust exit code"
  expect_eq "$(json_field "$(cat "$WINE_TEST_DIR/adjust.out")" adjusted 2>/dev/null)" "$1" \
    "$2: adjust returned"
  # The edits are made on a copy beside the package, which is gone afterwards
  # whether it took the package's place or not.
  expect_eq "$(find "$WINE_PREFIX_C/windows/Installer" -maxdepth 1 -name '*.hotfix-*' -printf '%f ')" "" \
    "$2: working copies left in C:\\windows\\Installer"
}

product_code_for_language 1033; english=$PRODUCT_CODE
product_code_for_language 1031; german=$PRODUCT_CODE
product_code_for_language 1036; french=$PRODUCT_CODE
product_code_for_language 1041; japanese=$PRODUCT_CODE
product_code_for_language 1040; italian=$PRODUCT_CODE

# Installed products whose cached packages are edited in place.
# code | language | make-product options | sequence rows | registry rows -- why
cases=(
  "$english|1033||8|2"                          # every row there: all ten edits
  "$german|1031|--no-registry-table|8|0"        # no Registry table: the sequence edits still land
  "$french|1036|--without ResolveSourceDir --without HarvestInstallSelection --without QUORMiniDump_SendAppArgs|6|1"  # some rows missing: the rest are edited, the lone registry row moves
)
for entry in "${cases[@]}"; do
  IFS='|' read -r code language options sequence_rows registry_rows <<<"$entry"
  read -r -a option_list <<<"$options"
  what="$language${options:+ ($options)}"
  wine_case "edits of an installed product's cached package: $what"
  product_add "$code" "$PRODUCT_DEFAULT_NAME" "$language" 5.2.0.0 "${option_list[@]+"${option_list[@]}"}"
  package=$PRODUCT_LOCAL_PACKAGE package_file=$PRODUCT_LOCAL_PACKAGE_FILE
  export_tables "$package_file" "$WINE_TEST_DIR/$language-before"
  adjust "$package" "$what"
  export_tables "$package_file" "$WINE_TEST_DIR/$language-after"
  expect_edits "$WINE_TEST_DIR/$language-before" "$WINE_TEST_DIR/$language-after" \
    "$sequence_rows" "$registry_rows" "$what"

  wine_case "the same edits again: nothing more changes ($what)"
  adjust "$package" "$what, again"
  export_tables "$package_file" "$WINE_TEST_DIR/$language-again"
  differences=$(diff -r "$WINE_TEST_DIR/$language-after" "$WINE_TEST_DIR/$language-again")
  expect_eq "$differences" "" "$what: tables after editing twice"
  # The service still knows the product and its package.
  product_state "$code"
  expect_eq "$PRODUCT_STATE" 5 "$what: product state after the edits"
  product_local_package "$code"
  expect_eq "$PRODUCT_LOCAL_PACKAGE" "$package" "$what: LocalPackage after the edits"
done

# expect_untouched FILE COPY WHAT: byte for byte as before.
expect_untouched() { expect_file_bytes_equal "$1" "$2" "$3"; }

# Packages that cannot be written; once they can be again, the same call
# edits them, so it was the lock that kept them as they were.
product_add "$japanese" "$PRODUCT_DEFAULT_NAME" 1041 5.2.0.0
package=$PRODUCT_LOCAL_PACKAGE package_file=$PRODUCT_LOCAL_PACKAGE_FILE
cp -p "$package_file" "$WINE_TEST_DIR/locked-copy.msi"
export_tables "$package_file" "$WINE_TEST_DIR/locked-before"

wine_case "a package that another program holds open, sharing it for reading only"
held_ready=$WINE_TEST_DIR/held-ready held_stop=$WINE_TEST_DIR/held-stop
( rc=0
  wine_run 150 "$HOTFIX_PROBE" hold "$package" "$(winpath_of "$held_ready")" \
    "$(winpath_of "$held_stop")" >"$WINE_TEST_DIR/hold.out" || rc=$?
  echo "$rc" >"$WINE_TEST_DIR/hold.rc" ) &
holder=$!
wait_for_file "$held_ready" 30 || fail "the package was not held within 30 s: $(cat "$WINE_TEST_DIR/hold.out" 2>/dev/null)"
adjust "$package" "held package"
touch "$held_stop"
wait "$holder"
expect_eq "$(cat "$WINE_TEST_DIR/hold.rc")" 0 "the holder's exit code"
expect_untouched "$package_file" "$WINE_TEST_DIR/locked-copy.msi" "held package"

# Wine runs as root here, and root writes files whatever their mode or
# read-only attribute; an immutable file is one that nobody can write.
wine_case "a package that nobody may write"
if chattr +i "$package_file" 2>"$WINE_TEST_DIR/chattr.err"; then
  # In a subshell, so that a failing run cannot end the test before the
  # file is writable again (the prefix could not be removed otherwise).
  ( adjust "$package" "unwritable package" )
  chattr -i "$package_file" || fail "cannot make $package_file writable again"
  expect_untouched "$package_file" "$WINE_TEST_DIR/locked-copy.msi" "unwritable package"
else
  wine_log "SKIPPED: this file system cannot make a file immutable ($(cat "$WINE_TEST_DIR/chattr.err"))"
fi

wine_case "the same package once it can be written: edited"
adjust "$package" "released package"
export_tables "$package_file" "$WINE_TEST_DIR/locked-after"
expect_edits "$WINE_TEST_DIR/locked-before" "$WINE_TEST_DIR/locked-after" 8 2 "released package"

# Packages that cannot be opened: nothing is made or changed anywhere.
product_add "$italian" "$PRODUCT_DEFAULT_NAME" 1040 5.2.0.0
bystander=$PRODUCT_LOCAL_PACKAGE_FILE
cp -p "$bystander" "$WINE_TEST_DIR/bystander-copy.msi"
installer_dir=$WINE_PREFIX_C/windows/Installer
ls -A "$installer_dir" >"$WINE_TEST_DIR/installer-before.txt"
not_a_database=$WINE_PREFIX_C/not-a-database.msi
printf 'This is a text file, not an installer database.\r\n' >"$not_a_database"
cp -p "$not_a_database" "$WINE_TEST_DIR/not-a-database-copy.msi"
# path -- why
paths=(
  'C:\windows\Installer\missing-package.msi'  # no such file
  'C:\no such folder\package.msi'              # no such folder
  ''                                          # an empty LocalPackage
  'C:\windows\Installer'                      # a folder, not a file
  "$(winpath_of "$not_a_database")"           # a file that is no database
)
for path in "${paths[@]}"; do
  wine_case "a package that cannot be opened: [$path]"
  adjust "$path" "package [$path]"
done
expect_no_file "$installer_dir/missing-package.msi" "the missing package must not be created"
expect_no_file "$WINE_PREFIX_C/no such folder" "the missing folder must not be created"
ls -A "$installer_dir" >"$WINE_TEST_DIR/installer-after.txt"
expect_eq "$(cat "$WINE_TEST_DIR/installer-after.txt")" "$(cat "$WINE_TEST_DIR/installer-before.txt")" \
  "the files in C:\\windows\\Installer"
expect_untouched "$bystander" "$WINE_TEST_DIR/bystander-copy.msi" "another product's package"
expect_untouched "$not_a_database" "$WINE_TEST_DIR/not-a-database-copy.msi" "the file that is no database"
