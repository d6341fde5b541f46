"""What an installed product leaves on a Wine machine, as sorted lines that
two machines can be compared by (the patched one and a fresh install):

    product_state.py [--leftovers CACHE PATCH_CODE] REG_EXPORT FOLDER PRODUCT_CODE REGISTRY_KEY

REG_EXPORT is `reg export HKLM\\Software` of the machine, FOLDER the Linux
path of the product's install folder, REGISTRY_KEY the key under
HKLM\\Software that the product writes its values to. Lines:

    file PATH SHA256 / folder PATH      everything under FOLDER
    value KEY\\NAME=DATA                 the values under REGISTRY_KEY
    component SQUISHED=KEY PATH          components registered to the product
    feature KEY\\NAME=DATA               the product's features as registered

With --leftovers also every key that names the product or the patch (its
code or the installer's squished form of it), every value that mentions
them, and the kinds of file in CACHE (the installer's cache,
C:\windows\Installer, whose names are random): after an uninstallation,
what is still there.
"""
import hashlib
import os
import re
import sys

SOFTWARE = "HKEY_LOCAL_MACHINE\\Software\\"
COMPONENTS = SOFTWARE + "Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\"


def squished(code):
    """The installer's registry form of a GUID: the first three groups
    reversed, the rest byte by byte with the two digits swapped."""
    digits = code.strip("{}").replace("-", "")
    swapped = "".join(digits[i + 1] + digits[i] for i in range(16, 32, 2))
    return (digits[7::-1] + digits[11:7:-1] + digits[15:11:-1] + swapped).upper()


def read_export(path):
    """{key: {value name: data text}} of a .reg file (UTF-16 or UTF-8)."""
    raw = open(path, "rb").read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8")
    keys, key, pending = {}, None, ""
    for line in text.splitlines():
        line = pending + line.lstrip() if pending else line
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        pending = ""
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
            keys.setdefault(key, {})
        elif key is not None and "=" in line:
            match = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
            if match:
                keys[key][match.group(1)] = match.group(2)
    return keys


def state(export, folder, code, registry_key, leftovers=None):
    lines = []
    for root, folders, files in os.walk(folder):
        for name in folders:
            lines.append("folder " + os.path.relpath(os.path.join(root, name), folder))
        for name in files:
            path = os.path.join(root, name)
            lines.append(f"file {os.path.relpath(path, folder)} {hashlib.sha256(open(path, 'rb').read()).hexdigest()}")
    product = squished(code)
    own = (SOFTWARE + registry_key).lower()
    for key, values in export.items():
        lower = key.lower()
        if lower == own or lower.startswith(own + "\\"):
            lines += [f"value {key}\\{name}={data}" for name, data in values.items()]
        if lower.startswith(COMPONENTS.lower()):
            lines += [f"component {key[len(COMPONENTS):]}={data}" for name, data in values.items()
                      if name.strip('"').upper() == product]
        if product.lower() in lower and lower.endswith("\\features"):
            lines += [f"feature {key}\\{name}={data}" for name, data in values.items()]
        if leftovers:
            names = [c.lower() for c in (product, code, squished(leftovers[1]), leftovers[1])]
            if any(n in lower for n in names):
                lines.append(f"key {key}")
            lines += [f"mention {key}\\{name}" for name, data in values.items()
                      if any(n in (name + data).lower() for n in names)]
    if leftovers and os.path.isdir(leftovers[0]):
        lines += [f"cached {os.path.splitext(name)[1].lower()}" for name in os.listdir(leftovers[0])]
    return sorted(lines)


def main():
    args = sys.argv[1:]
    leftovers = None
    if args and args[0] == "--leftovers":
        leftovers, args = args[1:3], args[3:]
    if len(args) != 4:
        sys.exit(__doc__)
    export, folder, code, registry_key = args
    print("\n".join(state(read_export(export), folder, code, registry_key, leftovers)))


if __name__ == "__main__":
    main()
