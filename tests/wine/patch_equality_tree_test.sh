#!/bin/bash
# A patched product equals a fresh install of the new package, for each
# change of components, features, registry values and tables that
# make-patch accepts (patch_equality.sh says what is compared): a new
# component in an existing feature, a new child feature that follows its
# parent, a registry value changed and one added, a property changed (the
# value written from it follows), and a table added (IniFile, with its
# actions: the patch writes quorvel.ini).
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"
source "$(dirname "$0")/patch_equality.sh"

equality_machines
for kind in component-added child-feature-added registry-changed property-changed table-added; do
  equality_kind "$kind"
done
