#!/bin/bash
# Two runs with the same list: two blocks, each behind its separator, bytes
# exact.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case patch_list_twice
