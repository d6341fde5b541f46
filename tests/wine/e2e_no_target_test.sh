#!/bin/bash
# Only a variant the patch does not list is installed: 307 alone, and no
# prompt although its quor.exe runs.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case no_target
