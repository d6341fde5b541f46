#!/bin/bash
# The portable command line splitter against the system's CommandLineToArgvW
# (and the adapter around it), on command lines chosen to hit every rule.
source "$(dirname "$0")/lib.sh"

wine_new_prefix main
cases=$WINE_TEST_DIR/cases.json
lines=$WINE_TEST_DIR/command-lines.txt
results=$WINE_TEST_DIR/splits.jsonl

# Each case: why it is here, the command line (Python escapes, so tabs and
# blanks at the end stay visible), and where the result is known from the
# documented rules, the arguments expected.
python3 - "$cases" "$lines" <<'EOF'
import json, sys
P = r"C:\Program Files\Korvanta\hotfix.exe"
cases = [
    ("plain words", "prog a b c", ["prog", "a", "b", "c"]),
    ("empty line: the module path (checked below)", "", None),
    ("blanks only: an empty program name", "   ", None),
    ("leading blanks give an empty program name", "  prog a", ["", "prog", "a"]),
    ("leading tab", "\tprog a", None),
    ("quoted program path with blanks", f'"{P}" /q', [P, "/q"]),
    ("unterminated quoted program path", f'"{P} /q', [P + " /q"]),
    ("unquoted program keeps its quotes", r'C:\a"b c"\p.exe x', None),
    ("text glued to a quoted program", '"prog"x y', None),
    ("program name takes no escapes", r'"C:\dir\\" x', None),
    ("program name then tabs and an empty tail", "prog\t \t", ["prog"]),
    ("trailing backslashes stay", "p a\\ b\\\\ c\\\\\\", ["p", "a\\", "b\\\\", "c\\\\\\"]),
    ("three backslashes and a quote", r'p a\\\"b c d', ["p", 'a\\"b', "c", "d"]),
    ("four backslashes and a quote", r'p a\\\\"b c" d e', ["p", "a\\\\b c", "d", "e"]),
    ("backslashes not before a quote", r'p a\\\b d"e f"g h', ["p", "a\\\\\\b", "de fg", "h"]),
    ("even backslashes close a quote", r'p "a\\" b', None),
    ("quoted words", 'p "abc" d e', ["p", "abc", "d", "e"]),
    ("four quotes alone", 'p """"', None),
    ("doubled quote outside quotes", 'p a""b', None),
    ("doubled quote inside quotes", 'p "a""b"', None),
    ("three quotes inside quotes", 'p "a"""b"', None),
    ("triple quotes around words", 'p """a b"""', None),
    ("five quotes", 'p """"" x', None),
    ("six quotes", 'p """""" x', None),
    ("seven quotes then text", 'p """""""a b', None),
    ("quote run after backslashes", r'p \"""a" b', None),
    ("empty arguments", 'p "" "" x', ["p", "", "", "x"]),
    ("empty argument at the end", 'p x ""', ["p", "x", ""]),
    ("empty argument then the end, no blank", 'p ""', ["p", ""]),
    ("tabs separate", "p\ta\t\tb", ["p", "a", "b"]),
    ("tab inside quotes is kept", 'p "a\tb"', ["p", "a\tb"]),
    ("trailing blank: no empty argument", "p a ", ["p", "a"]),
    ("trailing tab", "p a\t", ["p", "a"]),
    ("odd quote: open to the end", 'p "a b', ["p", "a b"]),
    ("odd quote in a word", 'p a"b c', None),
    ("lone quote", 'p "', None),
    ("vertical tab and no-break space do not separate", "p a\x0bb a\u00a0b", None),
    ("unicode, including a surrogate pair", 'p Grüße 日本語 "ê ñ" \U0001F600', None),
    ("quoted path ending in a backslash eats the quote",
     r'hotfix.exe /e "C:\Out Dir\" /q', ["hotfix.exe", "/e", 'C:\\Out Dir" /q']),
    ("doubled backslash keeps the quote closing", r'hotfix.exe /e "C:\Out Dir\\" /q',
     ["hotfix.exe", "/e", "C:\\Out Dir\\", "/q"]),
    ("empty path after /p", 'hotfix.exe /p "" /i', ["hotfix.exe", "/p", "", "/i"]),
    ("switches glued by quotes", 'hotfix.exe "/q"/e', None),
]
with open(sys.argv[1], "w", encoding="utf-8") as out:
    json.dump(cases, out, ensure_ascii=False)
with open(sys.argv[2], "w", encoding="utf-8", newline="\n") as out:
    for _, line, _ in cases:
        assert "\n" not in line and "\r" not in line
        out.write(line + "\n")
EOF
[[ -s $lines ]] || fail "could not write the cases"

wine_case "split $(wc -l <"$lines") command lines"
rc=0
wine_run 60 "$HOTFIX_PROBE" split-command-lines "$(winpath_of "$lines")" >"$results" || rc=$?
expect_eq "$rc" 0 "probe split-command-lines exit code" || fail "the probe did not run"

report=$(python3 - "$cases" "$results" "$(winpath_of "$HOTFIX_PROBE")" <<'EOF'
import json, sys
cases = json.load(open(sys.argv[1], encoding="utf-8"))
results = [json.loads(line) for line in open(sys.argv[2], encoding="utf-8") if line.strip()]
probe_path = sys.argv[3]
problems = []
if len(results) != len(cases):
    problems.append(f"{len(cases)} cases but {len(results)} results")
for (reason, line, expected), result in zip(cases, results):
    where = f"case {reason!r}, command line {line!r}"
    if result["input"] != line:
        problems.append(f"{where}: the probe read {result['input']!r}")
        continue
    native = result["native"]
    if line == "":
        expected = [probe_path]
    if native is None:
        problems.append(f"{where}: CommandLineToArgvW failed")
        continue
    if expected is not None and native != expected:
        problems.append(f"{where}: CommandLineToArgvW gave {native!r}, the rules say {expected!r}")
    if result["adapter"] != native:
        problems.append(f"{where}: the adapter gave {result['adapter']!r}, the system {native!r}")
    if result["portable"] != native:
        problems.append(f"{where}: SplitCommandLine gave {result['portable']!r}, the system {native!r}")
print("\n".join(problems))
sys.exit(1 if problems else 0)
EOF
) || wine__record_failure "splits differ:
$report"

# The same rules end to end: a process started with an exact command line
# sees it in GetCommandLineW and splits it the same three ways.
wine_case "own command line"
own=$WINE_TEST_DIR/own.json
rc=0
wine_run_cmdline 60 "$HOTFIX_PROBE" 'probe.exe own-command-line "a b" c\\\" "" x' >"$own" || rc=$?
expect_eq "$rc" 0 "probe own-command-line exit code"
line=$(cat "$own")
expect_eq "$(json_field "$line" input)" 'probe.exe own-command-line "a b" c\\\" "" x' "GetCommandLineW"
expect_eq "$(json_field "$line" native)" '["probe.exe", "own-command-line", "a b", "c\\\"", "", "x"]' "own split"
expect_eq "$(json_field "$line" portable)" "$(json_field "$line" native)" "own portable split"
expect_eq "$(json_field "$line" adapter)" "$(json_field "$line" native)" "own adapter split"
