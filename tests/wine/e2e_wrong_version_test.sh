#!/bin/bash
# A French product at 5.1.0.0 among others: 308 in French naming it, the
# English one patched, the German one at 5.2.1.0 silent, no final 306.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case wrong_version
