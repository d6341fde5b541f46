#!/bin/bash
# /q: the prompt is still shown, the results (301 and 308 here) are not.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case quiet
