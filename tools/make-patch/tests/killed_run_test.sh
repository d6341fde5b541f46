#!/bin/bash
# A make-patch killed part way (SIGKILL, a cancelled CI job) leaves its
# scratch folder beside the output; the next run with that output folder
# removes it, and never the folder of a run still going.
#   killed_run_test.sh MAKE_PATCH BIG_PRODUCT_PY
set -euo pipefail
make_patch=$(realpath "$1") big_product=$(realpath "$2")
work=$(mktemp -d)
trap 'kill -9 $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

# A pair whose 100 MB file changed (a run of about 2 s), and a small pair.
mkdir -p big-old big-new small-old small-new out
/usr/bin/python3 "$big_product" --version 1.0.0 --files 2 --size 1000 --large 100000000 big-old/p.msi >/dev/null
/usr/bin/python3 "$big_product" --version 1.1.0 --files 2 --size 1000 --large 100000000 --change 1 big-new/p.msi >/dev/null
/usr/bin/python3 "$big_product" --version 1.0.0 --files 2 --size 1000 small-old/p.msi >/dev/null
/usr/bin/python3 "$big_product" --version 1.1.0 --files 2 --size 1000 --change 1 small-new/p.msi >/dev/null
run() { "$make_patch" --patch-code '{D3F58B26-A41C-4E97-B062-91C7E5A83F14}' --output "out/$1.msp" "$2-old/p.msi" "$2-new/p.msi"; }
start() { "$make_patch" --patch-code '{D3F58B26-A41C-4E97-B062-91C7E5A83F14}' --output "out/$1.msp" big-old/p.msi big-new/p.msi & }
scratch() { find out -maxdepth 1 -name '.make-patch-*' | sort; }
# Waits until a run has kept the changed file in its scratch folder.
wait_for_kept_file() {
  for _ in $(seq 1200); do  # up to a minute: slower under the sanitizers
    [[ -n $(find out -path 'out/.make-patch-*' -type f -size +1M 2>/dev/null) ]] && return 0
    sleep 0.05
  done
  fail "no scratch folder with a kept file appeared"
}

# A live run's folder survives a run beside it, and the live run succeeds.
start live; live=$!
wait_for_kept_file
# The folder of the files the live run keeps, which it needs to its end.
folder=$(dirname "$(find out -path 'out/.make-patch-*' -type f -name 'file-*' | head -1)")
run small small || fail "the run beside a live one failed"
[[ -d $folder ]] || fail "a run beside a live one removed its scratch folder $folder"
wait "$live" || fail "the live run failed once a run beside it had ended"
msiinfo suminfo out/live.msp >/dev/null || fail "the live run's patch does not read"
[[ -z $(scratch) ]] || fail "runs that ended left $(scratch)"

# A killed run's folder stays until the next run, which removes it.
start killed; killed=$!
wait_for_kept_file
kill -KILL "$killed"
wait "$killed" 2>/dev/null || true
left=$(scratch)
[[ -n $left ]] || fail "the killed run left nothing: the test did not kill it part way"
echo "a run killed part way left $(du -sb "$left" | cut -f1) bytes in $left"
run small small || fail "the run after a killed one failed"
[[ -z $(scratch) ]] || fail "the run after a killed one left $(scratch)"
[[ ! -e out/killed.msp ]] || fail "the killed run left a patch"
echo "PASS"
