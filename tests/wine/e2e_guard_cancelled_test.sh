#!/bin/bash
# Cancel at the prompt: 300 in the user's language, no product touched, the
# temporary package left behind.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case guard_cancelled
