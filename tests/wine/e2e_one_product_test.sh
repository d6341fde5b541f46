#!/bin/bash
# One product at 5.2.0.0: the prompt until quor.exe is closed (Retry while it
# runs shows it again), then the patch and 301; the temporary package is
# deleted.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case one_product
