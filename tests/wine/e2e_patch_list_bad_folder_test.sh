#!/bin/bash
# /p naming a file in a folder that does not exist: 310 in the user's
# language, nothing written.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case patch_list_bad_folder
