#!/bin/bash
# Variants the table carries in another form, and one it does not carry: each
# product's messages in the language its users read. The case itself is in
# hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case language_variants
