#!/bin/bash
# /e with a path: an existing longer file is replaced by exactly the package;
# no box, no prompt although quor.exe runs, no product touched.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case extract_to_path
