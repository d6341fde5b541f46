#!/bin/bash
# The installer fails for the first product (its custom action's own box, then
# 1603 shown by 300) and the next product is still patched.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case installer_failure
