#!/usr/bin/python3
"""Tests of check_patch.py: the patch made with Microsoft's interfaces passes,
patches that break one documented rule each fail with the message for it,
and patch series are sequenced as Windows Installer sequences them.

Environment: MAKE_PATCH (the make-patch to test; the tests that need it are
skipped without it), SOURCE_DIR (the repository, for the product scripts).
"""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

import olefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import check_patch  # noqa: E402
from msi_database import (Column, Database, StringPool, Table, TYPE_KEY, TYPE_STRING, TYPE_VALID,  # noqa: E402
                          encode_stream_name)
from msi_patch import FamilyRow, Patch  # noqa: E402
from msi_transform import Record, TransformSummary  # noqa: E402
from patch_sequence import sequence_patches  # noqa: E402

SOURCE_DIR = os.environ.get("SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
MAKE_PATCH = os.environ.get("MAKE_PATCH")
WIX_PRODUCT = os.path.join(HERE, "testdata", "prodAv100.msi")
WIX_PATCH = os.path.join(HERE, "testdata", "PatchAv101.msp")


def run_checker(*args):
    """(exit code, problem lines, everything printed)."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        code = check_patch.main(list(args))
    text = out.getvalue()
    return code, [line for line in text.splitlines() if line.startswith("problem: ")], text


def mutate(source, target, stream_path, old, new, offset=None):
    """Copies `source` to `target` and replaces `old` by `new` (same length) in
    one stream, in place: at `offset`, or where `old` first occurs."""
    assert len(old) == len(new), "an in-place change keeps the length"
    if source != target:
        shutil.copyfile(source, target)
    ole = olefile.OleFileIO(target, write_mode=True)
    try:
        data = ole.openstream(stream_path).read()
        at = data.find(old) if offset is None else offset
        assert at >= 0 and data[at:at + len(old)] == old, "%r is not in %s" % (old, stream_path)
        ole.write_stream(stream_path, data[:at] + new + data[at + len(old):])
    finally:
        ole.close()


def string_offset(path, storage, string):
    """The stream path of a storage's _StringData and where `string` lies in
    it, for an in-place change of that one string."""
    def stream(name):
        return list(storage) + [encode_stream_name(name, table=True)]
    ole = olefile.OleFileIO(path)
    try:
        pool = StringPool(ole.openstream(stream("_StringPool")).read(),
                          ole.openstream(stream("_StringData")).read())
    finally:
        ole.close()
    offset = 0
    for s in pool.strings[1:]:
        if s == string:
            return stream("_StringData"), offset
        offset += len(s.encode("cp1252"))
    raise AssertionError("%r is not a string of %s" % (string, "/".join(storage) or "the root"))


class ReaderTest(unittest.TestCase):
    """The database reader against msitools' own (libmsi), on a package and on
    a patch's database made by Microsoft's tools."""

    def test_tables_read_as_msitools_reads_them(self):
        from msi_database import Storage, open_compound_file, read_database
        for path in (WIX_PRODUCT, WIX_PATCH):
            ole = open_compound_file(path)
            database = read_database(Storage(ole))
            ole.close()
            listed = subprocess.run(["msiinfo", "tables", path], check=True, capture_output=True, text=True).stdout
            names = [n for n in listed.split() if not n.startswith("_")]
            self.assertEqual(sorted(names), sorted(n for n in database.tables if not n.startswith("_")))
            for name in names:
                with self.subTest(path=os.path.basename(path), table=name):
                    text = subprocess.run(["msiinfo", "export", path, name], check=True, capture_output=True,
                                          text=True, encoding="cp1252").stdout
                    theirs = sorted(line.split("\t") for line in text.replace("\r", "").splitlines()[3:])
                    ours = sorted(["" if v is None else str(v) for v in row]
                                  for row in database.tables[name].rows.values())
                    self.assertEqual(ours, theirs)


class WixPatchTest(unittest.TestCase):
    """The patch made on Windows with Microsoft's patch-creation interfaces."""

    def test_accepted_and_shows_what_it_changes(self):
        code, problems, text = run_checker("--verbose", "--removable", "--product", WIX_PRODUCT, WIX_PATCH)
        self.assertEqual((code, problems), (0, []))
        for line in ["rtmA.1: Revision Number {6EA3AE83-A14F-4B8B-8A86-BB977A9E7833}1.0.0.0;"
                     "{6EA3AE83-A14F-4B8B-8A86-BB977A9E7833}1.0.1.0;{77AE8779-8689-4DC9-BB1B-64B500078104}",
                     "#rtmA.1: Revision Number {6EA3AE83-A14F-4B8B-8A86-BB977A9E7833}1.0.1.0;"
                     "{6EA3AE83-A14F-4B8B-8A86-BB977A9E7833}1.0.1.0;{77AE8779-8689-4DC9-BB1B-64B500078104}",
                     "Character Count 0x0922001f: validation 0x0922 (product, update, installed=base, upgrade code), "
                     "suppressed 0x001f",
                     "update Property [ProductVersion]: Value '1.0.1.0'",
                     "insert Media [2]",
                     "media Source: _7A59E0BE51794D9CA7F0B9F0955315A0  cabinets: A.cab",
                     "result: version 1.0.1.0"]:
            self.assertIn(line, text)

    def test_broken_copies_fail_with_their_message(self):
        summary = "\x05SummaryInformation"
        cases = [
            # (why, storage/stream, old bytes, new bytes, extra product rows, expected message)
            ("a transform whose base version is not the product's",
             ["rtmA.1", summary], b"}1.0.0.0;", b"}1.0.9.0;", None,
             "no patch applies ({7A59E0BE-5179-4D9C-A7F0-B9F0955315A0} inapplicable after the patches before it: "
             "rtmA.1: installed version 1.0.0.0, base version 1.0.9.0: not installed = base in major.minor.update)"),
            ("the patch transform with the old version as its base, applied after its partner",
             ["#rtmA.1", summary], b"}1.0.1.0;", b"}1.0.0.0;", None,
             "patch transform #rtmA.1 does not validate after rtmA.1: installed version 1.0.1.0, base version "
             "1.0.0.0: not installed = base in major.minor.update"),
            ("the language flag in the high word of Character Count, on a product in another language",
             ["rtmA.1", summary], b"\x1f\x00\x22\x09", b"\x1f\x00\x23\x09", "UPDATE Property SET Value='1031' "
             "WHERE Property='ProductLanguage'", "language 1031, the transform's is 1033"),
            ("a row the patch transform adds exists already with other values",
             None, None, None, "INSERT INTO Media (DiskId, LastSequence) VALUES (2, 7)",
             "transform #rtmA.1 meets add existing row: Media [2] (with other values) [suppressed]"),
        ]
        with tempfile.TemporaryDirectory() as work:
            for why, stream, old, new, product_change, message in cases:
                with self.subTest(why):
                    patch, product = WIX_PATCH, WIX_PRODUCT
                    if stream:
                        patch = os.path.join(work, "mutated.msp")
                        mutate(WIX_PATCH, patch, stream, old, new)
                    if product_change:
                        product = os.path.join(work, "product.msi")
                        shutil.copyfile(WIX_PRODUCT, product)
                        subprocess.run(["msibuild", product, "-q", product_change], check=True)
                    code, problems, _ = run_checker("--product", product, patch)
                    self.assertEqual(code, 1)
                    self.assertTrue(any(message in p for p in problems), "\n".join(problems))


PRODUCT_CODE = "{7C4A19E2-6007-0409-9B3D-4E81A6F25C07}"
UPGRADE_CODE = "{5E0C3A71-2B9D-4F68-A1C4-93D7E2B60F15}"


def _summary(base, new):
    return TransformSummary({7: "x64;1033", 8: "x64;1033", 16: 0x0922001F,
                             9: "%s%s;%s%s;%s" % (PRODUCT_CODE, base, PRODUCT_CODE, new, UPGRADE_CODE)})


class _VersionTransform:
    """A transform that sets ProductVersion, validated as Windows' tools make
    them (product, major.minor.update equal to the base, upgrade code)."""

    def __init__(self, name, base, new):
        self.name = name
        self.summary = _summary(base, new)
        self.strings = StringPool(b"\xe4\x04\0\0", b"")
        self.table_names = ["Property"]
        self.new = new

    @property
    def is_patch_transform(self):
        return self.name.startswith("#")

    def records(self, table, columns):
        return [Record(Record.UPDATE, ["ProductVersion", self.new], [0, 1])]


def _patch(code, pairs, family="F", sequence=None, supersede=False, rtm=False):
    """A patch of transform pairs (base, new) for one product in family
    `family`; the # transform of each pair has the state after it as base."""
    patch = Patch.__new__(Patch)
    patch.code, patch.path, patch.targets, patch.obsoletes = code, code, [PRODUCT_CODE], []
    patch.transforms = []
    for n, (base, new) in enumerate(pairs, 1):
        patch.transforms += [_VersionTransform("T%d" % n, base, new), _VersionTransform("#T%d" % n, new, new)]
    patch.has_sequence_table = True
    patch.families = [FamilyRow(family, None, sequence or pairs[0][1], 1 if supersede else 0)]
    patch.metadata = {(None, "MinorUpdateTargetRTM"): "1"} if rtm else {}
    patch.media = []
    return patch


def _product(version):
    s = TYPE_VALID | TYPE_STRING
    table = Table("Property", [Column("Property", s | TYPE_KEY | 72), Column("Value", s)])
    for name, value in [("ProductCode", PRODUCT_CODE), ("ProductVersion", version), ("UpgradeCode", UPGRADE_CODE),
                        ("ProductLanguage", "1033")]:
        table.rows[(name,)] = [name, value]
    return Database(1252, {"Property": table}, {7: "x64;1033"})


class SequencingTest(unittest.TestCase):
    """A series as "Sequencing Patches" orders it: a first hotfix and a
    cumulative second one of the same family."""

    def test_series(self):
        first = _patch("P1", [("5.2.0.0", "5.2.1.0")])
        cumulative = _patch("P2", [("5.2.0.0", "5.2.2.0"), ("5.2.1.0", "5.2.2.0")], supersede=True, rtm=True)
        not_superseding = _patch("P2", [("5.2.0.0", "5.2.2.0"), ("5.2.1.0", "5.2.2.0")])
        superseding = _patch("P2", [("5.2.0.0", "5.2.2.0"), ("5.2.1.0", "5.2.2.0")], supersede=True)
        from_rtm_only = _patch("P2", [("5.2.0.0", "5.2.2.0")], supersede=True, rtm=True)
        from_rtm_only_plain = _patch("P2", [("5.2.0.0", "5.2.2.0")], supersede=True)
        small = _patch("S", [("5.2.1.0", "5.2.1.0")], family="Q")
        cases = [
            # (why, installed version, patches, applied in order, left out, resulting version)
            ("the cumulative patch supersedes the first and applies to the first version's state",
             "5.2.0.0", [first, cumulative], ["P2"], {"P1": "superseded by P2"}, "5.2.2.0"),
            ("the order given does not matter to patches with sequencing data",
             "5.2.0.0", [cumulative, first], ["P2"], {"P1": "superseded by P2"}, "5.2.2.0"),
            ("a product installed at 5.2.1.0 takes the cumulative patch's 5.2.1.0 pair",
             "5.2.1.0", [first, cumulative], ["P2"], {"P1": "inapplicable"}, "5.2.2.0"),
            ("the first hotfix does not apply to a product at 5.2.2.0",
             "5.2.2.0", [first], [], {"P1": "inapplicable"}, "5.2.2.0"),
            ("supersedence alone: the first is dropped, the second applies from the start",
             "5.2.0.0", [first, superseding], ["P2"], {"P1": "superseded by P2"}, "5.2.2.0"),
            ("MinorUpdateTargetRTM lets a patch with only the first version's pair apply over the first hotfix",
             "5.2.0.0", [first, from_rtm_only], ["P2"], {"P1": "superseded by P2"}, "5.2.2.0"),
            ("without MinorUpdateTargetRTM that patch is inapplicable after the first hotfix",
             "5.2.0.0", [first, from_rtm_only_plain], ["P1"], {"P2": "inapplicable"}, "5.2.1.0"),
            ("without supersedence both apply, lowest version first",
             "5.2.0.0", [not_superseding, first], ["P1", "P2"], {}, "5.2.2.0"),
            ("a small update for 5.2.1.0 goes after the minor upgrade to 5.2.1.0",
             "5.2.0.0", [small, first], ["P1", "S"], {}, "5.2.1.0"),
        ]
        for why, version, patches, applied, left_out, result in cases:
            with self.subTest(why):
                outcome = sequence_patches(_product(version), "x64", patches)
                self.assertEqual([i.code for i in outcome.applied], applied)
                fates = {i.code: i.fate for i in outcome.left_out}
                self.assertEqual(sorted(fates), sorted(left_out))
                for code, fate in left_out.items():
                    self.assertTrue(fates[code].startswith(fate), fates[code])
                self.assertEqual(outcome.result.property("ProductVersion"), result)
                self.assertEqual(outcome.problems, [])


@unittest.skipUnless(MAKE_PATCH, "MAKE_PATCH names no make-patch")
class MadePatchTest(unittest.TestCase):
    """Patches of make-patch on products of tests/products, each made to break
    one rule."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        quor = os.path.join(cls.work, "quor.exe")
        with open(quor, "wb") as f:
            f.write(b"MZ quor.exe stand-in")
        cls.quor = quor
        cls.old = cls.product(quor, "5.2.0.0")
        cls.new = cls.product(quor, "5.2.1.0")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    @classmethod
    def product(cls, quor, version, *options):
        path = os.path.join(cls.work, "en-%s%s.msi" % (version, "".join(options).replace("-", "")))
        subprocess.run([os.path.join(SOURCE_DIR, "tests", "products", "sample-product.sh"), "--quor", quor,
                        "0409", version, path, *options], check=True)
        return path

    def make_patch(self, code, old, new):
        path = os.path.join(self.work, "%s.msp" % code.strip("{}"))
        subprocess.run([MAKE_PATCH, "--patch-code", code, "--output", path, old, new], check=True,
                       env=dict(os.environ, SOURCE_DATE_EPOCH="1300000000"), stderr=subprocess.DEVNULL)
        return path

    def test_two_patches_with_one_media_source(self):
        first = self.make_patch("{0A000000-0000-4000-8000-000000000001}", self.old, self.new)
        second = self.make_patch("{0A000000-0000-4000-8000-000000000002}", self.old, self.new)
        shared = Patch(first).media_sources()[0]
        own = Patch(second).media_sources()[0]
        if own != shared:
            # A patch builder that names the media after the patch code: give
            # the second one the first one's name.
            stream, offset = string_offset(second, ["#T1"], own)
            mutate(second, second, stream, own.encode(), shared.encode(), offset)
        code, problems, _ = run_checker("--product", self.old, first, second)
        self.assertEqual(code, 1)
        self.assertIn("problem: patches {0A000000-0000-4000-8000-000000000001} and "
                      "{0A000000-0000-4000-8000-000000000002} share the media Source property %s (no two patches "
                      "may have the same source property)" % shared, problems)

    def test_wrong_expectations_are_told(self):
        patch = self.make_patch("{0A000000-0000-4000-8000-000000000004}", self.old, self.new)
        notes = self.product(self.quor, "5.2.1.0", "--notes")
        cases = [
            ("a new package with a file the patch does not bring", ["--expect", notes],
             "File [notes.txt]: only in the new package"),
            ("a product the patch must leave alone", ["--expect-unchanged"],
             "{0A000000-0000-4000-8000-000000000004} applies, it should not change this product"),
        ]
        for why, expectation, message in cases:
            with self.subTest(why):
                code, problems, _ = run_checker("--product", self.old, *expectation, patch)
                self.assertEqual(code, 1)
                self.assertTrue(any(p.endswith(message) for p in problems), "\n".join(problems))

    def test_removable_patch_that_adds_a_create_folder_row(self):
        new = os.path.join(self.work, "en-5.2.1.0-createfolder.msi")
        shutil.copyfile(self.new, new)
        subprocess.run(["msibuild", new, "-q", "INSERT INTO CreateFolder (Directory_, Component_) "
                        "VALUES ('INSTALLDIR', 'QUORE.exe')"], check=True)
        patch = self.make_patch("{0A000000-0000-4000-8000-000000000003}", self.old, new)
        written = Patch(patch).allow_removal
        if written != "1":
            stream, offset = string_offset(patch, [], written)
            mutate(patch, patch, stream, written.encode(), b"1", offset)
        self.assertEqual(Patch(patch).allow_removal, "1")
        code, problems, _ = run_checker("--product", self.old, patch)
        self.assertEqual(code, 1)
        self.assertTrue(any("{0A000000-0000-4000-8000-000000000003} says AllowRemoval 1 but Windows marks it not "
                            "uninstallable: transform T1 adds row ['INSTALLDIR', 'QUORE.exe'] to CreateFolder" in p
                            for p in problems), "\n".join(problems))


@unittest.skipUnless(os.environ.get("SAMPLE_PATCH"), "SAMPLE_PATCH names no patch")
class SamplePatchTest(unittest.TestCase):
    """The sample patch on every sample product: each variant at 5.2.0.0 ends
    equal to its 5.2.1.0 package, each at 5.2.1.0 is left alone, and the patch
    can be uninstalled. (The patch does not depend on quor.exe, the same in
    both versions: a stand-in does.)"""

    maxDiff = None

    def test_on_every_variant(self):
        with tempfile.TemporaryDirectory() as work:
            quor = os.path.join(work, "quor.exe")
            with open(quor, "wb") as f:
                f.write(b"MZ quor.exe stand-in")
            with open(os.path.join(SOURCE_DIR, "resources", "sample", "products.tsv"), encoding="utf-8") as f:
                languages = [line.split("\t")[0] for line in f if line.strip() and not line.startswith("#")]
            jobs = [(language, version, os.path.join(work, "%s-%s.msi" % (language, version)))
                    for language in languages for version in ("5.2.0.0", "5.2.1.0")]
            script = os.path.join(SOURCE_DIR, "tests", "products", "sample-product.sh")
            with ThreadPoolExecutor(2) as pool:
                list(pool.map(lambda job: subprocess.run([script, "--quor", quor, *job], check=True), jobs))
            groups = []
            for language in languages:
                groups += ["--product", os.path.join(work, "%s-5.2.0.0.msi" % language),
                           "--expect", os.path.join(work, "%s-5.2.1.0.msi" % language),
                           "--product", os.path.join(work, "%s-5.2.1.0.msi" % language), "--expect-unchanged"]
            code, problems, _ = run_checker("--removable", *groups, os.environ["SAMPLE_PATCH"])
            self.assertEqual(problems, [])
            self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main()
