#!/usr/bin/env python3
"""What the message boxes and loaded strings must show, worked out from the
resource scripts themselves (resources/strings/*.rc and the generated
payload.rc), not from the program.

    messages.py SCRIPT... -- languages
        the language ids the scripts carry, one a line, ascending
    messages.py SCRIPT... -- boxes LANGUAGE CODE PRODUCT ID...
        a JSON array of the boxes that reporting the IDs in a row must show
        (for boxes.py): LANGUAGE is the table language expected to be chosen,
        CODE the last-error value (unsigned) that 300 prints, PRODUCT the %s
        of 306 and 308
    messages.py SCRIPT... -- loads LANGUAGE FALLBACK PROBE_OUTPUT [LAST_ERROR]
        checks the lines of "probe load-string" (after the first) against
        the table: the string block of LANGUAGE where that language has one,
        otherwise the block of FALLBACK, which must also be what LoadStringW
        itself chose (the platform's choice); with LAST_ERROR (the value set
        before each load), a load that delivered a text must have left it
        as it was; prints the differences and exits 1 when there are any
    messages.py SCRIPT... -- sources PROBE_OUTPUT
        the languages whose texts are exactly those that "probe load-string"
        loaded, blank-separated ("" when no language has them all)

Languages are read from the LANGUAGE statements (primary, sub), not from the
file names.
"""
import json
import re
import sys

# Result messages: (caption id, icon, argument) as the reporting rules give them.
REPORTED = {
    300: (311, "stop", "code"),
    301: (312, "information", None),
    306: (313, "stop", "product"),
    307: (311, "stop", None),
    308: (311, "stop", "product"),
    310: (311, "stop", None),
}
# Room beyond the template for the formatted argument, terminator included.
ARGUMENT_ROOM = 512

LANGUAGE_RE = re.compile(r"^\s*LANGUAGE\s+(0x[0-9A-Fa-f]+|\d+)\s*,\s*(0x[0-9A-Fa-f]+|\d+)\s*$")
ENTRY_RE = re.compile(r'^\s*(\d+)\s+"((?:[^"]|"")*)"\s*$')
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\"}


def unescape(literal, where):
    out, i = [], 0
    while i < len(literal):
        c = literal[i]
        if c == '"':  # only as "" (the pattern admits nothing else)
            out.append('"')
            i += 2
        elif c == "\\":
            escape = literal[i + 1:i + 2]
            if escape not in ESCAPES:
                raise SystemExit(f"{where}: escape \\{escape} is not understood here")
            out.append(ESCAPES[escape])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_table(paths):
    """{language: {id: text}} from the STRINGTABLE blocks of the scripts."""
    table = {}
    for path in paths:
        language, inside = None, False
        with open(path, encoding="utf-8") as stream:
            for number, line in enumerate(stream, 1):
                where = f"{path}:{number}"
                stripped = line.strip()
                match = LANGUAGE_RE.match(line)
                if match:
                    primary, sub = (int(v, 0) for v in match.groups())
                    language = (sub << 10) | primary
                elif stripped == "STRINGTABLE":
                    if language is None:
                        raise SystemExit(f"{where}: STRINGTABLE before any LANGUAGE")
                elif stripped == "BEGIN":
                    inside = True
                elif stripped == "END":
                    inside = False
                elif inside and stripped and not stripped.startswith("//"):
                    entry = ENTRY_RE.match(line)
                    if not entry:
                        raise SystemExit(f"{where}: not a string entry: {stripped}")
                    strings = table.setdefault(language, {})
                    string_id = int(entry.group(1))
                    if string_id in strings:
                        raise SystemExit(f"{where}: id {string_id} twice in language {language}")
                    strings[string_id] = unescape(entry.group(2), where)
    return table


def units(text):
    return len(text.encode("utf-16-le")) // 2


def cut_to_units(text, count):
    return text.encode("utf-16-le")[:2 * count].decode("utf-16-le", errors="ignore")


def has_block(table, language, string_id):
    """Whether the language carries the block (16 ids) that holds the id."""
    return any(other // 16 == string_id // 16 for other in table.get(language, {}))


def lookup(table, language, fallback, string_id):
    """The string as a lookup by block finds it: the block (16 ids) of the
    language when it has one, else that of the fallback; "" when the block has
    no text for the id."""
    chosen = language if has_block(table, language, string_id) else fallback
    return table.get(chosen, {}).get(string_id, "")


def format_template(template, arguments):
    """%d (a signed 32-bit number), %s and %%; a placeholder without an
    argument stays as it is."""
    remaining = list(arguments)

    def replace(match):
        if match.group(0) == "%%":
            return "%"
        if not remaining:
            return match.group(0)
        return str(remaining.pop(0))
    return re.sub(r"%[ds%]", replace, template)


def expected_boxes(table, language, code, product, ids):
    strings = table.get(language)
    if not strings:
        raise SystemExit(f"no string table in language {language}")
    signed = code - (1 << 32) if code >= (1 << 31) else code
    boxes = []
    for string_id in ids:
        caption_id, icon, argument = REPORTED[string_id]
        template = strings.get(string_id, "")
        arguments = {"code": [signed], "product": [product], None: []}[argument]
        text = cut_to_units(format_template(template, arguments),
                            units(template) + ARGUMENT_ROOM - 1)
        boxes.append({"caption": strings.get(caption_id, ""), "text": text, "icon": icon,
                      "buttons": [1], "process": "probe.exe", "answer": "ok"})
    return boxes


def show(text):
    return json.dumps(text, ensure_ascii=False)


def loaded_records(output_path):
    """The records of "probe load-string", after its first line."""
    with open(output_path, encoding="utf-8") as stream:
        lines = [line for line in stream.read().splitlines() if line.strip()]
    return [json.loads(line) for line in lines[1:]]


def check_loads(table, language, fallback, output_path, last_error=None):
    problems = []
    records = loaded_records(output_path)
    if not records:
        return [f"{output_path}: no loaded strings in the probe's output"]
    for record in records:
        string_id = record["id"]
        want = lookup(table, language, fallback, string_id)
        label = f"id {string_id} under {language}"
        if record["text"] != want:
            problems.append(f"{label}: expected {show(want)}, got {show(record['text'])}")
        if not has_block(table, language, string_id) and record["text"] != record["system"]:
            problems.append(f"{label}: the table has no block there, so the platform's own choice"
                            f" {show(record['system'])} was expected, got {show(record['text'])}")
        if record["count"] != units(want):
            problems.append(f"{label}: count {record['count']}, expected {units(want)}")
        # Blocks looked for in vain leave 1814 or 1815, which a later 300
        # would show; a load that found its text must not leave them.
        if last_error is not None and record["count"] > 0 and \
                record["lastErrorAfter"] != last_error:
            problems.append(f"{label}: last-error {record['lastErrorAfter']} after the load,"
                            f" {last_error} before it")
    return problems


def sources(table, output_path):
    records = loaded_records(output_path)
    return sorted(language for language, strings in table.items()
                  if records and all(strings.get(r["id"], "") == r["text"] for r in records))


def main(argv):
    if "--" not in argv:
        print(__doc__, file=sys.stderr)
        return 2
    split = argv.index("--")
    table = read_table(argv[1:split])
    command, args = argv[split + 1], argv[split + 2:]
    if command == "languages":
        print("\n".join(str(language) for language in sorted(table)))
    elif command == "boxes" and len(args) >= 4:
        ids = [int(string_id) for string_id in args[3:]]
        print(json.dumps(expected_boxes(table, int(args[0]), int(args[1]), args[2], ids),
                         ensure_ascii=False))
    elif command == "loads" and len(args) in (3, 4):
        last_error = int(args[3]) if len(args) == 4 else None
        problems = check_loads(table, int(args[0]), int(args[1]), args[2], last_error)
        for problem in problems:
            print(problem)
        return 1 if problems else 0
    elif command == "sources" and len(args) == 1:
        print(" ".join(str(language) for language in sources(table, args[0])))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
