#!/bin/bash
# /q /i: the /i box is shown all the same.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case product_list_quiet
