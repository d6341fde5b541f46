"""inspect-patch end to end: the sample patch, a delta patch, a series'
cumulative patch and the WiX-made patch, each described with figures held
against what the tests know of them (the sample's product table, the
packages the tests build, the WiX patch's README), not against the tool's
own output; damaged inputs refused with one line; the HTML page opened in
headless Chromium; a hotfix.exe when the windows preset has built one.

    patch_report_test.py     (INSPECT_PATCH, MAKE_PATCH, SOURCE_DIR, OUT_DIR, HOTFIX_EXE in the environment)
"""
import glob
import json
import os
import random
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import olefile

INSPECT = os.environ["INSPECT_PATCH"]
MAKE_PATCH = os.environ["MAKE_PATCH"]
SOURCE = os.environ["SOURCE_DIR"]
OUT = os.environ.get("OUT_DIR", tempfile.gettempdir())
HOTFIX_EXE = os.environ.get("HOTFIX_EXE", "")
SAMPLE = os.path.join(SOURCE, "resources/sample/sample.msp")
WIX = os.path.join(SOURCE, "tests/patch_checker/testdata")
PRODUCTS = os.path.join(SOURCE, "tests/products")
SAMPLE_CODE = "{D3F58B26-A41C-4E97-B062-91C7E5A83F14}"
EPOCH = "1300000000"


def inspect(*arguments, check=True):
    run = subprocess.run([INSPECT, *arguments], capture_output=True, text=True, timeout=120)
    if check and run.returncode != 0:
        raise AssertionError("inspect-patch %s: exit %d: %s" % (" ".join(arguments), run.returncode, run.stderr))
    return run


def report(*arguments):
    return json.loads(inspect("--json", *arguments).stdout)


def sample_products():
    """(product code, language) of every variant, from the sample's product table."""
    rows = []
    with open(os.path.join(SOURCE, "resources/sample/products.tsv"), encoding="utf-8") as table:
        lines = table.readlines()
    for line in lines:
        if line.strip() and not line.startswith("#"):
            language = line.split("\t")[0]
            rows.append(("{7C4A19E2-6007-%s-9B3D-4E81A6F25C07}" % language, language))
    return rows


def cabinet_sizes(package):
    """{file key: size} of the cabinet beside or inside a package built by the tests."""
    folder = tempfile.mkdtemp(dir=WORK)
    cabinets = glob.glob(os.path.join(os.path.dirname(package), "*.cab"))
    for name in subprocess.run(["msiinfo", "streams", package], capture_output=True, text=True).stdout.split():
        if name.endswith(".cab"):
            path = os.path.join(folder, name)
            with open(path, "wb") as out:
                subprocess.run(["msiinfo", "extract", package, name], stdout=out, check=True)
            cabinets.append(path)
    for cab in cabinets:
        subprocess.run(["gcab", "-x", "-C", folder, cab], check=True, capture_output=True)
    return {name: os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder) if not name.endswith(".cab")}


def make_patch(output, *arguments):
    subprocess.run([MAKE_PATCH, "--output", output, *arguments], check=True, capture_output=True,
                   env=dict(os.environ, SOURCE_DATE_EPOCH=EPOCH))
    return output


WORK = tempfile.mkdtemp(prefix="inspect-patch-test-")
QUOR = os.path.join(WORK, "quor.exe")
with open(QUOR, "wb") as stream:
    stream.write(b"MZ" + bytes(510))


def sample_product(language, version):
    path = os.path.join(WORK, "sample-%s-%s" % (language, version), "product.msi")
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path))
        subprocess.run([os.path.join(PRODUCTS, "sample-product.sh"), "--quor", QUOR, language, version, path],
                       check=True, capture_output=True)
    return path


class SamplePatchTest(unittest.TestCase):
    """resources/sample/sample.msp: 21 variants of Quorvel from 5.2.0.0 to
    5.2.1.0 (scripts/make-sample-patch.sh), quore.arx the one file that differs."""

    def test_patch_and_targets(self):
        patch = report(SAMPLE)
        self.assertEqual(patch["patchCode"], SAMPLE_CODE)
        self.assertEqual(patch["title"], "Quorvel Professional Edition 2011 QF0523118")
        self.assertEqual((patch["classification"], patch["manufacturer"]), ("Hotfix", "Korvanta"))
        self.assertEqual(patch["created"], int(EPOCH))
        self.assertTrue(patch["removable"])
        self.assertEqual(patch["size"], os.path.getsize(SAMPLE))
        self.assertEqual([t["productCode"] for t in patch["targets"]], [code for code, _ in sample_products()])
        for target in patch["targets"]:
            pairs = [t for t in target["transforms"] if not t["patchTransform"]]
            self.assertEqual(len(pairs), 1, target["productCode"])
            self.assertEqual((pairs[0]["appliesTo"]["version"], pairs[0]["brings"]["version"]), ("5.2.0.0", "5.2.1.0"))
            self.assertIn("product code", pairs[0]["validation"])
            self.assertIn("upgrade code", pairs[0]["validation"])
        self.assertEqual(patch["media"]["sources"], ["_" + re.sub("[{}-]", "", SAMPLE_CODE)])
        new_sizes = cabinet_sizes(sample_product("0409", "5.2.1.0"))
        carried = {(f["key"], f["size"], f["delta"]) for c in patch["media"]["cabinets"] for f in c["files"]}
        self.assertEqual(carried, {("quore.arx", new_sizes["quore.arx"], False)})
        self.assertEqual(patch["problems"], [])

    def test_against_old_packages(self):
        old, current = sample_product("0409", "5.2.0.0"), sample_product("0409", "5.2.1.0")
        patch = report(SAMPLE, old, current)
        applies, refuses = patch["packages"]
        self.assertTrue(applies["applies"])
        self.assertEqual(applies["newVersion"], "5.2.1.0")
        kinds = {(c["kind"], c["text"].split(" (")[0]) for c in applies["changes"]}
        self.assertIn(("file replaced", "[ProgramFiles64Folder]Korvanta\\Quorvel 7C4A19E2-6007-0409-9B3D-4E81A6F25C07\\quore.arx"),
                      kinds)
        self.assertIn(("property changed", "ProductVersion: 5.2.0.0 -> 5.2.1.0"), kinds)
        self.assertEqual([k for k, _ in kinds if k.startswith("file")], ["file replaced"])
        self.assertEqual(applies["findings"], [])
        self.assertFalse(refuses["applies"])
        self.assertTrue(any("at 5.2.0.0" in f and "5.2.1.0" in f for f in refuses["failures"]), refuses["failures"])


class MadePatchesTest(unittest.TestCase):
    """Patches make-patch builds here: one with a delta, one cumulative."""

    def test_delta_patch(self):
        maker = os.path.join(PRODUCTS, "big-product.py")
        old, new = os.path.join(WORK, "big-old", "product.msi"), os.path.join(WORK, "big-new", "product.msi")
        for path, extra in ((old, []), (new, ["--change", "1"])):
            os.makedirs(os.path.dirname(path))
            subprocess.run(["/usr/bin/python3", maker, "--version", "5.2.0.0" if path == old else "5.2.1.0",
                            "--files", "2", "--size", "300000", *extra, path], check=True, capture_output=True)
        patch = make_patch(os.path.join(WORK, "delta.msp"), "--patch-code", "{5D8E2A90-3C41-4B7F-8E26-1F0A9B3C7D51}",
                           "--delta", old, new)
        described = report(patch, old)
        files = [f for c in described["media"]["cabinets"] for f in c["files"]]
        self.assertEqual([(f["key"], f["delta"]) for f in files], [("f00000.bin", True)])
        self.assertLess(files[0]["size"], cabinet_sizes(new)["f00000.bin"] // 10)
        changes = [c for c in described["packages"][0]["changes"] if c["kind"].startswith("file")]
        self.assertEqual(len(changes), 1)
        self.assertEqual(changes[0]["kind"], "file replaced")
        self.assertIn("f00000.bin", changes[0]["text"])
        self.assertIn("as a delta", changes[0]["text"])

    def test_cumulative_patch_of_a_series(self):
        code = "{7C4A19E2-6007-0407-9B3D-4E81A6F25C07}"
        packages = {}
        for version in ("5.2.0.0", "5.2.1.0", "5.2.2.0"):
            packages[version] = os.path.join(WORK, "series-" + version, "product.msi")
            os.makedirs(os.path.dirname(packages[version]))
            subprocess.run([os.path.join(PRODUCTS, "make-product.sh"), "--quor", QUOR, code, "Quorvel Büro-Edition 2011",
                            "1031", version, packages[version]], check=True, capture_output=True)
        patch = make_patch(os.path.join(WORK, "cumulative.msp"), "--patch-code", "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}",
                           "--family", "QuorvelFixes", "--supersede", "--no-removal", packages["5.2.0.0"], packages["5.2.2.0"],
                           packages["5.2.1.0"], packages["5.2.2.0"])
        described = report(patch, packages["5.2.1.0"], packages["5.2.2.0"])
        self.assertEqual([t["productCode"] for t in described["targets"]], [code])
        pairs = [t for t in described["targets"][0]["transforms"] if not t["patchTransform"]]
        self.assertEqual([(t["appliesTo"]["version"], t["brings"]["version"]) for t in pairs],
                         [("5.2.0.0", "5.2.2.0"), ("5.2.1.0", "5.2.2.0")])
        self.assertEqual(described["sequence"], [{"family": "QuorvelFixes", "productCode": code, "sequence": "5.2.2.0",
                                                  "supersedesEarlier": True}])
        self.assertTrue(described["minorUpdateTargetRTM"])
        self.assertEqual((described["removable"], described["removalBlockers"]), (False, []), "marked so by its maker")
        at_521, at_522 = described["packages"]
        self.assertTrue(at_521["applies"])
        self.assertEqual(at_521["transforms"], "T2, #T2")
        self.assertFalse(at_522["applies"])
        self.assertEqual(len(at_522["failures"]), 2, "each pair tells why it does not apply")


class WixPatchTest(unittest.TestCase):
    """PatchAv101.msp, made by WiX with Microsoft's patch APIs (testdata/README.md)."""

    def test_described_and_applied(self):
        patch = report(os.path.join(WIX, "PatchAv101.msp"), os.path.join(WIX, "prodAv100.msi"))
        self.assertEqual(patch["size"], 8192)
        self.assertEqual([t["productCode"] for t in patch["targets"]], ["{6EA3AE83-A14F-4B8B-8A86-BB977A9E7833}"])
        transforms = patch["targets"][0]["transforms"]
        self.assertEqual([t["name"] for t in transforms], ["rtmA.1", "#rtmA.1"])
        self.assertEqual((transforms[0]["appliesTo"]["version"], transforms[0]["brings"]["version"]), ("1.0.0.0", "1.0.1.0"))
        self.assertEqual([f for c in patch["media"]["cabinets"] for f in c["files"]], [], "no file carried")
        self.assertEqual(patch["problems"], [])
        package = patch["packages"][0]
        self.assertTrue(package["applies"])
        self.assertEqual(package["productName"], "Burn Test Package A")
        self.assertIn({"kind": "property changed", "text": "ProductVersion: 1.0.0.0 -> 1.0.1.0"}, package["changes"])


def table_stream_name(name, table=True):
    """The stored name of a stream: two characters to a unit, a table's behind 0x4840."""
    alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"
    units, i = [0x4840] if table else [], 0
    while i < len(name):
        if i + 1 < len(name):
            units.append(0x3800 + alphabet.index(name[i]) + (alphabet.index(name[i + 1]) << 6))
            i += 2
        else:
            units.append(0x4800 + alphabet.index(name[i]))
            i += 1
    return "".join(map(chr, units))


def damaged_copy(name, stream, change):
    path = os.path.join(WORK, name)
    shutil.copyfile(os.path.join(WIX, "PatchAv101.msp"), path)
    ole = olefile.OleFileIO(path, write_mode=True)
    try:
        data = bytearray(ole.openstream(stream).read())
        change(data)
        ole.write_stream(stream, bytes(data))
    finally:
        ole.close()
    return path


def write(name, data):
    path = os.path.join(WORK, name)
    with open(path, "wb") as out:
        out.write(data)
    return path


class BadInputTest(unittest.TestCase):
    def test_refused_with_one_line(self):
        with open(SAMPLE, "rb") as stream:
            sample = stream.read()
        not_a_hotfix = sorted(glob.glob("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/notepad.exe"))
        property_stream = "rtmA.1/" + table_stream_name("Property")
        cases = [
            ("random bytes", write("random.msp", random.Random(7).randbytes(4096)),
             "its compound file is damaged (it does not begin with a compound file's signature)"),
            ("an empty file", write("empty.msp", b""), "an empty file"),
            ("a truncated patch", write("truncated.msp", sample[:len(sample) // 3]), ""),
            ("a product package", os.path.join(WIX, "prodAv100.msi"), "a product package (.msi), not a patch"),
            ("a program that is not one", write("fake.exe", b"MZ" + bytes(62)), "not a program that can be read"),
            ("no such file", os.path.join(WORK, "missing.msp"), "cannot be read"),
            ("a damaged summary", damaged_copy("summary.msp", "\x05SummaryInformation", lambda d: d.__setitem__(0, 0)),
             "not a property set"),
        ]
        if not_a_hotfix:
            cases.append(("a program without a patch", not_a_hotfix[0], "carries no patch"))
        for why, path, phrase in cases:
            with self.subTest(why):
                page = os.path.join(WORK, "page.html")
                run = inspect("--html", page, path, check=False)
                self.assertEqual(run.returncode, 1, why)
                lines = run.stderr.splitlines()
                self.assertEqual(len(lines), 1, run.stderr)
                self.assertTrue(lines[0].startswith("inspect-patch: " + path), lines[0])
                self.assertIn(phrase, lines[0])
                self.assertFalse(os.path.exists(page), "no page from a failed run")
        # A table of a transform damaged: the rest is still told, and what was not read is said.
        damaged = damaged_copy("property.msp", property_stream, lambda d: d.__setitem__(slice(2, 4), b"\xff\x7f"))
        run = inspect(damaged)
        self.assertIn("Could not read: transform rtmA.1, table Property:", run.stdout)
        self.assertIn("at 1.0.0.0 -> 1.0.1.0", run.stdout)
        # So is a cabinet whose header claims more than the stream holds.
        cut = damaged_copy("cabinet.msp", table_stream_name("A.cab", table=False),
                           lambda d: d.__setitem__(slice(8, 12), struct.pack("<I", 1000)))
        self.assertIn("Could not read: cabinet A.cab: it claims 1,000 bytes, but holds 36", inspect(cut).stdout)
        # An old package that is not one names that package.
        run = inspect(SAMPLE, SAMPLE, check=False)
        self.assertEqual((run.returncode, run.stderr.count("\n")), (1, 1))
        self.assertIn(SAMPLE + " is not a Windows Installer package", run.stderr)


class HtmlPageTest(unittest.TestCase):
    def test_page_in_chromium(self):
        chromium = shutil.which("chromium")
        self.assertIsNotNone(chromium, "no chromium (scripts/install-deps.sh installs it)")
        old, current = sample_product("0409", "5.2.0.0"), sample_product("0409", "5.2.1.0")
        page = os.path.join(OUT, "inspect-patch-sample.html")
        inspect("--html", page, SAMPLE, old, current)
        with open(page, encoding="utf-8") as stream:
            html = stream.read()
        for outside in ("<script", "src=", "href=", "@import", "url("):
            self.assertNotIn(outside, html, "the page loads nothing from elsewhere")
        profile = tempfile.mkdtemp(dir=WORK)
        flags = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile]
        dom = subprocess.run(flags + ["--dump-dom", "file://" + page], capture_output=True, text=True, timeout=120).stdout
        text = re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", dom))
        self.assertEqual(text.count("Product {7C4A19E2-6007-"), 21, "a table per product")
        for seen in ("applies (T1, #T1), brings it to 5.2.1.0", "does not apply: transform T1: it applies to the product at 5.2.0.0",
                     "file replaced [ProgramFiles64Folder]Korvanta\\Quorvel 7C4A19E2-6007-0409-9B3D-4E81A6F25C07\\quore.arx"):
            self.assertTrue(seen in text, "the page does not show: " + seen)
        shot = os.path.join(OUT, "inspect-patch-sample.png")
        if os.path.exists(shot):
            os.remove(shot)
        subprocess.run(flags + ["--window-size=1100,900", "--screenshot=" + shot, "file://" + page],
                       capture_output=True, timeout=120)
        with open(shot, "rb") as png:
            data = png.read()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", data[16:24]), (1100, 900))
        print("screenshot: %s (%d bytes)" % (shot, len(data)))


@unittest.skipUnless(os.path.isfile(HOTFIX_EXE), "no hotfix.exe: build the windows preset first")
class HotfixTest(unittest.TestCase):
    """The windows preset's hotfix.exe: the sample patch, its description
    block and versions (the HOTFIX_* defaults), messages in the languages of
    resources/strings."""

    def test_resources(self):
        described = report(HOTFIX_EXE)
        self.assertEqual(described["patchCode"], SAMPLE_CODE)
        self.assertEqual(len(described["targets"]), 21)
        hotfix = described["hotfix"]
        self.assertEqual((hotfix["patchedVersion"], hotfix["applicableVersions"]), ("5.2.1.0", ["5.2.0.0"]))
        expected = sorted(int(os.path.basename(p).split("-")[0]) for p in glob.glob(os.path.join(SOURCE, "resources/strings/*.rc")))
        self.assertEqual([l["id"] for l in hotfix["languages"]], expected)
        with open(os.path.join(SOURCE, "resources/sample/description.txt"), newline="") as block:
            self.assertEqual(hotfix["descriptions"], [block.read()])


if __name__ == "__main__":
    try:
        unittest.main(verbosity=2)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
