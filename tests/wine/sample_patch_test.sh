#!/bin/bash
# wine-fixture: none
# The sample patch and its description block in resources/sample are what
# scripts/make-sample-patch.sh makes from the sample products, byte for
# byte: the same inputs give the same bytes.
source "$(dirname "$0")/lib.sh"

[[ -x $HOTFIX_MAKE_PATCH ]] ||
  fail "no make-patch at $HOTFIX_MAKE_PATCH: build the host preset first (cmake --build --preset host)"
start=$(date +%s%3N)
"$HOTFIX_SOURCE_DIR/scripts/make-sample-patch.sh" --check --quor "$HOTFIX_QUOR" --make-patch "$HOTFIX_MAKE_PATCH" ||
  fail "the committed sample patch differs from a rebuild"
wine_log "rebuilt and compared in $(( $(date +%s%3N) - start )) ms"
