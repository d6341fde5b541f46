#!/usr/bin/python3
"""Evaluates the registry rules of a deploy.txt against a machine's registry,
as exported by `reg export` (one or more .reg files), the way a management
tool would: for each product, one line

    {PRODUCT-CODE} registry=detected|absent|<value> patch=detected|absent|<state>

"detected" when the rule holds; otherwise what the machine has instead.

    deploy_rules.py deploy.txt EXPORT.reg [EXPORT.reg ...]
"""
import re
import sys


def read_deploy(path):
    sections, current = {}, None
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            current = sections.setdefault(line[1:-1], {})
        elif current is not None:
            key, _, value = line.partition(" = ")
            current[key] = value
    return sections


def read_registry(paths):
    keys, current = {}, None
    for path in paths:
        raw = open(path, "rb").read()
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8")
        for line in text.splitlines():
            if line.startswith("[") and line.endswith("]"):
                current = keys.setdefault(line[1:-1].upper(), {})
            elif current is not None and (m := re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)):
                name, value = m.group(1).replace("\\\\", "\\"), m.group(2)
                if value.startswith('"'):
                    value = value[1:-1].replace("\\\\", "\\")
                elif value.startswith("dword:"):
                    value = str(int(value[6:], 16))
                current[name.upper()] = value
    return keys


def version(text):
    return tuple(int(part) for part in text.split("."))


def main():
    rules = read_deploy(sys.argv[1])
    registry = read_registry(sys.argv[2:])
    for code, rule in rules.items():
        values = registry.get(rule["registry.key"].upper())
        shown = values.get(rule["registry.value"].upper()) if values is not None else None
        if shown is None:
            found = "absent"
        elif re.fullmatch(r"\d+(\.\d+)*", shown) and version(shown) >= version(rule["registry.at_least"]):
            found = "detected"
        else:
            found = shown
        patch = registry.get(rule["patch.key"].upper())
        listed = registry.get(rule["patch.list_key"].upper(), {}).get(rule["patch.list_value"].upper())
        state = patch.get(rule["patch.value"].upper()) if patch is not None else None
        if state == rule["patch.equals"] and listed is not None:
            applied = "detected"
        else:
            applied = "absent" if state is None else state
        print(f"{code} registry={found} patch={applied}")


if __name__ == "__main__":
    main()
