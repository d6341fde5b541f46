#!/bin/bash
# Every product at 5.2.1.0: the prompt still comes first, then one 306 in the
# user's default language (English) naming the last product, a German one and
# a French one installed.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case up_to_date
