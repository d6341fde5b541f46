#!/bin/bash
# A patched product equals a fresh install of the new package, for what
# packages of other authoring tools carry (patch_equality.sh says what is
# compared): a changed Binary stream (the custom action's script, whose
# result the product writes to the registry), a changed row of a custom
# table described in _Validation (read by that script), and an old package
# with the neutral code page 0 against a new one with 1252.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"
source "$(dirname "$0")/patch_equality.sh"

equality_machines
for kind in binary-changed custom-table-changed codepage-neutral; do
  equality_kind "$kind"
done
