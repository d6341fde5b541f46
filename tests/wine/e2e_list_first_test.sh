#!/bin/bash
# /i first: nothing after it is looked at, so /e and /p write nothing.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case list_first
