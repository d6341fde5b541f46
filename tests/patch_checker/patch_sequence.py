"""Applies a set of patches to one product as Windows Installer 3.x orders
them: which patches apply, in which order, which are superseded, and the
database they leave.

What Microsoft documents, by page title:
- "Sequencing Patches": patches without an MsiPatchSequence table come first,
  in the order given, less those another such patch lists as obsolete, less
  those inapplicable in that order. Then minor upgrade patches with sequencing
  data "in the order of their lowest to highest product versions after being
  upgraded", less those inapplicable in that sequence ("A patch is applicable
  in a particular sequence only if its database transform is capable of
  taking the product code, version, language, and upgradecode that result
  from applying the transforms of all preceding patch packages"). Small update
  patches go after the highest minor upgrade they target, the others before
  the first minor upgrade, ordered within a product version by their
  sequence. Superseded patches are dropped last: a patch is superseded when,
  in every family it belongs to, a later patch of that family with a higher
  Sequence has msidbPatchSequenceSupersedeEarlier; "Small update patches can
  only supersede small updates."
- "MsiPatchMetadata Table", MinorUpdateTargetRTM: a minor upgrade patch with
  sequencing data that "targets the RTM version of the product" and "removes
  all patches up to the RTM version"; here it is validated against the product
  before any minor upgrade patch, and the minor upgrade patches sequenced
  before it are left out.
- "Patch Packages": two transforms for each target, the changes of its
  database and the patch transform that adds the patch's own rows. Microsoft's
  tools name the patch transform "#" and its partner's name and give it the
  state after its partner as base (the WiX test patch: rtmA.1 takes 1.0.0.0
  to 1.0.1.0, #rtmA.1 has base 1.0.1.0). This checker therefore considers a
  "#" transform only right after its partner applied, and reports one that
  does not validate there: its patch media and file entries would be missing.
- "Small Updates", "Minor Upgrades": a minor upgrade changes ProductVersion, a
  small update does not; the kind is read from the Revision Number of the
  patch's transforms for the product.
"""

from msi_database import FormatError
from msi_transform import ProductState, apply_transform, parse_version, validate

MINOR_UPGRADE, SMALL_UPDATE = "minor upgrade", "small update"


class TransformStep:
    """What became of one transform of a patch on one product."""

    def __init__(self, transform, reasons, applied, conditions=(), changes=()):
        self.transform = transform
        self.reasons = reasons        # why it does not validate (empty when it does)
        self.applied = applied
        self.conditions = list(conditions)
        self.changes = list(changes)


class PatchApplication:
    """One patch applied (or not) to one state of a product."""

    def __init__(self, patch, before):
        self.patch = patch
        self.before = before
        self.after = before
        self.steps = []
        self.problems = []

    @property
    def applied(self):
        return any(s.applied for s in self.steps)

    def changes(self):
        return [(s.transform.name, c) for s in self.steps if s.applied for c in s.changes]


def apply_patch(patch, database, platform):
    """Validates and applies `patch`'s transforms in order to `database`."""
    result = PatchApplication(patch, database)
    state = database
    applied_names = set()
    main_transforms = []
    for transform in patch.transforms:
        if transform.is_patch_transform and transform.name[1:] not in applied_names:
            result.steps.append(TransformStep(transform, ["its partner %s was not applied" % transform.name[1:]],
                                              False))
            continue
        reasons = validate(transform.summary, ProductState(state, platform))
        if reasons:
            result.steps.append(TransformStep(transform, reasons, False))
            if transform.is_patch_transform:
                result.problems.append("%s: patch transform %s does not validate after %s: %s" %
                                       (patch.code, transform.name, transform.name[1:], "; ".join(reasons)))
            continue
        try:
            state, conditions, changes = apply_transform(state, transform)
        except FormatError as error:
            result.steps.append(TransformStep(transform, ["it cannot be applied: %s" % error], False))
            result.problems.append("%s: transform %s validates but cannot be applied: %s" %
                                   (patch.code, transform.name, error))
            continue
        result.steps.append(TransformStep(transform, [], True, conditions, changes))
        applied_names.add(transform.name)
        if not transform.is_patch_transform:
            main_transforms.append(transform.name)
        for condition in conditions:
            if condition.is_problem:
                result.problems.append("%s: transform %s meets %s" % (patch.code, transform.name, condition))
    if len(main_transforms) > 1:
        result.problems.append("%s: transforms %s all apply to one product, each over the one before" %
                               (patch.code, ", ".join(main_transforms)))
    result.after = state
    return result


class SequencedPatch:
    def __init__(self, patch, kind, target_version, families):
        self.patch = patch
        self.kind = kind
        self.target_version = target_version
        self.families = families      # FamilyRow of each family, for this product
        self.fate = None              # why it is not in the final sequence
        self.application = None

    @property
    def code(self):
        return self.patch.code


class Sequence:
    """The outcome of a set of patches on one product."""

    def __init__(self, base):
        self.base = base
        self.applied = []             # SequencedPatch in the order applied
        self.left_out = []            # SequencedPatch with their fate
        self.problems = []
        self.result = base


def _classify(patch, product_code):
    """Minor upgrade or small update, and the version it leads to, from the
    Revision Number of the patch's transforms for this product."""
    versions = []
    for transform in patch.transforms:
        summary = transform.summary
        if not transform.is_patch_transform and summary.well_formed and summary.base_code == product_code:
            versions.append((parse_version(summary.base_version), parse_version(summary.new_version),
                             summary.new_version))
    if any(base != new for base, new, _ in versions):
        return MINOR_UPGRADE, max(((n or (0,) * 4), text) for _, n, text in versions)
    return SMALL_UPDATE, (versions[0][1], versions[0][2]) if versions else (None, None)


def sequence_patches(base, platform, patches):
    """Sequences `patches` (in the order given, the order Windows uses for
    patches without sequencing data) on the product whose database is
    `base`."""
    outcome = Sequence(base)
    product_code = base.property("ProductCode")
    candidates = []
    seen = set()
    for patch in patches:
        if patch.code in seen:
            continue
        seen.add(patch.code)
        kind, (version, version_text) = _classify(patch, product_code)
        item = SequencedPatch(patch, kind, (version, version_text), patch.family_rows(product_code))
        if product_code not in patch.targets:
            item.fate = "does not target product %s" % product_code
            outcome.left_out.append(item)
            continue
        candidates.append(item)

    legacy = [c for c in candidates if not c.patch.has_sequence_table]
    sequenced = [c for c in candidates if c.patch.has_sequence_table]
    obsolete = {code for c in legacy for code in c.patch.obsoletes}
    for item in list(legacy):
        if item.code in obsolete:
            item.fate = "obsolete (listed in another patch's Revision Number)"
            outcome.left_out.append(item)
            legacy.remove(item)

    state = base
    order = []
    for item in legacy:
        state = _try(item, state, platform, order, outcome)
    rtm = state

    minors = sorted((c for c in sequenced if c.kind == MINOR_UPGRADE), key=lambda c: c.target_version[0] or (0,) * 4)
    smalls = [c for c in sequenced if c.kind == SMALL_UPDATE]
    # Buckets of the sequence: [0] before the first minor upgrade, [k] after
    # the k-th applicable one, each with the state it starts from.
    buckets = [(None, rtm, [])]
    for item in minors:
        if item.patch.minor_update_target_rtm:
            application = apply_patch(item.patch, rtm, platform)
            if application.applied:
                for earlier, _, _ in buckets[1:]:
                    codes = _superseders(earlier, [item])
                    earlier.fate = ("superseded by %s" % item.code if codes else
                                    "removed: %s targets the product before minor upgrades (MinorUpdateTargetRTM)"
                                    % item.code)
                    outcome.left_out.append(earlier)
                buckets = [buckets[0]]
        else:
            application = apply_patch(item.patch, buckets[-1][1], platform)
        if not application.applied:
            item.fate = "inapplicable after the patches before it: " + _why(application)
            outcome.left_out.append(item)
            continue
        buckets.append((item, application.after, []))
    for item in smalls:
        for index in range(len(buckets) - 1, -1, -1):
            if apply_patch(item.patch, buckets[index][1], platform).applied:
                buckets[index][2].append(item)
                break
        else:
            item.fate = "inapplicable: " + _why(apply_patch(item.patch, buckets[0][1], platform))
            outcome.left_out.append(item)
    for _, _, items in buckets:
        items.sort(key=lambda c: min((f.version or (0,) * 4) for f in c.families) if c.families else (0,) * 4)
    for head, _, items in buckets:
        if head is not None:
            order.append(head)
        order.extend(items)

    for item in _superseded(order):
        order.remove(item)
        outcome.left_out.append(item)

    # The final run: every patch left is applied to what the ones before it
    # leave, as the installer applies them.
    state = base
    for item in order:
        # A MinorUpdateTargetRTM patch needs no state of its own here: the
        # minor upgrades before it were left out above.
        application = apply_patch(item.patch, state, platform)
        item.application = application
        if not application.applied:
            item.fate = "inapplicable in the final sequence: " + _why(application)
            outcome.left_out.append(item)
            outcome.problems.append("%s stays in the sequence but none of its transforms applies there: %s" %
                                    (item.code, _why(application)))
            continue
        outcome.problems.extend(application.problems)
        state = application.after
        outcome.applied.append(item)
    outcome.result = state
    return outcome


def _try(item, state, platform, order, outcome):
    application = apply_patch(item.patch, state, platform)
    if not application.applied:
        item.fate = "inapplicable in the order given: " + _why(application)
        outcome.left_out.append(item)
        return state
    order.append(item)
    return application.after


def _why(application):
    """Why the transforms meant for this product do not apply."""
    product_code = application.before.property("ProductCode")
    reasons = ["%s: %s" % (s.transform.name, "; ".join(s.reasons)) for s in application.steps
               if s.reasons and not s.transform.is_patch_transform
               and s.transform.summary.base_code in (product_code, None)]
    return " | ".join(reasons) or "it has no transform for this product"


def _superseders(item, others):
    """The patches of `others` that supersede `item` in every family it
    belongs to (None when it is not superseded)."""
    if not item.families:
        return None
    codes = set()
    for family in item.families:
        found = [later for later in others
                 if later is not item and not (later.kind == SMALL_UPDATE and item.kind == MINOR_UPGRADE)
                 and any(row.family == family.family and row.supersedes_earlier and row.version and family.version
                         and row.version > family.version for row in later.families)]
        if not found:
            return None
        codes.update(later.code for later in found)
    return sorted(codes)


def _superseded(order):
    """The patches of `order` that later patches supersede in all their
    families."""
    gone = []
    for item in order:
        codes = _superseders(item, order)
        if codes:
            item.fate = "superseded by %s" % ", ".join(codes)
            gone.append(item)
    return gone
