#!/bin/bash
# Only arguments that are no switch (-q, /x, a bare word, /quiet, /E:path):
# the default mode runs, with its messages.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case unrecognised_only
