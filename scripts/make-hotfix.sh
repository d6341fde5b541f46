#!/bin/bash
# From the old and new packages of a product, one pair per language variant,
# to a hotfix in one run: the patch (make-patch), its description block
# (describe-patch.sh) and hotfix.exe built around both, signed when a
# certificate is named.
#
#   make-hotfix --out DIR --patch-code GUID --title TEXT --description TEXT \
#       --file-location TEXT --desc-location TEXT [options] OLD.msi NEW.msi [OLD.msi NEW.msi ...]
#
#   --out DIR              where hotfix.exe, patch.msp, description.txt,
#                          deploy.txt, report.html and report.json go; they
#                          replace what is there only once all six exist
#   --patch-code GUID      the patch's own code, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
#   --title TEXT           the patch title (PatchTitle, the patch's display name)
#   --description TEXT     PatchDesc of the description block
#   --file-location TEXT   PatchFileLocation: where administrators find hotfix.exe
#   --desc-location TEXT   PatchDescLocation: where its readme is
#   --manufacturer TEXT    the patch's manufacturer (default: the new packages')
#   --family NAME          the series the hotfix belongs to (make-patch --family)
#   --supersede            it supersedes the earlier hotfixes of its family
#   --no-removal           mark the patch as one that cannot be uninstalled
#   --allow-removal        refuse a patch that cannot be uninstalled
#   --delta                changed files travel as deltas where that is smaller
#   --exact                carry relinked files too (make-patch leaves out files
#                          that differ only in their build stamps)
#   --component NAME       carry only this component's changes (repeatable)
#   --exclude-component NAME   carry every change but this component's (repeatable)
#   --sign-pkcs12 FILE     sign hotfix.exe with this certificate and key (PKCS#12)
#   --sign-password-file FILE   the PKCS#12 password, on the file's first line
#   --timestamp-url URL    an RFC 3161 time-stamp server for the signature
#   --build-dir DIR        build there (kept) instead of in a scratch folder
#   --make-patch PATH      the patch builder (default: the make-patch installed
#                          beside this command; in a checkout the host
#                          preset's, built when missing)
#   -h, --help             print this help and exit
#   --version              print make-hotfix's version and exit
#
# A product may come in several pairs, one per old version machines have it
# at (a cumulative hotfix). HOTFIX_PATCHED_VERSION is the new packages'
# ProductVersion (they must all have the same one) and
# HOTFIX_APPLICABLE_VERSIONS every old package's, each once. The same inputs
# and the same SOURCE_DATE_EPOCH give the same bytes; without
# SOURCE_DATE_EPOCH the patch is dated now and the value used is printed.
# deploy.txt tells administrators the silent command line and, for each
# product, the rule that detects it patched.
#
# Installed (bin/make-hotfix), it builds hotfix.exe from the sources under
# share/hotfix-tools; run as scripts/make-hotfix.sh, from the checkout.
set -euo pipefail

me=$(basename "$0")
die() { echo "$me: $*" >&2; exit 1; }
here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
# The installed copy has both filled in; in a checkout they stay as they are.
version="@HOTFIX_TOOLS_VERSION@" data_dir="@HOTFIX_DATA_FROM_BIN@"
if [[ $data_dir == @* ]]; then
  installed=no root=$(cd "$here/.." && pwd)
  version=$(sed -n 's/^project(hotfix VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
else
  installed=yes
  root=$(cd "$here/$data_dir" 2>/dev/null && pwd) && [[ -f $root/CMakeLists.txt ]] ||
    die "the sources of hotfix.exe are not at $here/$data_dir: the installation is incomplete"
fi
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; }

out="" patch_code="" title="" description="" file_location="" desc_location="" manufacturer=""
sign_pkcs12="" sign_password_file="" timestamp_url="" build_dir="" make_patch=""
series=()  # make-patch's options of a series, of removal and of what it carries, passed through
packages=()
while (($#)); do
  case $1 in
    --out|--patch-code|--title|--description|--file-location|--desc-location|--manufacturer|\
    --sign-pkcs12|--sign-password-file|--timestamp-url|--build-dir|--make-patch)
      (($# >= 2)) || die "$1 needs a value"
      case $1 in
        --out) out=$2 ;; --patch-code) patch_code=$2 ;; --title) title=$2 ;;
        --description) description=$2 ;; --file-location) file_location=$2 ;;
        --desc-location) desc_location=$2 ;; --manufacturer) manufacturer=$2 ;;
        --sign-pkcs12) sign_pkcs12=$2 ;; --sign-password-file) sign_password_file=$2 ;;
        --timestamp-url) timestamp_url=$2 ;; --build-dir) build_dir=$2 ;; --make-patch) make_patch=$2 ;;
      esac
      shift 2 ;;
    --family|--component|--exclude-component)
      (($# >= 2)) || die "$1 needs a value"
      series+=("$1" "$2"); shift 2 ;;
    --supersede|--no-removal|--allow-removal|--delta|--exact) series+=("$1"); shift ;;
    -h|--help) usage; exit 0 ;;
    --version) echo "make-hotfix $version"; exit 0 ;;
    --) shift; packages+=("$@"); break ;;
    -*) echo "$me: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) packages+=("$1"); shift ;;
  esac
done

# ---------------------------------------------------------------- the input, checked before anything is built

[[ -n $out ]] || die "--out is missing: name the folder for the hotfix"
for pair in "--patch-code:$patch_code" "--title:$title" "--description:$description" \
            "--file-location:$file_location" "--desc-location:$desc_location"; do
  [[ -n ${pair#*:} ]] || die "${pair%%:*} is missing: the description block needs every text"
done
for text in "$title" "$description" "$file_location" "$desc_location" "$manufacturer"; do
  [[ $text != *[$'\r\n']* ]] || die "a text holds a line break; the description block has one line per text"
done
[[ $patch_code =~ ^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$ ]] ||
  die "--patch-code must be a GUID in braces and capitals, like {D3F58B26-A41C-4E97-B062-91C7E5A83F14}"
((${#packages[@]} >= 2 && ${#packages[@]} % 2 == 0)) ||
  die "name the packages in pairs, old then new (${#packages[@]} given)"
for package in "${packages[@]}"; do
  [[ -f $package && -r $package ]] || die "$package: no such file"
done
if [[ -n $sign_pkcs12 || -n $sign_password_file || -n $timestamp_url ]]; then
  [[ -n $sign_pkcs12 && -n $sign_password_file ]] ||
    die "signing needs both --sign-pkcs12 and --sign-password-file"
  [[ -f $sign_pkcs12 && -r $sign_pkcs12 ]] || die "$sign_pkcs12: no such certificate file"
  [[ -f $sign_password_file && -r $sign_password_file ]] || die "$sign_password_file: no such password file"
  command -v osslsigncode >/dev/null || die "signing needs osslsigncode (scripts/install-deps.sh installs it)"
fi

property() {  # property PACKAGE NAME
  msiinfo export "$1" Property 2>/dev/null | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'
}

new_version="" old_versions=() product_names=()
for ((i = 0; i < ${#packages[@]}; i += 2)); do
  old=${packages[i]} new=${packages[i + 1]}
  old_v=$(property "$old" ProductVersion) || true
  new_v=$(property "$new" ProductVersion) || true
  [[ -n $old_v ]] || die "$old is not a product package msitools can read (no ProductVersion)"
  [[ -n $new_v ]] || die "$new is not a product package msitools can read (no ProductVersion)"
  for v in "$old_v" "$new_v"; do
    # What Windows Installer accepts: three or four parts; the hotfix keeps
    # each in 16 bits.
    [[ $v =~ ^[0-9]{1,5}(\.[0-9]{1,5}){2,3}$ ]] || die "ProductVersion $v is not a version of three or four numbers"
    for part in ${v//./ }; do ((10#$part <= 65535)) || die "ProductVersion $v has a part above 65535"; done
  done
  if [[ -z $new_version ]]; then
    new_version=$new_v
  elif [[ $new_v != "$new_version" ]]; then
    die "the new packages have different versions ($new_version and $new_v): one hotfix brings one version"
  fi
  [[ $old_v != "$new_v" ]] || die "$old and $new have the same version, $old_v"
  [[ " ${old_versions[*]} " == *" $old_v "* ]] || old_versions+=("$old_v")
  name=$(property "$old" ProductName) known=no
  for n in "${product_names[@]}"; do [[ $n != "$name" ]] || known=yes; done
  [[ $known == yes ]] || product_names+=("$name")
done
applicable=$(printf '%s,' "${old_versions[@]}")
[[ -n $manufacturer ]] || manufacturer=$(property "${packages[1]}" Manufacturer)

# Only the patch carries a date; hotfix.exe carries none, so its build is
# kept from the variable (the linker would take it as the program's time).
patch_date=${SOURCE_DATE_EPOCH:-}
if [[ -z $patch_date ]]; then
  patch_date=$(date +%s)
  echo "$me: the patch is dated SOURCE_DATE_EPOCH=$patch_date; set it to that value to rebuild the same bytes"
fi
unset SOURCE_DATE_EPOCH

# ---------------------------------------------------------------- tools

if [[ -z $make_patch && $installed == yes ]]; then
  make_patch=$here/make-patch
  [[ -x $make_patch ]] || die "no make-patch beside $0: the installation is incomplete"
elif [[ -z $make_patch ]]; then
  make_patch="$root/build/host/tools/make-patch/make-patch"
  if [[ ! -x $make_patch ]]; then
    (cd "$root" && cmake --preset host >/dev/null && cmake --build --preset host --target make-patch >/dev/null) ||
      die "cannot build make-patch"
  fi
fi

if [[ $installed == yes ]]; then
  inspect_patch=$here/inspect-patch
  [[ -x $inspect_patch ]] || die "no inspect-patch beside $0: the installation is incomplete"
else
  inspect_patch="$root/build/host/tools/inspect-patch/inspect-patch"
  if [[ ! -x $inspect_patch ]]; then
    (cd "$root" && cmake --preset host >/dev/null && cmake --build --preset host --target inspect-patch >/dev/null) ||
      die "cannot build inspect-patch"
  fi
fi

# Everything is made in a scratch folder beside DIR and moved in at the end,
# so a failure leaves DIR as it was.
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
stage=$(mktemp -d "$out.partial-XXXXXX")
scratch_build=""
cleanup() { rm -rf "$stage" ${scratch_build:+"$scratch_build"}; }
trap cleanup EXIT
if [[ -z $build_dir ]]; then
  scratch_build=$(mktemp -d)
  build_dir=$scratch_build
fi

# ---------------------------------------------------------------- the patch and its description block

SOURCE_DATE_EPOCH=$patch_date "$make_patch" --patch-code "$patch_code" --title "$title" --description "$description" \
  ${manufacturer:+--manufacturer "$manufacturer"} "${series[@]+"${series[@]}"}" --output "$stage/patch.msp" \
  "${packages[@]}" ||
  die "make-patch refused the packages (its message is above)"
"$root/scripts/describe-patch.sh" "$stage/patch.msp" "$new_version" "$title" "$description" \
  "$file_location" "$desc_location" >"$stage/description.txt" || die "describe-patch.sh failed"
"$root/scripts/deploy-text.sh" "$stage/patch.msp" "$new_version" "$applicable" "${packages[@]}" >"$stage/deploy.txt" ||
  die "deploy-text.sh failed"

# ---------------------------------------------------------------- hotfix.exe

signing=()
target=hotfix
if [[ -n $sign_pkcs12 ]]; then
  signing=(-DHOTFIX_SIGN_PKCS12="$(realpath "$sign_pkcs12")"
           -DHOTFIX_SIGN_PASSWORD_FILE="$(realpath "$sign_password_file")"
           -DHOTFIX_SIGN_TIMESTAMP_URL="$timestamp_url" -DHOTFIX_SIGN_DESCRIPTION="$title")
  target=hotfix_signed
fi
log=$stage/build.log
if ! { cmake -S "$root" -B "$build_dir" --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
         -DHOTFIX_TARGET=windows -DCMAKE_BUILD_TYPE=Release \
         -DHOTFIX_PATCH="$stage/patch.msp" -DHOTFIX_DESCRIPTION="$stage/description.txt" \
         -DHOTFIX_PATCHED_VERSION="$new_version" -DHOTFIX_APPLICABLE_VERSIONS="$applicable" \
         -DHOTFIX_SIGN_PKCS12= -DHOTFIX_SIGN_PASSWORD_FILE= -DHOTFIX_SIGN_TIMESTAMP_URL= "${signing[@]}" &&
       cmake --build "$build_dir" --target "$target" -j "$(nproc)"; } >"$log" 2>&1; then
  tail -20 "$log" >&2
  die "the build of hotfix.exe failed (above: the end of its log)"
fi
if [[ $target == hotfix_signed ]]; then
  cp "$build_dir/signed/hotfix.exe" "$stage/hotfix.exe"
else
  cp "$build_dir/hotfix.exe" "$stage/hotfix.exe"
fi

# ---------------------------------------------------------------- what it changes: report.html and report.json

# inspect-patch reads the finished hotfix.exe against the old packages it
# was made from; its text form's summary is printed at the end.
old_packages=()
for ((i = 0; i < ${#packages[@]}; i += 2)); do old_packages+=("$(realpath "${packages[i]}")"); done
# Run beside it, so that the reports name hotfix.exe, not the scratch folder.
(cd "$stage" && "$inspect_patch" --json hotfix.exe "${old_packages[@]}" >report.json &&
  "$inspect_patch" --html report.html hotfix.exe "${old_packages[@]}" &&
  "$inspect_patch" hotfix.exe "${old_packages[@]}" >report.txt) ||
  die "inspect-patch cannot describe the hotfix (its message is above)"

mkdir -p "$out"
for file in patch.msp description.txt deploy.txt hotfix.exe report.html report.json; do
  mv -f "$stage/$file" "$out/$file"
done

# ---------------------------------------------------------------- what was made

echo "$out/hotfix.exe: $(stat -c %s "$out/hotfix.exe") bytes, sha256 $(sha256sum "$out/hotfix.exe" | cut -d' ' -f1)"
if [[ -n $sign_pkcs12 ]]; then
  signer=$(openssl pkcs12 -in "$sign_pkcs12" -passin file:"$sign_password_file" -nokeys -clcerts 2>/dev/null |
    openssl x509 -noout -subject 2>/dev/null | sed 's/^subject=//') || true
  echo "  signed by ${signer:-the certificate in $sign_pkcs12}"
fi
echo "$out/patch.msp: $(stat -c %s "$out/patch.msp") bytes"
echo "$out/description.txt"
echo "$out/deploy.txt: how to deploy it silently and detect it installed"
names=$(printf '%s, ' "${product_names[@]}")
echo "What hotfix.exe does to an installed ${names%, }:"
for v in "${old_versions[@]}"; do
  echo "  at $v: patches it to $new_version"
done
echo "  at $new_version: says it is up to date"
echo "  at any other version: says the hotfix is not designed for that version"
echo "$out/report.html, $out/report.json: what it changes (inspect-patch); in short:"
# The patch's lines and the verdict on each old package, without the per-product transform rows.
awk '/^Targets:/ { skip = 1 } /^Against / { skip = 0 } !skip' "$stage/report.txt"
