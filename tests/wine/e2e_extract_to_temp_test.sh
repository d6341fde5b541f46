#!/bin/bash
# /e as the last argument: the package goes to a temporary name, past an MSP2
# that exists already.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case extract_to_temp
