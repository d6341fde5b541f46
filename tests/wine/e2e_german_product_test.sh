#!/bin/bash
# A German product while the user's default is English: the prompt in English,
# the product's 301 and the installer's files-in-use text in German.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case german_product
