#!/bin/bash
# /p, /e, then /i: extraction, then the patch list, then the /i box, whatever
# the order of the switches.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case list_last
