#!/bin/bash
# The temporary package is held from its writing until the installer has had
# it: another process can neither overwrite, rename nor delete it while the
# prompt is up or after the patch, but reads the embedded package.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case package_held
