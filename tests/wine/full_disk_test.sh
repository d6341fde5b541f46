#!/bin/bash
# A temporary folder on a full file system: a tmpfs of a few pages, set as TMP
# inside Windows (reached as Z:). The extraction fails when the bytes cannot
# all reach the disk, also when only the stream's last buffered bytes are
# refused at its close; the default mode then shows 300 and never calls the
# installer, and /p without a name falls back to patchlist.txt. Exit code 0.
# Mounting needs root (CI runs as root on these machines).
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"

package=${HOTFIX_PATCH:-$HOTFIX_SOURCE_DIR/resources/sample/sample.msp}
[[ -f $package ]] || fail "no package: $package"
package_size=$(stat -c %s "$package")
page=$(getconf PAGESIZE)
description=${HOTFIX_DESCRIPTION:-$HOTFIX_SOURCE_DIR/resources/sample/description.txt}

tiny=$WINE_TEST_DIR/tiny
tiny_mounted=no
tiny_unmount() {
  if [[ $tiny_mounted == yes ]]; then
    umount "$tiny" || umount -l "$tiny"
    tiny_mounted=no
  fi
}
# Unmounted whatever happens, before the harness's own exit work.
trap 'status=$?; tiny_unmount; (exit $status); wine__on_exit' EXIT

# tiny_mount ROOM_PAGES: a fresh tmpfs at $tiny whose free room is exactly
# ROOM_PAGES pages (a one-page filler takes the rest).
tiny_mount() {
  tiny_unmount
  mkdir -p "$tiny"
  if ! mount -t tmpfs -o size=$(( ($1 + 1) * page )) tmpfs "$tiny" 2>"$WINE_TEST_DIR/mount.err"; then
    fail "cannot mount a tmpfs at $tiny: $(cat "$WINE_TEST_DIR/mount.err"). This test makes a full file system with mount -t tmpfs, which needs root."
  fi
  tiny_mounted=yes
  head -c "$page" /dev/zero >"$tiny/filler" || fail "cannot fill $tiny"
  local free
  free=$(df -B1 --output=avail "$tiny" | tail -1 | tr -d ' ')
  expect_eq "$free" $(( $1 * page )) "free bytes on the tiny file system"
}
tiny_windows=$(winpath_of "$tiny")

wine_new_prefix main
mkdir -p "$WINE_PREFIX_C/work"

# extract_on_tiny WHAT EXPECTED_RESULT: one extraction to a temporary name with
# TMP on the tiny file system.
extract_on_tiny() {
  local what=$1 expected=$2 out=$WINE_TEST_DIR/extract-$1.jsonl rc=0
  wine_run_env 60 "TMP=$tiny_windows" -- "$HOTFIX_PROBE" extract-temp 1 >"$out" || rc=$?
  expect_eq "$rc" 0 "$what: probe exit code"
  local line
  line=$(json_line "$out" 2)
  expect_eq "$(json_field "$line" path)" "$tiny_windows\\MSP2" "$what: name"
  expect_eq "$(json_field "$line" result)" "$expected" "$what: result"
  expect_eq "$(json_field "$line" ok)" false "$what: reported as a failure"
  expect_file_exists "$tiny/MSP2" "$what: the partial file stays"
}

wine_case "no room at all: the write fails"
tiny_mount 0
extract_on_tiny no-room short-write

wine_case "room for all but the stream's last buffered bytes: the close fails"
# The runtime writes whole buffers of 4096 bytes at once and keeps the rest
# until the close; a package of whole buffers leaves nothing to keep.
if (( package_size % 4096 != 0 && page == 4096 )); then
  tiny_mount $(( package_size / 4096 ))
  extract_on_tiny tail-refused close-failed
else
  wine_log "note: the package is $package_size bytes, whole buffers of 4096: nothing is left for the close to write"
fi

wine_case "the default mode: 300, the installer never called"
tiny_mount 0
product_code_for_language 1033
product=$PRODUCT_CODE
product_add "$product" "$PRODUCT_DEFAULT_NAME" 1033 5.2.0.0
cached_md5=$(md5sum <"$PRODUCT_LOCAL_PACKAGE_FILE")
boxes=$WINE_TEST_DIR/boxes-default.jsonl
robot_start "$boxes" --default ok --timeout 100
rc=0
wine_run_env 60 --cwd 'C:\work' "TMP=$tiny_windows" -- "$HOTFIX_EXE" || rc=$?
robot_stop
expect_eq "$rc/${WINE_EXIT_CODE:-}" 0/0 "default mode: run and exit code"
expect_boxes "$boxes" '[{"caption": "Installation Error", "text_contains": "A problem prevented the hotfix from being installed.", "icon": "stop", "buttons": [1], "process": "hotfix.exe"}]' "default mode"
product_info "$product" VersionString
expect_eq "$PRODUCT_INFO" 5.2.0.0 "the product's version"
# The driver edits the cached package right before it calls the installer.
expect_eq "$(md5sum <"$PRODUCT_LOCAL_PACKAGE_FILE")" "$cached_md5" "the product's cached package"

wine_case "/p without a name: patchlist.txt"
tiny_mount 0
boxes=$WINE_TEST_DIR/boxes-list.jsonl
robot_start "$boxes" --default ok --timeout 100
rc=0
wine_run_env 60 --cwd 'C:\work' "TMP=$tiny_windows" -- "$HOTFIX_EXE" /p || rc=$?
robot_stop
expect_eq "$rc/${WINE_EXIT_CODE:-}" 0/0 "/p: run and exit code"
expect_boxes "$boxes" '[]' "/p: no box"
{ printf '*****\r\n'; cat "$description"; printf '\r\n'; } >"$WINE_TEST_DIR/one-block.txt"
expect_file_bytes_equal "$WINE_PREFIX_C/work/patchlist.txt" "$WINE_TEST_DIR/one-block.txt" "/p: the list"
