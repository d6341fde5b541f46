#!/usr/bin/env python3
"""The end-to-end cases of hotfix.exe: plans them for e2e.sh and checks what
a run left behind against the case table (hotfix_cases.json).

    e2e.py plan CASE                  bash assignments for e2e.sh to eval
    e2e.py seed CASE WORK_DIR TEMP_DIR   writes the files a case starts with
    e2e.py check CASE FACTS_DIR       every check of the case; one line per
                                      failure, exit 1 if any
    e2e.py validate SCRIPT_DIR        the table itself: every case buildable,
                                      every case with its script and back

Expected texts come from the string table in resources/strings, so a box is
compared with exactly what the table holds for its id and language.
"""
import glob
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("HOTFIX_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
STRINGS_DIR = os.path.join(SOURCE_DIR, "resources", "strings")
CASES_FILE = os.path.join(HERE, "hotfix_cases.json")
sys.path.insert(0, HERE)
import boxes as boxes_lib  # noqa: E402  (the bench's box comparison)
import messages as messages_lib  # noqa: E402  (the string table read from its sources)

# Ids of the table, by role.
MSG_FAILED, MSG_SUCCEEDED, MSG_UP_TO_DATE, MSG_NOT_FOUND, MSG_WRONG_VERSION = 300, 301, 306, 307, 308
MSG_NO_PATCH_LIST = 310
CAPTION_ERROR, CAPTION_SUCCESS, CAPTION_UNNECESSARY = 311, 312, 313
PROMPT_TEXT, FILES_IN_USE = 315, 316
CAPTION_OF = {MSG_FAILED: CAPTION_ERROR, MSG_SUCCEEDED: CAPTION_SUCCESS,
              MSG_UP_TO_DATE: CAPTION_UNNECESSARY, MSG_NOT_FOUND: CAPTION_ERROR,
              MSG_WRONG_VERSION: CAPTION_ERROR, MSG_NO_PATCH_LIST: CAPTION_ERROR}
PROGRAMS_LISTED = "Quorvel\n"
LIST_CAPTION = "List of Products"
SEPARATOR = b"*****\r\n"
# The installer's own box for the failing custom action of make-product.sh.
SERVICE_ERROR_CAPTION = "Error"
SERVICE_ERROR_TEXT = "Quorvel cannot be patched on this computer."
SAMPLE_CODE_HEAD, SAMPLE_CODE_TAIL = "7C4A19E2-6007", "9B3D-4E81A6F25C07"
# The version the sample hotfix brings (string 700), and the variants its
# patch was made from.
PATCHED_VERSION = "5.2.1.0"
SAMPLE_PRODUCTS = os.path.join(SOURCE_DIR, "resources", "sample", "products.tsv")
SUCCESS_RESULTS = (0, 1641, 3010)

SOURCE_CONDITION = ('NOT Installed OR (REINSTALLMODE AND NOT PATCH AND NOT MSIPATCHREMOVE AND '
                    'REMOVE <>"ALL" AND QUOR_SECONDARY_INSTALL <>"1")')
SHARED_CONDITION = "(" + SOURCE_CONDITION + ') AND SHAREDSUPPORT<>"1"'
# The ten changes the hotfix makes to a cached package (scripts/bench.py
# checks them too).
CONDITION_EDITS = {
    "ResolveSourceDir": SOURCE_CONDITION,
    "SetMergeManufacturerMDBCD": SHARED_CONDITION,
    "MergeManufacturerMDBCD": SHARED_CONDITION,
    "SetMergeManufacturerMDBCDEX": SHARED_CONDITION,
    "MergeManufacturerMDBCDEX": SHARED_CONDITION,
    "SetUncabManufacturerCD": SHARED_CONDITION,
    "UncabManufacturerCD": SHARED_CONDITION,
    "HarvestInstallSelection": "Installed AND NOT MSIPATCHREMOVE",
}
ARX_COMPONENT = "QUORE.arx.9A0AD67F_1899_4E39_B406_AAD935BD48BE"
REGISTRY_EDITS = {
    "registry461": ARX_COMPONENT,
    "QUORMiniDump_SendAppArgs": ARX_COMPONENT,
}
EDITED_CONDITIONS = {
    **CONDITION_EDITS,
    # Near misses keep what the product was built with.
    "ResolveSourceDirEx": "NOT Installed",
    "harvestInstallSelection": "Installed",
}
EDITED_COMPONENTS = {
    **REGISTRY_EDITS,
    "Registry461": "QUORE.exe",
    "registry4610": "QUORE.exe",
    "QUORMiniDump_SendAppArgsEx": "QUORE.exe",
}


# ---------------------------------------------------------------- the table

def load_table():
    with open(CASES_FILE, encoding="utf-8") as stream:
        return json.load(stream)


def find_case(table, name):
    for case in table["cases"]:
        if case["name"] == name:
            return case
    raise SystemExit(f"e2e.py: no case {name!r} in {CASES_FILE}")


def installer_keys(case):
    return [item if isinstance(item, str) else item["as"] for item in case.get("installer", [])]


def installer_results(case):
    return [0 if isinstance(item, str) else item["result"] for item in case.get("installer", [])]


def product_code(variant):
    """The sample family's code of a variant: that of its language, or of the
    language it names as 'code'."""
    return "{%s-%04X-%s}" % (SAMPLE_CODE_HEAD, variant.get("code", variant["language"]),
                             SAMPLE_CODE_TAIL)


def is_sample_product(variant):
    """Whether the variant is installed as the sample product the patch was made
    from: a listed variant with its own language's code."""
    return not variant.get("unlisted") and "code" not in variant


def messages_language(variant):
    """The table language the variant's messages must come in."""
    return variant.get("messages", variant["language"])


# ---------------------------------------------------------------- the string table

def load_strings():
    """{language id: {string id: text}} from the scripts in resources/strings."""
    return messages_lib.read_table(sorted(glob.glob(os.path.join(STRINGS_DIR, "*.rc"))))


def fill(template, args):
    """wsprintfW for the %s and %d placeholders the table uses, in order."""
    pieces = re.split(r"(%[sd])", template)
    args = list(args)
    out = []
    for piece in pieces:
        if piece in ("%s", "%d"):
            if not args:
                raise ValueError(f"too few arguments for {template!r}")
            out.append(str(args.pop(0)))
        else:
            out.append(piece)
    return "".join(out)


# ---------------------------------------------------------------- expected boxes

def expected_boxes(table, case, strings, key="boxes"):
    """One dict per box of case[key]: caption, text (or text_pattern), icon,
    buttons, answer."""
    variants = table["variants"]
    result = []
    for wanted in case.get(key, []):
        box = {"process": "hotfix.exe"}
        if "msg" in wanted:
            msg, lang = wanted["msg"], wanted["lang"]
            texts = strings[lang]
            box["caption"] = texts[CAPTION_OF[msg]]
            template = texts[msg]
            if msg in (MSG_UP_TO_DATE, MSG_WRONG_VERSION):
                box["text"] = fill(template, [variants[wanted["product"]]["name"]])
            elif msg == MSG_FAILED:
                if wanted["code"] == "any":
                    # Whatever the last-error value held: a signed decimal.
                    head, tail = template.split("%d")
                    box["text_pattern"] = re.escape(head) + r"-?[0-9]+" + re.escape(tail)
                else:
                    box["text"] = fill(template, [wanted["code"]])
            else:
                box["text"] = fill(template, [])
            box["icon"] = "information" if msg == MSG_SUCCEEDED else "stop"
            box["buttons"] = [1]
        elif wanted.get("prompt"):
            texts = strings[wanted["lang"]]
            box["caption"] = texts[CAPTION_ERROR]
            box["text"] = fill(texts[PROMPT_TEXT], [PROGRAMS_LISTED, ""])
            box["icon"] = "stop"
            box["buttons"] = [4, 2]
        elif wanted.get("list"):
            box["caption"] = LIST_CAPTION
            box["text"] = ";".join(target_codes())
            box["icon"] = "none"
            box["buttons"] = [1]
        elif wanted.get("service_error"):
            box["caption"] = SERVICE_ERROR_CAPTION
            box["text"] = SERVICE_ERROR_TEXT
            box["buttons"] = [1]
        else:
            raise ValueError(f"case {case['name']}: a box of no known kind: {wanted}")
        box["answer"] = wanted.get("answer", "ok")
        result.append(box)
    return result


def compare_boxes(expected, recorded_file):
    recorded, problems = boxes_lib.load_recorded(recorded_file)
    for index, (want, got) in enumerate(zip(expected, recorded), 1):
        plain = {key: value for key, value in want.items() if key not in ("text_pattern", "answer")}
        problems += boxes_lib.compare_box(index, plain, got)
        if "text_pattern" in want and not re.fullmatch(want["text_pattern"], got.get("text", "")):
            problems.append(f"box {index} text: {json.dumps(got.get('text'), ensure_ascii=False)}"
                            f" does not match {want['text_pattern']!r}")
        # The robot records the answer it was told to give, hold included.
        if not str(got.get("answer", "")).startswith(want["answer"]):
            problems.append(f"box {index}: answered {got.get('answer')!r}, planned {want['answer']!r}")
    if len(recorded) != len(expected):
        problems.append(f"expected {len(expected)} box(es), the robot recorded {len(recorded)}")
        for extra in recorded[len(expected):]:
            problems.append("  extra: " + json.dumps(
                {key: extra.get(key) for key in ("box", "process", "caption", "text")},
                ensure_ascii=False))
    return problems


# ---------------------------------------------------------------- the patch

def patch_file():
    return os.environ.get("HOTFIX_SAMPLE_PATCH") or os.path.join(
        SOURCE_DIR, "resources", "sample", "sample.msp")


def description_file():
    return os.environ.get("HOTFIX_SAMPLE_DESCRIPTION") or os.path.join(
        SOURCE_DIR, "resources", "sample", "description.txt")


_codes = None


def target_codes():
    global _codes
    if _codes is None:
        info = subprocess.run(["msiinfo", "suminfo", patch_file()], capture_output=True,
                              text=True, check=True).stdout
        template = next(line[len("Template: "):] for line in info.replace("\r", "").split("\n")
                        if line.startswith("Template: "))
        _codes = template.split(";")
    return _codes


def sample_patch_code():
    info = subprocess.run(["msiinfo", "suminfo", patch_file()], capture_output=True,
                          text=True, check=True).stdout
    revision = next(line.split(": ", 1)[1] for line in info.replace("\r", "").split("\n")
                    if line.startswith("Revision number"))
    return revision[:38]


def sample_product_names():
    """{language id: name} of the variants the sample patch was made from."""
    names = {}
    with open(SAMPLE_PRODUCTS, encoding="utf-8") as stream:
        for line in stream:
            if line.strip() and not line.startswith("#"):
                language, name = line.rstrip("\n").split("\t")
                names[int(language, 16)] = name
    return names


def read_bytes(path):
    with open(path, "rb") as stream:
        return stream.read()


def seed_bytes(wanted):
    if "text" in wanted:
        return wanted["text"].encode("utf-8")
    unit = wanted["repeat"].encode("utf-8")
    return (unit * (wanted["bytes"] // len(unit) + 1))[:wanted["bytes"]]


# ---------------------------------------------------------------- plan and seed

def plan(table, case):
    """Bash assignments: what e2e.sh sets up and runs."""
    lines = []
    products = []
    for product in case.get("products", []):
        variant = table["variants"][product["as"]]
        fields = [product["as"], product_code(variant), variant["name"],
                  str(variant["language"]), product["version"],
                  "yes" if is_sample_product(variant) else "no"] + product.get("options", [])
        products.append("|".join(fields))
    lines.append("E2E_PRODUCTS=(" + " ".join(shlex.quote(p) for p in products) + ")")
    lines.append("E2E_QUOR=" + shlex.quote(case.get("quor", "")))
    answers, holds = [], []
    for number, wanted in enumerate(case.get("boxes", []), 1):
        answer = wanted.get("answer", "ok")
        if wanted.get("then"):
            answer += f"-after:@HOLD{number}@"
            holds.append(f"{number}|{','.join(wanted['then'])}")
        answers.append(answer)
    lines.append("E2E_ANSWERS=(" + " ".join(shlex.quote(a) for a in answers) + ")")
    lines.append("E2E_HOLDS=(" + " ".join(shlex.quote(h) for h in holds) + ")")
    lines.append("E2E_PATCHED_VERSION=" + shlex.quote(PATCHED_VERSION))
    if "again" in case:
        lines.append("E2E_AGAIN=(" + " ".join(shlex.quote(b.get("answer", "ok")) for b in case["again"]) + ")")
    runs = case["runs"]
    lines.append(f"E2E_RUN_COUNT={len(runs)}")
    for index, run in enumerate(runs, 1):
        lines.append(f"E2E_RUN_CWD_{index}=" + shlex.quote(run.get("cwd", "")))
        lines.append(f"E2E_RUN_ARGS_{index}=(" + " ".join(shlex.quote(a) for a in run["args"]) + ")")
    return "\n".join(lines)


def seed(case, work_dir, temp_dir):
    for relative, wanted in case.get("seed", {}).items():
        if relative.startswith("temp/"):
            path = os.path.join(temp_dir, relative[len("temp/"):])
        else:
            path = os.path.join(work_dir, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as stream:
            stream.write(seed_bytes(wanted))
    for run in case["runs"]:
        os.makedirs(os.path.join(work_dir, run.get("cwd", "")), exist_ok=True)


# ---------------------------------------------------------------- traces of the installer

HEX_UNIT = re.compile(r"x?([0-9a-fA-F]{4})")


def decode_debugstr(text):
    """Undoes Wine's debugstr_w escapes (\\n \\r \\t \\" \\\\, and \\NNNN or
    \\xNNNN: a code unit in hex, as Wine 8 writes every one outside ASCII)."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            unit = HEX_UNIT.match(text, i + 1)
            if unit:
                out.append(chr(int(unit.group(1), 16)))
                i = unit.end()
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(nxt, nxt))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


CONFIGURE_RETURN = re.compile(r":Ret  msi\.MsiConfigureProductExW\(\) retval=([0-9a-fA-F]+)")
CONFIGURE_TRACE = re.compile(
    r':trace:msi:MsiConfigureProductExW L"((?:[^"\\]|\\.)*)" (-?\d+) (-?\d+) '
    r'L"((?:[^"\\]|\\.)*)"(\.\.\.)?')


def installer_calls(trace_files):
    """(code, level, state, command line, cut) per MsiConfigureProductExW call
    (from the msi trace), the results the calls returned (from the relay
    trace), and whether there was any msi trace at all."""
    calls, results, traced = [], [], False
    for path in trace_files:
        with open(path, encoding="utf-8", errors="replace") as stream:
            for line in stream:
                if ":trace:msi:" in line:
                    traced = True
                found = CONFIGURE_TRACE.search(line)
                if found:
                    calls.append((decode_debugstr(found.group(1)), int(found.group(2)),
                                  int(found.group(3)), decode_debugstr(found.group(4)),
                                  found.group(5) is not None))
                returned = CONFIGURE_RETURN.search(line)
                if returned:
                    results.append(int(returned.group(1), 16))
    return calls, results, traced


# ---------------------------------------------------------------- cached packages

def export_table(package, table_name):
    out = subprocess.run(["msiinfo", "export", package, table_name], capture_output=True,
                         text=True, check=True).stdout.replace("\r", "")
    rows = [line.split("\t") for line in out.split("\n")[3:] if line]
    return rows


def edit_problems(package, label):
    problems = []
    sequence = {row[0]: row[1] for row in export_table(package, "InstallExecuteSequence")}
    for action, condition in EDITED_CONDITIONS.items():
        if sequence.get(action) != condition:
            problems.append(f"{label}: condition of {action} is {sequence.get(action)!r},"
                            f" expected {condition!r}")
    registry = {}
    for row in export_table(package, "Registry"):
        registry[row[0]] = row[-1]
    for key, component in EDITED_COMPONENTS.items():
        if registry.get(key) != component:
            problems.append(f"{label}: Registry row {key} belongs to {registry.get(key)!r},"
                            f" expected {component!r}")
    return problems


def md5(path):
    return hashlib.md5(read_bytes(path)).hexdigest()


# ---------------------------------------------------------------- check

ERROR_SHARING_VIOLATION = 32


def tamper_problems(facts_dir, number, patch):
    path = os.path.join(facts_dir, f"tamper-{number}.json")
    if not os.path.exists(path):
        return [f"box {number}: the swap attempts left no record"]
    with open(path, encoding="utf-8") as stream:
        result = json.load(stream)
    problems = []
    for attempt in ("overwrite", "rename", "delete"):
        if result.get(attempt) != ERROR_SHARING_VIOLATION:
            problems.append(f"box {number}: {attempt} of the temporary package gave"
                            f" {result.get(attempt)}, expected {ERROR_SHARING_VIOLATION}")
    copy = os.path.join(facts_dir, f"tamper-{number}.bin")
    if result.get("read") != 0 or not os.path.exists(copy) or read_bytes(copy) != patch:
        problems.append(f"box {number}: the temporary package could not be read as the embedded"
                        f" package (read {result.get('read')}, {result.get('bytesRead')} bytes)")
    return problems


def read_facts(facts_dir):
    with open(os.path.join(facts_dir, "context.json"), encoding="utf-8") as stream:
        context = json.load(stream)
    products = []
    path = os.path.join(facts_dir, "products.tsv")
    if os.path.exists(path):
        names = ["as", "code", "version_before", "version_after", "state_after", "package",
                 "md5_before", "patches"]
        with open(path, encoding="utf-8") as stream:
            for line in stream:
                if line.strip():
                    products.append(dict(zip(names, line.rstrip("\n").split("\t"))))
    return context, products


def check(table, case, facts_dir):
    strings = load_strings()
    context, products = read_facts(facts_dir)
    work, temp = context["work_dir"], context["temp_dir"]
    problems = []
    patch = read_bytes(patch_file())
    block = SEPARATOR + read_bytes(description_file()) + b"\r\n"

    # Exit code: 0 after every run.
    for index in list(range(1, len(case["runs"]) + 1)) + (["again"] if "again" in case else []):
        path = os.path.join(facts_dir, f"exit-code-{index}")
        code = open(path).read().strip() if os.path.exists(path) else ""
        if code != "0":
            problems.append(f"run {index}: exit code {code or 'missing'}, expected 0")

    # Boxes: caption, text, icon, buttons and order, of hotfix.exe only.
    expected = expected_boxes(table, case, strings)
    problems += compare_boxes(expected, os.path.join(facts_dir, "boxes.jsonl"))
    if "again" in case:
        again = compare_boxes(expected_boxes(table, case, strings, "again"),
                              os.path.join(facts_dir, "boxes-again.jsonl"))
        problems += [f"again: {problem}" for problem in again]

    # What existed while a held box was up.
    for number, wanted in enumerate(case.get("boxes", []), 1):
        if wanted.get("snapshot_has"):
            path = os.path.join(facts_dir, f"snapshot-{number}.txt")
            present = set(open(path).read().split("\n")) if os.path.exists(path) else set()
            for name in wanted["snapshot_has"]:
                if name not in present:
                    problems.append(f"{name} was not written yet when box {number} was shown")

    # What another process of the user could do to the temporary package
    # while a box was up: no swap, and the package whole to read.
    for number, wanted in enumerate(case.get("boxes", []), 1):
        if "tamper" in wanted.get("then", []):
            problems += tamper_problems(facts_dir, number, patch)

    # Files under C:\work.
    seeds = case.get("seed", {})
    for relative, want in case.get("files", {}).items():
        path = os.path.join(work, relative)
        if want == "absent":
            if os.path.exists(path):
                problems.append(f"{relative} exists, but must not")
            continue
        if not os.path.isfile(path):
            problems.append(f"{relative} was not written")
            continue
        got = read_bytes(path)
        if want == "patch":
            wanted = patch
        else:
            wanted = (seed_bytes(seeds[want["after"]]) if "after" in want else b"") + block * want["blocks"]
        if got != wanted:
            first = next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b),
                         min(len(got), len(wanted)))
            problems.append(f"{relative}: {len(got)} bytes, expected {len(wanted)};"
                            f" first difference at byte {first}: {got[first:first + 24]!r}"
                            f" instead of {wanted[first:first + 24]!r}")
    order = case.get("written_in_order", [])
    for before, after in zip(order, order[1:]):
        a, b = os.path.join(work, before), os.path.join(work, after)
        if os.path.exists(a) and os.path.exists(b) and \
                os.stat(a).st_mtime_ns > os.stat(b).st_mtime_ns:
            problems.append(f"{after} was written before {before}")

    # Temporary packages: exactly the MSP<n> files the case names.
    present = sorted(name for name in os.listdir(temp) if re.fullmatch(r"MSP[0-9]+", name))
    wanted_temp = case.get("temp", {})
    if present != sorted(wanted_temp):
        problems.append(f"temporary packages in {context['temp_dir_windows']}: {present},"
                        f" expected {sorted(wanted_temp)}")
    for name, kind in wanted_temp.items():
        path = os.path.join(temp, name)
        if not os.path.isfile(path):
            continue
        wanted = patch if kind == "patch" else seed_bytes(seeds["temp/" + name])
        if read_bytes(path) != wanted:
            problems.append(f"temporary file {name} does not hold the {kind} bytes")

    # The installer: which products, in which order, with which command line.
    traces = sorted(os.path.join(facts_dir, name) for name in os.listdir(facts_dir)
                    if name.startswith("trace-") and name != "trace-again.txt")
    calls, results, traced = installer_calls(traces)
    wanted_calls = []
    for key in installer_keys(case):
        variant = table["variants"][key]
        files_in_use = strings[messages_language(variant)][FILES_IN_USE]
        command_line = (f'PATCH="{context["temp_dir_windows"]}MSP2" PATCH_NO_UNINSTALL=0 '
                        f'REBOOTPROMPT=S FILESINUSETEXT="{files_in_use}"')
        wanted_calls.append((product_code(variant), 0, 5, command_line))
    # Flows that never load msi.dll leave no trace at all; where calls are
    # expected, an empty trace means the calls cannot be seen.
    if wanted_calls and not traced:
        problems.append("the msi trace of the run is empty: cannot see the installer calls")
    got_calls = [call[:4] for call in calls]
    for index, (want, got) in enumerate(zip(wanted_calls, calls), 1):
        same = got[:3] == want[:3] and (want[3].startswith(got[3]) if got[4] else got[3] == want[3])
        if not same:
            problems.append(f"installer call {index}: {got[:4]}, expected {want}")
    if len(got_calls) != len(wanted_calls):
        problems.append(f"{len(got_calls)} installer call(s) {[c[0] for c in got_calls]},"
                        f" expected {len(wanted_calls)} {[c[0] for c in wanted_calls]}")
    wanted_results = installer_results(case)
    if results != wanted_results:
        problems.append(f"the installer returned {results}, expected {wanted_results}")

    # Products: still installed; the cached package edited exactly for those
    # handed to the installer; patched, by the service and on disk, exactly
    # those for which it succeeded; all others unchanged, version and all.
    handed = set(installer_keys(case))
    succeeded = {key for key, result in zip(installer_keys(case), installer_results(case))
                 if result in SUCCESS_RESULTS}
    patch_code = sample_patch_code()
    for product in products:
        key = product["as"]
        label = f"product {key} {product['code']}"
        if product["state_after"] != "5":
            problems.append(f"{label}: state {product['state_after']} after the run, expected 5")
        if key in handed:
            problems += edit_problems(product["package"], label + " cached package")
        elif md5(product["package"]) != product["md5_before"]:
            problems.append(f"{label}: its cached package changed, but it was not to be patched")
        patches = json.loads(product.get("patches") or '{"patches": []}')["patches"]
        arx_after = read_bytes(os.path.join(facts_dir, f"arx-after-{key}"))
        if key in succeeded:
            if product["version_after"] != PATCHED_VERSION:
                problems.append(f"{label}: VersionString {product['version_after']} after the patch,"
                                f" expected {PATCHED_VERSION}")
            if arx_after != read_bytes(os.path.join(facts_dir, f"arx-new-{key}")):
                problems.append(f"{label}: quore.arx holds {arx_after!r}, not the patched version's bytes")
            if [(p["code"], p["state"]) for p in patches] != [(patch_code, "1")]:
                problems.append(f"{label}: registered patches {patches}, expected {patch_code} applied")
        else:
            if product["version_after"] != product["version_before"]:
                problems.append(f"{label}: version {product['version_before']} became"
                                f" {product['version_after']}")
            if arx_after != read_bytes(os.path.join(facts_dir, f"arx-before-{key}")):
                problems.append(f"{label}: quore.arx changed to {arx_after!r}, but it was not patched")
            if patches:
                problems.append(f"{label}: patches {patches} are registered, but it was not patched")
    return problems


# ---------------------------------------------------------------- validate

def validate(table, script_dir):
    problems = []
    strings = load_strings()
    names = [case["name"] for case in table["cases"]]
    if len(set(names)) != len(names):
        problems.append("case names repeat")
    for language in (1033, 1031, 1036):
        for sid in (300, 301, 306, 307, 308, 310, 311, 312, 313, 315, 316):
            if not strings.get(language, {}).get(sid):
                problems.append(f"no string {sid} in language {language}")
    codes = set(target_codes())
    sample_names = sample_product_names()
    for key, variant in table["variants"].items():
        listed = product_code(variant) in codes
        if listed == bool(variant.get("unlisted")):
            problems.append(f"variant {key}: listed by the patch is {listed}")
        if listed and messages_language(variant) not in strings:
            problems.append(f"variant {key}: the table carries no {messages_language(variant)};"
                            " 'messages' must say which language its users read")
        if is_sample_product(variant) and sample_names.get(variant["language"]) != variant["name"]:
            problems.append(f"variant {key}: named {variant['name']!r}, the sample product is"
                            f" {sample_names.get(variant['language'])!r}")
    for case in table["cases"]:
        label = f"case {case['name']}"
        if not case.get("why"):
            problems.append(f"{label}: no reason given")
        try:
            expected_boxes(table, case, strings)
            plan(table, case)
        except (KeyError, ValueError) as error:
            problems.append(f"{label}: {error!r}")
        variants = {p["as"] for p in case.get("products", [])}
        for key in installer_keys(case) + ([case["quor"]] if case.get("quor") else []):
            if key not in variants:
                problems.append(f"{label}: {key} is not among its products")
        for wanted in case.get("boxes", []):
            if wanted.get("prompt") and "answer" not in wanted:
                problems.append(f"{label}: a prompt without a planned answer")
        if any(result in SUCCESS_RESULTS for result in installer_results(case)) and "again" not in case:
            problems.append(f"{label}: it patches a product, so it must say what a second run shows (again)")
        try:
            expected_boxes(table, case, strings, "again")
        except (KeyError, ValueError) as error:
            problems.append(f"{label}: again: {error!r}")
        script = os.path.join(script_dir, f"e2e_{case['name']}_test.sh")
        if not os.path.exists(script):
            problems.append(f"{label}: no script {script}")
        elif f"e2e_run_case {case['name']}" not in open(script, encoding="utf-8").read():
            problems.append(f"{label}: {script} does not run it")
    for name in os.listdir(script_dir):
        found = re.fullmatch(r"e2e_(.+)_test\.sh", name)
        if found and found.group(1) not in names and found.group(1) != "table":
            problems.append(f"{name} runs no case of the table")
    return problems


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    table = load_table()
    command = argv[1]
    if command == "plan" and len(argv) == 3:
        print(plan(table, find_case(table, argv[2])))
        return 0
    if command == "seed" and len(argv) == 5:
        seed(find_case(table, argv[2]), argv[3], argv[4])
        return 0
    if command == "check" and len(argv) == 4:
        problems = check(table, find_case(table, argv[2]), argv[3])
    elif command == "validate" and len(argv) == 3:
        problems = validate(table, argv[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
