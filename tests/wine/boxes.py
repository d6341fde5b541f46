#!/usr/bin/env python3
"""Compares the message boxes that dialog_robot recorded with the expected ones.

    boxes.py RECORDED.jsonl EXPECTED_JSON

EXPECTED_JSON is a JSON array (the text itself, or @FILE): one object per
expected box, in order, naming only the fields it checks:
  caption, text, icon, process, answer, topmost  equal exactly
  text_contains                                  a substring of the text
  buttons                                        ids [4, 2], or objects
                                                 [{"id": 4, "text": "&Retry"}]
A robot error line, a missing box or an extra box fails. Exit 0 when all
match; otherwise the differences are printed, one line each.
"""
import json
import sys

EXACT_FIELDS = ("caption", "text", "icon", "process", "answer", "topmost")
KNOWN_FIELDS = set(EXACT_FIELDS) | {"text_contains", "buttons"}


def load_recorded(path):
    boxes, errors = [], []
    try:
        with open(path, encoding="utf-8") as stream:
            lines = [line for line in stream.read().splitlines() if line.strip()]
    except FileNotFoundError:
        lines = []
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
        except json.JSONDecodeError as error:
            errors.append(f"line {number} of {path} is not JSON ({error}): {line}")
            continue
        if "error" in record:
            errors.append(f"robot: box {record.get('box', '?')}: {record['error']}")
        else:
            boxes.append(record)
    return boxes, errors


def compare_box(index, expected, actual):
    problems = []
    label = f"box {index}"
    for field in expected:
        if field not in KNOWN_FIELDS:
            problems.append(f"{label}: unknown expected field {field!r}")
    for field in EXACT_FIELDS:
        if field in expected and actual.get(field) != expected[field]:
            problems.append(
                f"{label} {field}: expected {json.dumps(expected[field], ensure_ascii=False)},"
                f" got {json.dumps(actual.get(field), ensure_ascii=False)}")
    if "text_contains" in expected and expected["text_contains"] not in actual.get("text", ""):
        problems.append(f"{label} text: {json.dumps(actual.get('text'), ensure_ascii=False)}"
                        f" does not contain {json.dumps(expected['text_contains'], ensure_ascii=False)}")
    if "buttons" in expected:
        want = expected["buttons"]
        got = actual.get("buttons", [])
        if all(isinstance(button, int) for button in want):
            got = [button.get("id") for button in got]
        if got != want:
            problems.append(f"{label} buttons: expected {json.dumps(want, ensure_ascii=False)},"
                            f" got {json.dumps(got, ensure_ascii=False)}")
    return problems


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    wanted = argv[2]
    if wanted.startswith("@"):
        with open(wanted[1:], encoding="utf-8") as stream:
            wanted = stream.read()
    expected = json.loads(wanted)
    boxes, problems = load_recorded(argv[1])
    for index, (want, got) in enumerate(zip(expected, boxes), 1):
        problems += compare_box(index, want, got)
    if len(boxes) != len(expected):
        problems.append(f"expected {len(expected)} box(es), the robot recorded {len(boxes)}")
        for extra in boxes[len(expected):]:
            problems.append("  extra: " + json.dumps(
                {key: extra.get(key) for key in ("box", "process", "caption", "text")},
                ensure_ascii=False))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
