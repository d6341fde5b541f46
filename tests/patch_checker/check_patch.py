#!/usr/bin/python3
"""Checks patches against the rules Windows Installer applies to them, without
Windows and without Wine.

    check_patch.py [--verbose] [--removable]
                   --product OLD.msi [--expect NEW.msi | --expect-unchanged]
                   [--product OLD2.msi ...] PATCH.msp [PATCH.msp ...]

Each --product is a product as installed from OLD.msi; it gets all the
patches, sequenced as Windows Installer sequences them (the patches without
sequencing data in the order given). Every transform is validated, in the
patch's Last Saved By order, against the state the transforms and patches
before it leave, and applied with every error condition reported. Then:
- with --expect NEW.msi the patched product must equal NEW.msi table by table
  (less what patching adds by design: see package_compare.py), and every file
  the patches change must travel in a patch's media and cabinet;
- with --expect-unchanged no patch may apply to the product (a patch for
  another version);
- with neither, at least one patch must apply.
Across all patches: no two patches share a media Source property or a
cabinet name ("ImageFamilies Table (Patchwiz.dll)": "No two patches may have
the same source property"), a patch whose MsiPatchMetadata says AllowRemoval 1
must be uninstallable ("Uninstallable Patches") on each product, and with
--removable every patch must say AllowRemoval 1 as well.

Problems are printed one per line, each beginning "problem: "; the exit code
is 1 when there is any, 2 for a usage error or a file that cannot be read,
0 otherwise. --verbose first prints what was read: per patch its code,
targets, AllowRemoval, MinorUpdateTargetRTM, media Source properties and
cabinets, MsiPatchSequence rows; per product and transform its Revision
Number, its Character Count split into validation flags and suppressed error
conditions, whether it validated (and why not), the error conditions it met
and what it changed; the sequence: patches applied in order, and each patch
left out with the reason.

The rules come from Microsoft's documentation; the module docstrings of
msi_database.py, msi_transform.py, msi_patch.py, patch_sequence.py and
package_compare.py name the pages.
"""

import argparse
import struct
import sys

from msi_database import FormatError, read_package
from msi_patch import Patch
from msi_transform import describe_errors, describe_validation
from package_compare import PatchMedia, check_carried_files, compare_databases
from patch_sequence import sequence_patches


class Group:
    def __init__(self, product):
        self.product = product
        self.expect = None
        self.unchanged = False


class _ProductAction(argparse.Action):
    def __call__(self, parser, namespace, value, option=None):
        namespace.groups.append(Group(value))


class _ExpectAction(argparse.Action):
    def __call__(self, parser, namespace, value, option=None):
        if not namespace.groups:
            parser.error("%s comes after the --product it belongs to" % option)
        group = namespace.groups[-1]
        if group.expect is not None or group.unchanged:
            parser.error("--product %s has two expectations" % group.product)
        if option == "--expect-unchanged":
            group.unchanged = True
        else:
            group.expect = value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="check_patch.py", description=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(groups=[])
    parser.add_argument("--verbose", action="store_true", help="also print what was read and done")
    parser.add_argument("--removable", action="store_true", help="every patch must be uninstallable")
    parser.add_argument("--product", action=_ProductAction, metavar="OLD.msi", help="a product to patch")
    parser.add_argument("--expect", action=_ExpectAction, metavar="NEW.msi",
                        help="the package the patched product must equal")
    parser.add_argument("--expect-unchanged", action=_ExpectAction, nargs=0,
                        help="no patch may apply to the product")
    parser.add_argument("patches", nargs="+", metavar="PATCH.msp")
    args = parser.parse_args(argv)
    if not args.groups:
        parser.error("no --product given")
    return args


class Report:
    def __init__(self, verbose):
        self.verbose = verbose
        self.problems = []

    def say(self, text=""):
        if self.verbose:
            print(text)

    def problem(self, text):
        if text not in self.problems:
            self.problems.append(text)


def describe_patch(report, patch):
    report.say("patch %s (%s)" % (patch.code, patch.path))
    report.say("  title: %s" % patch.title)
    report.say("  targets: %s" % "; ".join(patch.targets))
    report.say("  transforms: %s" % " ".join(t.name for t in patch.transforms))
    report.say("  AllowRemoval: %s  MinorUpdateTargetRTM: %s" %
               (patch.allow_removal or "(none)", "1" if patch.minor_update_target_rtm else "(none)"))
    report.say("  media Source: %s  cabinets: %s" %
               (", ".join(patch.media_sources()) or "(none)", ", ".join(patch.cabinets()) or "(none)"))
    if patch.has_sequence_table:
        for row in sorted(patch.families, key=lambda r: (r.family, r.product_code or "")):
            report.say("  MsiPatchSequence: %s" % row)
    else:
        report.say("  MsiPatchSequence: (no table)")
    if patch.obsoletes:
        report.say("  obsoletes: %s" % " ".join(patch.obsoletes))


def describe_steps(report, application, product_code):
    others = []
    for step in application.steps:
        summary = step.transform.summary
        partner = step.transform.name.lstrip("#")
        if not step.applied and _base_code(application.patch, partner) not in (product_code, None):
            others.append(step.transform.name)
            continue
        report.say("    %s: Revision Number %s" % (step.transform.name, summary.revision))
        report.say("      Character Count 0x%08x: validation 0x%04x (%s), suppressed 0x%04x (%s)" %
                   (summary.character_count, summary.validation, describe_validation(summary.validation),
                    summary.suppressed, describe_errors(summary.suppressed)))
        if step.applied:
            report.say("      validated and applied; error conditions: %s" %
                       ("; ".join(str(c) for c in step.conditions) or "none"))
            for change in step.changes:
                report.say("        %s" % change)
        else:
            report.say("      not applied: %s" % "; ".join(step.reasons))
    if others:
        report.say("    for other products, not applied: %s" % " ".join(others))


def _base_code(patch, name):
    for transform in patch.transforms:
        if transform.name == name:
            return transform.summary.base_code
    return None


def check_media_identity(report, patches):
    owners = {}
    why = {"media Source property": "no two patches may have the same source property",
           "cabinet": "the installer cannot tell their cabinets apart"}
    for patch in patches:
        for kind, names in (("media Source property", patch.media_sources()), ("cabinet", patch.cabinets())):
            for name in names:
                owners.setdefault((kind, name), []).append(patch.code)
    for (kind, name), codes in sorted(owners.items()):
        codes = sorted(set(codes))
        if len(codes) > 1:
            report.problem("patches %s share the %s %s (%s)" % (" and ".join(codes), kind, name, why[kind]))


def check_product(report, group, patches, removable):
    base = read_package(group.product)
    platform = (base.summary.get(7) or "").partition(";")[0].strip()
    label = "%s %s" % (base.property("ProductCode"), base.property("ProductVersion"))
    report.say("product %s (%s)" % (label, group.product))
    outcome = sequence_patches(base, platform, patches)
    for item in outcome.applied:
        report.say("  applies %s (%s to %s)" % (item.code, item.kind, item.target_version[1]))
        describe_steps(report, item.application, base.property("ProductCode"))
    for item in outcome.left_out:
        report.say("  leaves out %s: %s" % (item.code, item.fate))
    report.say("  sequence: %s" % (" -> ".join(["OLD"] + [i.code for i in outcome.applied])))
    report.say("  result: version %s" % outcome.result.property("ProductVersion"))
    for text in outcome.problems:
        report.problem("%s: %s" % (label, text))
    for item in outcome.applied:
        blockers = item.patch.removal_blockers(item.application.changes())
        if item.patch.allow_removal == "1" or removable:
            for reason in blockers:
                report.problem("%s: %s says AllowRemoval %s but Windows marks it not uninstallable: %s" %
                               (label, item.code, item.patch.allow_removal, reason))
    if group.unchanged:
        for item in outcome.applied:
            report.problem("%s: %s applies, it should not change this product" % (label, item.code))
        return
    if not outcome.applied:
        report.problem("%s: no patch applies (%s)" %
                       (label, "; ".join("%s %s" % (i.code, i.fate) for i in outcome.left_out)))
        return
    if group.expect is None:
        return
    media = PatchMedia(outcome)
    problems, notes = compare_databases(outcome.result, read_package(group.expect), media)
    for text in notes:
        report.say("  note: %s" % text)
    for text in problems + check_carried_files(base, outcome.result, media):
        report.problem("%s: %s" % (label, text))


def main(argv):
    args = parse_arguments(argv)
    report = Report(args.verbose)
    try:
        patches = [Patch(path) for path in args.patches]
        for patch in patches:
            describe_patch(report, patch)
            for text in patch.problems:
                report.problem(text)
            if args.removable and patch.allow_removal != "1":
                report.problem("%s: AllowRemoval is %s, not 1: the patch cannot be uninstalled" %
                               (patch.code, patch.allow_removal or "missing"))
        check_media_identity(report, patches)
        for group in args.groups:
            check_product(report, group, patches, args.removable)
    except FormatError as error:
        print("check_patch.py: %s" % error, file=sys.stderr)
        return 2
    except (struct.error, IndexError) as error:
        # A stream shorter than its own header or offsets say.
        print("check_patch.py: a stream is cut short or inconsistent (%s)" % error, file=sys.stderr)
        return 2
    for text in report.problems:
        print("problem: %s" % text)
    return 1 if report.problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
