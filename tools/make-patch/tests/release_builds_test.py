"""make-patch on two real release builds (tests/products/release-builds.sh):
the relinked a.dll is left out and named, the patch carries exactly b.dll,
whose code changed, and the patched product equals the new package to the
patch checker; --exact and a changed file without a version raise are
refused with both ways out; --component and --exclude-component carry one
part and name every change left out.

    release_builds_test.py MAKE_PATCH RELEASE_BUILDS CHECK_PATCH
"""
import os
import shutil
import subprocess
import sys
import tempfile

MAKE_PATCH, RELEASE_BUILDS, CHECK_PATCH = sys.argv[1:4]
work = tempfile.mkdtemp(prefix="release-builds-test-")
subprocess.run([RELEASE_BUILDS, work], check=True, capture_output=True)
old, new = os.path.join(work, "old", "product.msi"), os.path.join(work, "new", "product.msi")
problems = []
RELINKED = "make-patch: a.dll: only its build stamps differ (link time, checksum, debug signature, export time, " \
           "signature): not carried"


def make_patch(name, *options, pair=(old, new)):
    output = os.path.join(work, name)
    run = subprocess.run([MAKE_PATCH, "--patch-code", "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}", "--output", output,
                          *options, *pair], capture_output=True, text=True,
                         env=dict(os.environ, SOURCE_DATE_EPOCH="1300000000"))
    return output, run


def cabinet_files(package, stream_name):
    folder = tempfile.mkdtemp(dir=work)
    cab = os.path.join(folder, "x.cab")
    with open(cab, "wb") as out:
        subprocess.run(["msiinfo", "extract", package, stream_name], stdout=out, check=True)
    subprocess.run(["gcab", "-x", "-C", folder, cab], check=True, capture_output=True)
    return {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder) if name != "x.cab"}


def carried(patch):
    streams = subprocess.run(["msiinfo", "streams", patch], capture_output=True, text=True, check=True).stdout.split()
    cabinets = [s for s in streams if s.endswith(".cab")]
    return {name: data for cab in cabinets for name, data in cabinet_files(patch, cab).items()}


def said(run):
    """make-patch's own lines of standard error (a sanitizer build adds its report)."""
    return [line for line in run.stderr.splitlines() if line.startswith("make-patch: ")]


def expect(what, got, wanted):
    if got != wanted:
        problems.append(f"{what}: {got!r}, not {wanted!r}")


# (options, exit code, lines on stderr, files carried)
cases = [
    ((), 0, [RELINKED], {"b.dll"}),
    (("--component", "B"), 0, [RELINKED, "make-patch: left out: Registry CValue (changed, component C)"], {"b.dll"}),
    (("--exclude-component", "B"), 0,
     [RELINKED, "make-patch: left out: File b.dll (changed, component B)",
      "make-patch: left out: Registry BValue (changed, component B)",
      "make-patch: left out: the bytes of file b.dll (changed, component B)"], set()),
    (("--exact",), 1, ["make-patch: file a.dll differs between " + old + " and " + new + ", but its version is "
                       "2.3.0.7 in the new package and 2.3.0.7 in the old one: Windows Installer would keep the "
                       "installed copy; give the new file a higher version, or leave its component A out of the "
                       "patch (--exclude-component A)"], None),
]
for options, code, lines, files in cases:
    patch, run = make_patch("patch%s.msp" % "".join(options), *options)
    expect(f"{options}: exit code", run.returncode, code)
    expect(f"{options}: standard error", said(run), lines)
    if files is not None and run.returncode == 0:
        got = carried(patch)
        expect(f"{options}: files carried", set(got), files)
        if "b.dll" in got:
            expect(f"{options}: b.dll's bytes", got["b.dll"], open(os.path.join(work, "new", "b.dll"), "rb").read())

checker = subprocess.run(["/usr/bin/python3", CHECK_PATCH, "--product", old, "--expect", new,
                          os.path.join(work, "patch.msp")], capture_output=True, text=True)
expect("the patch checker on the patch of the release builds", checker.returncode, 0)
if checker.returncode:
    problems.append(checker.stdout + checker.stderr)

# Administrative images: their files are read from the folder tree (mapped,
# not in a cabinet), and give the same patch byte for byte.
images = []
for side, package in (("old", old), ("new", new)):
    folder = os.path.join(work, "image-" + side)
    subprocess.run([sys.executable, os.path.join(os.path.dirname(RELEASE_BUILDS), "make-admin-image.py"), package,
                    folder], check=True, capture_output=True)
    images.append(os.path.join(folder, "product.msi"))
image_patch, run = make_patch("image.msp", pair=tuple(images))
expect("administrative images: standard error", said(run), [RELINKED])
expect("administrative images: the same patch", open(image_patch, "rb").read() == open(os.path.join(work, "patch.msp"),
                                                                                       "rb").read(), True)

# b.dll changed but its version did not go up: refused, with both ways out;
# leaving its component out is one.
unraised = os.path.join(work, "new", "unraised.msi")
subprocess.run(["cp", new, unraised], check=True)
subprocess.run(["msibuild", unraised, "-q", "UPDATE File SET Version='2.3.0.7' WHERE File='b.dll'"], check=True)
_, run = make_patch("unraised.msp", pair=(old, unraised))
expect("a changed b.dll without a version raise", said(run)[-1:],
       ["make-patch: file b.dll differs between " + old + " and " + unraised + " beyond its build stamps, but its "
        "version is 2.3.0.7 in the new package and 2.3.0.7 in the old one: Windows Installer would keep the "
        "installed copy; give the new file a higher version, or leave its component B out of the patch "
        "(--exclude-component B)"])
_, run = make_patch("unraised-without-b.msp", "--exclude-component", "B", pair=(old, unraised))
expect("the same without component B: exit code", run.returncode, 0)

shutil.rmtree(work)
for problem in problems:
    print("problem:", problem)
sys.exit(1 if problems else 0)
