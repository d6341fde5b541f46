#!/bin/bash
# /i: the 21 codes of the patch under "List of Products", no icon, OK only;
# the temporary package stays.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case product_list
