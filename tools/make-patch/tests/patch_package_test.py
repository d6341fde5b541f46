"""make-patch end to end on real packages built with wixl: the patch holds
what Windows Installer documents (patch_structure.py), its transforms carry
exactly the tables that differ, its cabinets exactly the changed and new
files, the same inputs give the same bytes, administrative images of the
packages give the same patch as the packages themselves, and bad input (a
pair that breaks Windows Installer's patching rules among it) gets a clear
message, exit code 1 and no patch.

    patch_package_test.py MAKE_PATCH PRODUCT_MAKER
"""
import os
import shutil
import subprocess
import sys
import tempfile

import olefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import patch_structure  # noqa: E402

MAKE_PATCH, PRODUCT_MAKER = sys.argv[1], sys.argv[2]
PRODUCTS = os.path.dirname(PRODUCT_MAKER)
PATCH_CODE = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"
GERMAN = "{7C4A19E2-6007-0407-9B3D-4E81A6F25C07}"
VELMORA = "{A1B2C3D4-0000-1111-2222-333344445555}"
VELMORA_UPGRADE = "{11111111-2222-3333-4444-555555555555}"
EPOCH = "1300000000"

problems = []
work = tempfile.mkdtemp(prefix="make-patch-test-")
quor = os.path.join(work, "quor.exe")
with open(quor, "wb") as stream:
    stream.write(b"MZ" + bytes(510))


def product(name, code, product_name, version, *options):
    path = os.path.join(work, name)
    subprocess.run([PRODUCT_MAKER, "--quor", quor, *options, code, product_name, "1031" if code == GERMAN else "1033",
                    version, path], check=True, capture_output=True)
    return path


def make_patch(output, *arguments, title=None):
    command = [MAKE_PATCH, "--patch-code", PATCH_CODE, "--output", output]
    if title:
        command += ["--title", title]
    return subprocess.run(command + list(arguments), capture_output=True, text=True,
                          env=dict(os.environ, SOURCE_DATE_EPOCH=EPOCH))


def export(package, table):
    out = subprocess.run(["msiinfo", "export", package, table], capture_output=True, check=True).stdout
    return sorted(out.split(b"\r\n")[3:])


def tables(package):
    return set(subprocess.run(["msiinfo", "tables", package], capture_output=True, text=True,
                              check=True).stdout.split()) - {"_SummaryInformation", "_ForceCodepage"}


def cabinet_files(package, stream_name):
    """{name: bytes} of a cabinet stream of a package."""
    folder = tempfile.mkdtemp(dir=work)
    cab = os.path.join(folder, "x.cab")
    with open(cab, "wb") as out:
        subprocess.run(["msiinfo", "extract", package, stream_name], stdout=out, check=True)
    subprocess.run(["gcab", "-x", "-C", folder, cab], check=True, capture_output=True)
    return {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder) if name != "x.cab"}


german_old = product("de-old.msi", GERMAN, "Quorvel Büro-Edition 2011", "5.2.0.0")
german_new = product("de-new.msi", GERMAN, "Quorvel Büro-Edition 2011", "5.2.1.0")
velmora = ["--upgrade-code", VELMORA_UPGRADE, "--folder", "Velmora"]
velmora_old = product("v-old.msi", VELMORA, "Velmora Studio", "3.4.0.0", *velmora)
velmora_new = product("v-new.msi", VELMORA, "Velmora Studio", "3.4.2.0", "--notes", *velmora)
pairs = [(german_old, german_new), (velmora_old, velmora_new)]

patch = os.path.join(work, "out", "patch.msp")
os.makedirs(os.path.dirname(patch))
result = make_patch(patch, german_old, german_new, velmora_old, velmora_new, title="Quorvel Büro QF0523118")
if result.returncode != 0:
    sys.exit(f"make-patch failed: {result.stderr}")
problems += [f"structure: {p}" for p in patch_structure.check_patch(patch)]
# As Windows Installer takes it: each old package patched equals its new one.
checker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "patch_checker",
                       "check_patch.py")
groups = [argument for old, new in pairs for argument in ("--product", old, "--expect", new)]
checked = subprocess.run(["/usr/bin/python3", checker, "--removable", *groups, patch], capture_output=True, text=True)
if checked.returncode != 0:
    problems.append(f"the checker of Windows Installer's rules: {checked.stdout}{checked.stderr}")

# Each transform carries exactly the tables whose rows differ (the new
# package's media excepted), and the patch carries exactly the changed files.
ole = olefile.OleFileIO(patch)
for number, (old, new) in enumerate(pairs, 1):
    differing = {t for t in tables(old) | tables(new)
                 if t != "Media" and (t not in tables(old) or t not in tables(new) or export(old, t) != export(new, t))}
    carried = {patch_structure.decode_name(e[1])[1:] for e in ole.listdir() if e[0] == f"T{number}"}
    carried -= {"_StringPool", "_StringData", "\x05SummaryInformation"[1:], "_Tables", "_Columns"}
    carried = {name for name in carried if not name.startswith("SummaryInformation")}
    if carried != differing:
        problems.append(f"T{number} carries {sorted(carried)}, the packages differ in {sorted(differing)}")

    strings, streams = patch_structure.read_strings(ole, f"#T{number}")
    cabinet = next((s[1:] for s in strings if s and s.startswith("#")), None)
    new_files = cabinet_files(new, "product.cab")
    old_files = cabinet_files(old, "product.cab")
    expected = {name: data for name, data in new_files.items() if old_files.get(name) != data}
    got = cabinet_files(patch, cabinet) if cabinet else {}
    if got != expected:
        problems.append(f"#T{number}: cabinet {cabinet} holds {sorted(got)}, the changed files are {sorted(expected)}")

# Administrative images, on either side or both: the same patch, byte for
# byte, as from the compressed packages.
def image(package, name="image"):
    folder = os.path.join(work, name + "-" + os.path.basename(package))
    subprocess.run([os.path.join(PRODUCTS, "make-admin-image.py"), package, folder], check=True)
    return os.path.join(folder, os.path.basename(package))


german_old_image, german_new_image = image(german_old), image(german_new)
reference = os.path.join(work, "reference.msp")
make_patch(reference, german_old, german_new)
for old, new in [(german_old_image, german_new_image), (german_old_image, german_new), (german_old, german_new_image)]:
    from_image = os.path.join(work, "from-image.msp")
    result = make_patch(from_image, old, new)
    if result.returncode != 0 or open(from_image, "rb").read() != open(reference, "rb").read():
        problems.append(f"{os.path.basename(os.path.dirname(old))}, {os.path.basename(os.path.dirname(new))}: "
                        f"exit code {result.returncode} {result.stderr.strip()!r}, not the patch of the packages")
broken_image = image(german_new, "broken")
missing = next(os.path.join(root, name) for root, _, names in os.walk(os.path.dirname(broken_image))
               for name in names if name == "quore.arx")
os.remove(missing)


def change(kind):
    """The old and new package of one kind of change-product.py."""
    paths = [os.path.join(work, f"{kind}-{side}.msi") for side in ("old", "new")]
    for side, path in zip(("old", "new"), paths):
        subprocess.run([os.path.join(PRODUCTS, "change-product.py"), kind, side, path], check=True)
    return paths


# The pairs of the rules make-patch enforces, and a warning that still
# builds the patch.
rule_cases = [
    ("file-removed-unmarked", 1, "File row notes.txt (notes.txt) is removed from component Data, which stays"),
    ("component-removed", 1, "component Data is removed from feature Quorvel, which stays"),
    ("component-code-changed", 1, "Component row Data: its ComponentId changed"),
    ("key-path-changed", 1, "its key path changed from File row quore.arx to File row notes.txt"),
    ("feature-moved", 1, "Feature row Extras: its parent changed from the top level to Quorvel"),
    ("top-level-feature-added", 0, "make-patch: warning: pair 1 (" + os.path.join(work, "top-level-feature-added-old.msi")
     + ", " + os.path.join(work, "top-level-feature-added-new.msi") + "): Feature row Tools is a new top-level feature"),
]
for kind, code, message in rule_cases:
    output = os.path.join(work, f"{kind}.msp")
    result = make_patch(output, *change(kind))
    if result.returncode != code or message not in result.stderr or os.path.exists(output) != (code == 0):
        problems.append(f"{kind}: exit code {result.returncode}, patch written: {os.path.exists(output)}, "
                        f"said {result.stderr.strip()!r}")

again = os.path.join(work, "again.msp")
make_patch(again, german_old, german_new, velmora_old, velmora_new, title="Quorvel Büro QF0523118")
if open(again, "rb").read() != open(patch, "rb").read():
    problems.append("the same inputs gave other bytes")

# --delta: never a larger patch than without it, decided for the patch as a
# whole (20 changed files of 300 bytes: each delta beats its file, but
# their Patch rows cost more), and one line per changed file saying why.
small = {}
for side, version, extra in (("old", "5.2.0.0", []), ("new", "5.2.1.0", ["--change", "20"])):
    small[side] = os.path.join(work, "small-" + side, "product.msi")
    os.makedirs(os.path.dirname(small[side]))
    subprocess.run([sys.executable, os.path.join(PRODUCTS, "big-product.py"), "--version", version, "--files", "20",
                    "--size", "300", *extra, small[side]], check=True, capture_output=True)
sizes = {}
for option in ([], ["--delta"]):
    output = os.path.join(work, "small-%d.msp" % len(option))
    result = make_patch(output, *option, small["old"], small["new"])
    sizes[bool(option)] = os.path.getsize(output) if result.returncode == 0 else None
lines = [line for line in result.stderr.splitlines() if line.startswith("make-patch: ")]  # not the sanitizers' report
if sizes[True] is None or sizes[True] > sizes[False] or len(lines) != 20 or \
        not all(" (300 bytes): whole, the patch with deltas would be " in line for line in lines):
    problems.append(f"--delta on 20 small files: {sizes[True]} bytes against {sizes[False]}, said {lines!r}")

# Bad input: a clear message, exit code 1, the old output untouched and no
# half-written file beside it.
not_msi = os.path.join(work, "readme.msi")
with open(not_msi, "w") as stream:
    stream.write("not a package\n")
other_upgrade = product("de-other-upgrade.msi", GERMAN, "Quorvel", "5.2.1.0", "--upgrade-code",
                        "{99999999-2222-3333-4444-555555555555}")
ghost = os.path.join(work, "de-ghost.msi")
shutil.copy(german_new, ghost)
subprocess.run(["msibuild", ghost, "-q", "INSERT INTO `File` (`File`, `Component_`, `FileName`, `FileSize`, "
                "`Attributes`, `Sequence`) VALUES ('ghost.txt', 'QUORE.exe', 'ghost.txt', 1, 512, 9)"], check=True)
# From other authoring tools: a neutral code page against 1252 where a
# text needs 1252, and a stream that belongs to no table row.
neutral = product("de-neutral.msi", GERMAN, "Quorvel", "5.2.0.0", "--codepage", "0")
loose = os.path.join(work, "de-loose.msi")
shutil.copy(german_new, loose)
subprocess.run(["msibuild", loose, "-a", "Korvanta.Extra", not_msi], check=True)
bad = [
    ([neutral, german_new], None, "the packages have different code pages (0 and 1252), and the text \"Quorvel Büro"),
    ([german_old, loose], None, "the stream Korvanta.Extra is new in the new package"),
    ([not_msi, german_new], None, "readme.msi: its compound file is damaged (the file is 14 bytes, shorter than a compound file's header of 512): the file is damaged, or not a Windows Installer package"),
    ([patch, german_new], None, "its storage is not an installer database"),
    ([german_old, velmora_new], None, "the product codes differ"),
    ([german_old, other_upgrade], None, "the upgrade codes differ"),
    ([german_old, german_old], None, "is version 5.2.0.0, the same as"),
    ([german_old, ghost], None, "ghost.txt of its File table is in none of its cabinets"),
    ([german_old, broken_image], None, "file quore.arx of its File table is uncompressed (Word Count 4), but it is "
                                       f"not at {missing}"),
    ([german_old, german_new], "Quorvel \u03a9", "does not fit code page 1252"),
]
output = os.path.join(work, "bad", "patch.msp")
os.makedirs(os.path.dirname(output))
for packages, title, message in bad:
    with open(output, "w") as stream:
        stream.write("previous patch")
    result = make_patch(output, *packages, title=title)
    if result.returncode != 1 or message not in result.stderr:
        problems.append(f"{message}: exit code {result.returncode}, said {result.stderr.strip()!r}")
    if open(output).read() != "previous patch" or os.listdir(os.path.dirname(output)) != ["patch.msp"]:
        problems.append(f"{message}: the output folder holds {os.listdir(os.path.dirname(output))}, changed")
odd = subprocess.run([MAKE_PATCH, "--patch-code", PATCH_CODE, "--output", output, german_old],
                     capture_output=True, text=True)
if odd.returncode != 2 or "pairs" not in odd.stderr:
    problems.append(f"an odd number of packages: exit code {odd.returncode}")

shutil.rmtree(work)
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
