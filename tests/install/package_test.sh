#!/bin/bash
# The tools as release engineers get them: `cmake --install` into a scratch
# prefix and the Debian package of the same files, unpacked; every installed
# tool's --version, --help and manual page (the options each lists agree);
# then the CI examples of docs/ci/, their shell steps as extracted, with the
# unpacked package on PATH, in a folder away from the checkout: each makes a
# signed hotfix whose embedded patch, and whose program less its signature,
# are byte for byte the checkout's build from the same inputs.
#   package_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
source_dir=$1 build_dir=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check WHAT COMMAND...: records a failure when COMMAND fails
  local what=$1; shift
  "$@" || { echo "FAIL: $what" >&2; failures=$((failures + 1)); }
}

echo "== cmake --install and cpack -G DEB"
cmake --install "$build_dir" --prefix "$work/prefix" >"$work/install.log"
(cd "$build_dir" && cpack -G DEB -B "$work/cpack" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/cpack/hotfix-tools_"$version"_*.deb)
dpkg-deb -x "$deb" "$work/root"
usr=$work/root/usr
diff <(cd "$work/prefix" && find . -type f | sort) <(cd "$usr" && find . -type f | sort) ||
  { echo "FAIL: the package's files are not those cmake --install installs"; failures=$((failures + 1)); }
fields=$(dpkg-deb -f "$deb" Depends Recommends)
echo "$fields"
for needed in libmsi0 libgsf-1-114 libgcab-1.0-0 libxxhash0 g++-mingw-w64-x86-64 cmake msitools 'Recommends: osslsigncode'; do
  check "the package names $needed" grep -q -- "$needed" <<<"$fields"
done

echo "== every installed tool: --version, --help, its manual page"
tools=$(ls "$usr/bin")
echo "installed: $tools"
check "make-patch and make-hotfix are installed" grep -qzx $'make-hotfix\nmake-patch\n.*' <<<"$tools"$'\n'
options() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }
for tool in $tools; do
  check "$tool --version" [ "$("$usr/bin/$tool" --version)" = "$tool $version" ]
  "$usr/bin/$tool" --help >"$work/$tool.help" || check "$tool --help exits 0" false
  page=$usr/share/man/man1/$tool.1
  MANWIDTH=200 man -l "$page" 2>"$work/$tool.man.err" | col -b >"$work/$tool.man" || check "man -l $tool.1" false
  check "man -l $tool.1 without warnings: $(cat "$work/$tool.man.err")" [ ! -s "$work/$tool.man.err" ]
  check "$tool.1 has a NAME section" grep -q "^NAME" "$work/$tool.man"
  diff <(options <"$work/$tool.help") <(options <"$work/$tool.man") >"$work/$tool.diff" ||
    check "the options of $tool --help (<) and its manual page (>) agree: $(cat "$work/$tool.diff")" false
done

echo "== the CI examples' steps, away from the checkout"
project=$work/project
mkdir -p "$project/tools" "$project/packages/old" "$project/packages/new" "$work/shims"
cp "$deb" "$project/tools/"
echo "stands in for quor.exe" >"$work/quor.exe"
for v in old:3.4.0.0 new:3.4.2.0; do
  "$source_dir/tests/products/make-product.sh" --quor "$work/quor.exe" --folder Velmora \
    $([[ $v == new:* ]] && echo --notes) '{A1B2C3D4-0000-1111-2222-333344445555}' 'Velmora Studio' 1033 "${v#*:}" \
    "$project/packages/${v%%:*}/product.msi" >/dev/null
done
"$source_dir/tests/products/make-test-certificate.sh" "$work/certs" >/dev/null
# apt-get of the CI image: the package is unpacked where PATH finds it; what
# else the steps install must be on this machine already.
cat >"$work/shims/apt-get" <<EOF
#!/bin/bash
[[ \$1 == install ]] || exit 0
for name in "\${@:2}"; do
  case \$name in
    -*) ;;
    *.deb) cmp -s "\$name" "$deb" || { echo "apt-get: \$name is not the package under test" >&2; exit 1; } ;;
    *) dpkg-query -W "\$name" >/dev/null || exit 1 ;;
  esac
done
EOF
chmod +x "$work/shims/apt-get"
# The checkout's build from the same inputs: the texts as the example's
# description block holds them, its SOURCE_DATE_EPOCH, unsigned.
checkout_build() {  # checkout_build DESCRIPTION.txt OUT
  text() { tr -d '\r' <"$1" | sed -n "s/^$2=//p"; }
  SOURCE_DATE_EPOCH=1300000000 "$source_dir/scripts/make-hotfix.sh" --out "$2" \
    --make-patch "$build_dir/tools/make-patch/make-patch" --patch-code "$(text "$1" PatchGUID)" \
    --title "$(text "$1" PatchTitle)" --description "$(text "$1" PatchDesc)" \
    --file-location "$(text "$1" PatchFileLocation)" --desc-location "$(text "$1" PatchDescLocation)" \
    "$project/packages/old/product.msi" "$project/packages/new/product.msi" >"$2.log" 2>&1
}

for ci in "$source_dir"/docs/ci/*.yml; do
  name=$(basename "$ci")
  echo "-- $name"
  /usr/bin/python3 "$source_dir/tests/install/ci_steps.py" "$ci" >"$work/$name.sh"
  rm -rf "$project/release"
  password=$work/certs/password.txt  # GitLab's is a file variable, GitHub's secret the text
  [[ $name != github* ]] || password=$(cat "$password")
  if ! (cd "$project" && env -i HOME="$work" PATH="$work/shims:$usr/bin:/usr/bin:/bin" \
          CI_COMMIT_TIMESTAMP=2011-03-13T07:06:40+00:00 COMMIT_TIME=2011-03-13T07:06:40Z RUNNER_TEMP="$work" \
          SIGNING_P12="$work/certs/signing.p12" SIGNING_PASSWORD="$password" \
          SIGNING_P12_BASE64="$(base64 -w0 "$work/certs/signing.p12")" SIGNING_CA="$work/certs/ca.pem" \
          bash --noprofile --norc -eo pipefail "$work/$name.sh") >"$work/$name.log" 2>&1; then
    tail -30 "$work/$name.log"
    check "the steps of $name" false
    continue
  fi
  check "$name: the signature verifies" grep -q "^Signature verification: ok" "$work/$name.log"
  check "$name: deploy.txt was shown" grep -q "^silent_command = hotfix.exe /q" "$work/$name.log"
  checkout=$work/checkout-$(sha256sum <"$project/release/description.txt" | cut -c1-12)
  [[ -d $checkout ]] || checkout_build "$project/release/description.txt" "$checkout" ||
    { tail -20 "$checkout.log"; check "the checkout's build for $name" false; continue; }
  for file in patch.msp description.txt deploy.txt; do
    check "$name: $file is the checkout's" cmp "$project/release/$file" "$checkout/$file"
  done
  /usr/bin/python3 "$source_dir/tests/wine/pe_resources.py" data "$project/release/hotfix.exe" MSP IDR_MSP \
    >"$work/embedded.msp" || check "$name: hotfix.exe carries a patch" false
  check "$name: the patch inside hotfix.exe is the checkout's" cmp "$work/embedded.msp" "$checkout/patch.msp"
  osslsigncode remove-signature -in "$project/release/hotfix.exe" -out "$work/unsigned.exe" >/dev/null
  check "$name: hotfix.exe less its signature is the checkout's" cmp "$work/unsigned.exe" "$checkout/hotfix.exe"
  rm -f "$work/unsigned.exe"
done
((failures == 0)) || { echo "$failures check(s) failed"; exit 1; }
echo PASS
