#!/bin/bash
# /p without a name: patchlist6007.txt in the current folder of hotfix.exe,
# and the temporary package stays.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case patch_list_default_name
