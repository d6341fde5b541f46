#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and
# this machine lacks. Does nothing when everything is there.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev python3
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-utils
  msitools wixl icoutils imagemagick
  pkg-config libmsi-dev libgsf-1-dev libgcab-dev gcab libxxhash-dev
  python3-olefile
  strace   # the Wine tests that end hotfix.exe at chosen writes
  osslsigncode openssl   # signing a hotfix, and the tests' throw-away certificates
  chromium   # inspect-patch's HTML page, opened in a real browser by its tests
  fonts-wine fonts-wqy-microhei   # the boxes' fonts under Wine; Chinese, Japanese, Korean
  dpkg-dev file man-db bsdextrautils python3-yaml   # the Debian package, its manual pages, the CI examples
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
