#!/bin/bash
# Delta patches from make-delta (the encoder of make-patch) applied by the
# platform's own decoder: ApplyPatchToFileW of Wine's mspatcha.dll, called
# by apply_delta.exe, must rebuild each new file byte for byte from its old
# one, accept the header alone for the right old file (the check the
# installer makes before patching), and refuse a wrong old file without
# leaving a file behind.
source "$(dirname "$0")/lib.sh"

make_delta=${HOTFIX_MAKE_DELTA:-$(dirname "$HOTFIX_MAKE_PATCH")/make-delta}
tools=$HOTFIX_BUILD_DIR/tests/tools/delta_apply
apply_delta=$tools/apply_delta.exe
[[ -x $make_delta ]] || fail "no make-delta at $make_delta: build the host preset first (cmake --build --preset host)"
for program in "$apply_delta" "$tools/quor_next.exe" "$tools/hotfix_next.exe"; do
  [[ -f $program ]] || fail "no $program: build the windows preset"
done

corpus=$WINE_TEST_DIR/corpus
mkdir -p "$corpus"
cp "$HOTFIX_QUOR" "$corpus/program.old"
cp "$tools/quor_next.exe" "$corpus/program.new"
cp "$HOTFIX_EXE" "$corpus/hotfix.old"
cp "$tools/hotfix_next.exe" "$corpus/hotfix.new"
# The rest is made from a fixed seed, so every run codes the same bytes.
python3 - "$corpus" "$HOTFIX_SOURCE_DIR/README.md" <<'EOF'
import random, struct, sys
corpus, readme = sys.argv[1], open(sys.argv[2], 'rb').read()
rng = random.Random(19)
def pair(name, old, new):
    open(f'{corpus}/{name}.old', 'wb').write(old)
    open(f'{corpus}/{name}.new', 'wb').write(new)

noise = rng.randbytes(1 << 20)
changed = bytearray(noise)
changed[300000:304096] = rng.randbytes(4096)
changed[700001] ^= 0xFF
pair('random', noise, bytes(changed))

text = readme.replace(b'patch', b'delta patch').replace(b'\n## ', b'\n## Section: ')
pair('text', readme, text)
pair('grows', readme, readme[:9000] + rng.randbytes(3000) + readme[9000:] + readme[:5000])
pair('shrinks', readme, readme[:4000] + readme[12000:20000])
pair('emptied', readme, b'')
pair('one-byte', readme, b'x')
pair('same', readme, readme)

# Beyond the chains' reach (2 MiB) and the 8 MiB window: the index of the
# old file finds the copies; a shift that changes every offset; new bytes;
# new text and a table of 16-byte records, for blocks of both kinds.
words = [rng.randbytes(rng.randrange(2, 9)).hex().encode() for _ in range(3000)]
def prose(size):
    return b' '.join(rng.choice(words) for _ in range(size // 8))[:size]
records = b''.join(struct.pack('<IIII', i * 16, rng.choice((0, 1, 0xFFFF)), 0x1000 + i % 7 * 0x100, 0)
                   for i in range(20000))
base = noise + prose(3 << 20) + noise[:1 << 20]
moved = base[:1500000] + rng.randbytes(1000) + base[1500000:3000000] + prose(600000) + records + \
    base[3000500:4500000] + rng.randbytes(4096) + base[4504096:]
pair('large', base, moved)
# 2,000 new bytes in the first 4 MiB stretch: with a low chunk limit that
# stretch is coded as literals; the next one matches with the recent
# offsets as they were before it.
pair('fallback', base, base[:1 << 20] + rng.randbytes(2000) + base[1 << 20:])
EOF

wine_case "make-delta"
# name | make-delta options -- why
cases=(
  "random|"             # 1 MiB of noise with 4 KiB and one byte changed
  "text|"               # words replaced all through a text
  "grows|"              # bytes inserted and appended
  "shrinks|"            # most of a text cut out
  "emptied|"            # the new file is empty
  "one-byte|"           # a new file of one literal
  "same|"               # no change: a patch without data, applied by copying
  "program|"            # quor.exe and a build of an edited quor.cpp
  "hotfix|"             # hotfix.exe and a build with one more call at its start
  "large|"              # 5.5 MiB: the long-range index, a window above 8 MiB, several blocks
  "fallback|--chunk-limit 1200"  # stretches of chunks above 1200 bytes coded as literals
)
commands=()
for entry in "${cases[@]}"; do
  IFS='|' read -r name options <<<"$entry"
  rc=0
  # shellcheck disable=SC2086  # options are words
  "$make_delta" "$corpus/$name.old" "$corpus/$name.new" "$corpus/$name.patch" --header "$corpus/$name.header" \
    $options >"$WINE_TEST_DIR/make-delta-$name.txt" 2>&1 || rc=$?
  expect_eq "$rc" 0 "make-delta $name: exit code ($(cat "$WINE_TEST_DIR/make-delta-$name.txt"))" || continue
  wine_log "$(cat "$WINE_TEST_DIR/make-delta-$name.txt")"
  commands+=(apply "$(winpath_of "$corpus/$name.patch")" "$(winpath_of "$corpus/$name.old")"
             "$(winpath_of "$corpus/$name.out")"
             test "$(winpath_of "$corpus/$name.header")" "$(winpath_of "$corpus/$name.old")")
done

# The wrong old file: the right size, one byte off.
cp "$corpus/random.old" "$corpus/wrong.old"
printf '\x55' | dd of="$corpus/wrong.old" bs=1 seek=123456 conv=notrunc status=none
commands+=(apply "$(winpath_of "$corpus/random.patch")" "$(winpath_of "$corpus/wrong.old")"
           "$(winpath_of "$corpus/wrong.out")"
           test "$(winpath_of "$corpus/random.header")" "$(winpath_of "$corpus/wrong.old")")

wine_case "pairs beyond the decoder: make-delta refuses them"
: >"$corpus/empty.old"
truncate -s $(( (32 << 20) + 1 )) "$corpus/huge.old"
# old file -- why
for name in empty huge; do   # an empty file cannot be mapped; 32 MiB is the largest window
  rc=0
  "$make_delta" "$corpus/$name.old" "$corpus/text.new" "$corpus/$name.patch" >/dev/null 2>&1 || rc=$?
  expect_eq "$rc" 1 "make-delta with $name.old: exit code"
  expect_no_file "$corpus/$name.patch" "make-delta with $name.old: patch"
done

wine_case "ApplyPatchToFileW"
wine_new_prefix main
rc=0
wine_run 120 "$apply_delta" "${commands[@]}" >"$WINE_TEST_DIR/apply.txt" || rc=$?
expect_eq "$rc" 0 "apply_delta.exe exit code"
results=$(tr -d '\r' <"$WINE_TEST_DIR/apply.txt")
result_of() { grep -F "$1 $(winpath_of "$2"):" <<<"$results" | sed 's/.*: //'; }
for entry in "${cases[@]}"; do
  IFS='|' read -r name _ <<<"$entry"
  [[ -f $corpus/$name.patch ]] || continue
  expect_eq "$(result_of apply "$corpus/$name.out")" ok "apply $name"
  expect_file_bytes_equal "$corpus/$name.out" "$corpus/$name.new" "$name rebuilt"
  expect_eq "$(result_of test "$corpus/$name.old")" ok "header of $name against its old file"
done
# ERROR_PATCH_WRONG_FILE, 0xC00E4104: the old file's CRC-32 is not the one
# the header names.
expect_eq "$(result_of apply "$corpus/wrong.out")" "error 3222159620" "apply to a wrong old file"
expect_no_file "$corpus/wrong.out" "the new file after a refused patch"
expect_eq "$(result_of test "$corpus/wrong.old")" "error 3222159620" "header against a wrong old file"
