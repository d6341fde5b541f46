#!/bin/bash
# The installer asks for a restart (3010, from a ScheduleReboot action run
# when PATCH is set): still the success message 301.
# The case itself is in hotfix_cases.json.
source "$(dirname "$0")/e2e.sh"
e2e_run_case restart_needed
