#!/bin/bash
# wine-fixture: none
# The table of the end-to-end cases: every case builds its expected boxes and
# its plan from the string table and the sample patch, names only products it
# installs, and has its e2e_<case>_test.sh (and every such script a case).
source "$(dirname "$0")/lib.sh"
report=$(python3 "$WINE_LIB_DIR/e2e.py" validate "$WINE_LIB_DIR" 2>&1) ||
  fail "hotfix_cases.json: ${report:-e2e.py validate failed}"
