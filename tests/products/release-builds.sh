#!/bin/bash
# Two release builds of a small product, as a build machine makes them: every
# DLL linked anew for the second build, at a later link time and with another
# build ID, so that its bytes differ even where its code did not change.
#   a.dll  the same code and version (2.3.0.7), signed in both builds
#   b.dll  changed code, its version raised from 2.3.0.7 to 2.3.1.0
#   c.dll  the very same bytes (copied from the old build)
# Each file is its component's (A, B, C); B and C also write a registry value
# under HKLM\Software\Korvanta\Release that the new build changes.
#
#   tests/products/release-builds.sh DIR
# writes DIR/old/product.msi (2.3.0) and DIR/new/product.msi (2.3.1), each
# with its files beside it (DIR/old/a.dll, ...). The packages set File.Version
# from the version resources and carry no MsiFileHash rows for versioned
# files, as WiX does. Needs MinGW-w64, osslsigncode, msitools, openssl.
set -euo pipefail
dir=${1:?usage: release-builds.sh DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir/old" "$dir/new" "$dir/build"
dir=$(cd "$dir" && pwd)
build=$dir/build
quiet() { local said; said=$("$@" 2>&1) || { echo "release-builds.sh: $*: $said" >&2; exit 1; }; }

[[ -f $build/cert/signing.p12 ]] || quiet "$here/make-test-certificate.sh" "$build/cert"

source_of() {  # source_of NAME VALUE: a DLL that exports NAME_value() returning VALUE
  printf '__declspec(dllexport) int %s_value(void) { return %s; }\n' "$1" "$2"
}
resource_of() {  # resource_of VERSION: a version resource (what File.Version comes from)
  printf '1 VERSIONINFO\nFILEVERSION %s\nPRODUCTVERSION %s\nBEGIN\n  BLOCK "StringFileInfo"\n  BEGIN\n' "${1//./,}" "${1//./,}"
  printf '    BLOCK "040904B0"\n    BEGIN\n      VALUE "FileVersion", "%s"\n    END\n  END\nEND\n' "$1"
}
# link NAME VALUE VERSION BUILD_ID OUT: always to the same path, so that the
# image base (derived from the output name) stays the same. The link time is
# the clock's, as on a build machine.
link() {
  source_of "$1" "$2" >"$build/$1.c"
  resource_of "$3" >"$build/$1.rc"
  quiet x86_64-w64-mingw32-windres "$build/$1.rc" -O coff -o "$build/$1.res.o"
  quiet x86_64-w64-mingw32-gcc -O2 -c "$build/$1.c" -o "$build/$1.o"
  quiet x86_64-w64-mingw32-gcc -shared -s -o "$build/$1.dll" "$build/$1.o" "$build/$1.res.o" "-Wl,--build-id=0x$4"
  cp "$build/$1.dll" "$5"
}
sign() {
  quiet osslsigncode sign -pkcs12 "$build/cert/signing.p12" -readpass "$build/cert/password.txt" \
    -n "Korvanta Release" -h sha256 -in "$1" -out "$1.signed"
  mv "$1.signed" "$1"
}

unset SOURCE_DATE_EPOCH
link a 7 2.3.0.7 5a1e0000000000000000000000000000000000a1 "$dir/old/a.dll"
link b 11 2.3.0.7 5a1e0000000000000000000000000000000000b1 "$dir/old/b.dll"
link c 13 2.3.0.7 5a1e0000000000000000000000000000000000c1 "$dir/old/c.dll"
sleep 1  # the next build links a second later at least
link a 7 2.3.0.7 9b2f0000000000000000000000000000000000a2 "$dir/new/a.dll"
link b 12 2.3.1.0 9b2f0000000000000000000000000000000000b2 "$dir/new/b.dll"
cp "$dir/old/c.dll" "$dir/new/c.dll"
sign "$dir/old/a.dll"
sign "$dir/new/a.dll"

package() {  # package FOLDER PRODUCT_VERSION B_VERSION B_VALUE C_VALUE
  cat >"$1/product.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{7E1EA5E0-2300-4A11-9C3D-5B0E1D2C3A40}" Name="Korvanta Release" Language="1033"
           Codepage="1252" Version="$2" Manufacturer="Korvanta"
           UpgradeCode="{7E1EA5E0-2300-4A11-9C3D-5B0E1D2C3A41}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine" Languages="1033"
             Manufacturer="Korvanta" Description="Korvanta Release"/>
    <Media Id="1" Cabinet="product.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="Korvanta Release">
          <Component Id="A" Guid="{7E1EA5E0-2300-4A11-9C3D-5B0E1D2C3AA0}" Win64="yes">
            <File Id="a.dll" Name="a.dll" Source="a.dll" KeyPath="yes"/>
          </Component>
          <Component Id="B" Guid="{7E1EA5E0-2300-4A11-9C3D-5B0E1D2C3AB0}" Win64="yes">
            <File Id="b.dll" Name="b.dll" Source="b.dll" KeyPath="yes"/>
            <RegistryValue Id="BValue" Root="HKLM" Key="Software\Korvanta\Release" Name="B"
                           Value="$4" Type="string"/>
          </Component>
          <Component Id="C" Guid="{7E1EA5E0-2300-4A11-9C3D-5B0E1D2C3AC0}" Win64="yes">
            <File Id="c.dll" Name="c.dll" Source="c.dll" KeyPath="yes"/>
            <RegistryValue Id="CValue" Root="HKLM" Key="Software\Korvanta\Release" Name="C"
                           Value="$5" Type="string"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1">
      <ComponentRef Id="A"/>
      <ComponentRef Id="B"/>
      <ComponentRef Id="C"/>
    </Feature>
  </Product>
</Wix>
WXS
  (cd "$1" && quiet wixl -a x64 -o product.msi product.wxs)
  quiet msibuild "$1/product.msi" -q "UPDATE File SET Version='2.3.0.7' WHERE File='a.dll'" \
    -q "UPDATE File SET Version='$3' WHERE File='b.dll'" -q "UPDATE File SET Version='2.3.0.7' WHERE File='c.dll'" \
    -q "DELETE FROM MsiFileHash WHERE File_='a.dll'" -q "DELETE FROM MsiFileHash WHERE File_='b.dll'" \
    -q "DELETE FROM MsiFileHash WHERE File_='c.dll'"
  rm "$1/product.wxs"
}
package "$dir/old" 2.3.0 2.3.0.7 "b 2.3.0" "level 1"
package "$dir/new" 2.3.1 2.3.1.0 "b 2.3.1" "level 2"
echo "$dir/old/product.msi $dir/new/product.msi"
