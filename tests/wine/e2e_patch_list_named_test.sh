#!/bin/bash
# /p with a relative name: appended in the current folder after the old
# contents, which lack a line break; no temporary package.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case patch_list_named
