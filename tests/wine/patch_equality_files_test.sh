#!/bin/bash
# A patched product equals a fresh install of the new package, for each
# change of files that make-patch accepts (patch_equality.sh says what is
# compared): a file changed, one changed at the same size (the installer
# tells it by its hash alone), a new file in an existing component, a file
# removed with a RemoveFile row, and 2,000 files of which 20 changed.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"
source "$(dirname "$0")/patch_equality.sh"

equality_machines
for kind in file-changed file-same-size file-added file-removed many-files; do
  equality_kind "$kind"
done
