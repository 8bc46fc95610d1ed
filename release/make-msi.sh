#!/usr/bin/env bash
# Builds the Windows Installer package of one architecture from release/dorvane.wxs with
# Debian's wixl, adds with msibuild what wixl cannot express (the PATH entry, same-version
# upgrades, the package code), signs it when signing is configured and writes its SHA-256
# beside it. One commit gives the same bytes wherever it is built: the codes derive from
# the version and the commit (its time), file dates and summary times are the commit's.
# usage: make-msi.sh win32|win64|arm64 VERSION EPOCH WXS OUTPUT.msi FILES_DIR PUBLISHER
#                    [SIGN_OPTION...]   (release/sign.sh's options)
# FILES_DIR holds dorvane.exe, README.txt, LICENSE and THIRD-PARTY-NOTICES.txt.
set -euo pipefail
arch=$1 version=$2 epoch=$3 wxs=$4 msi=$5 files=$6 publisher=$7
shift 7
here=$(cd "$(dirname "$0")" && pwd)

# Fixed for the life of the product, one per architecture: Windows Installer finds the
# installed version to replace by the UpgradeCode, and the files' owner by the component.
case $arch in
  win32)
    upgrade_code=67AB7014-2111-460A-870C-D96DC7F10E3A component=49CD2D40-A462-48D9-89C9-9AC9CE17CC6F
    wixl_arch=x86 win64=no program_files=ProgramFilesFolder platform=Intel
    ;;
  win64)
    upgrade_code=91AFE68F-4DF6-4A73-9BC8-A662BF708DCA component=04BF02DA-56AC-456E-A81F-AA525E6C6DF7
    wixl_arch=x64 win64=yes program_files=ProgramFiles64Folder platform=x64
    ;;
  arm64)
    # wixl knows no ARM64: it builds a 64-bit package, and the summary's platform, which is
    # what Windows Installer checks, is set to Arm64 below.
    upgrade_code=D1D67E0A-AF49-4405-A2E2-1A30D9591BF0 component=3E0810D0-B237-4EC1-9021-90ABCC31F10C
    wixl_arch=x64 win64=yes program_files=ProgramFiles64Folder platform=Arm64
    ;;
  *) echo "make-msi.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for file in dorvane.exe README.txt LICENSE THIRD-PARTY-NOTICES.txt; do
  cp "$files/$file" "$work/$file"
  # The cabinet keeps each file's date.
  touch -d "@$epoch" "$work/$file"
done

# A name-based code, UUID version 5 (RFC 9562): the SHA-1 of this namespace's 16 bytes and
# the name, with the version and variant bits set. The same inputs give the same GUID,
# different ones a different GUID.
namespace=E9F5A1CE-E7B6-476B-82CF-FBA92802E11A
# Its bytes as \xHH escapes, for printf's %b.
namespace_bytes=$(sed 's/-//g; s/../\\x&/g' <<<"$namespace")
guid() {
  local hash
  hash=$({ printf '%b' "$namespace_bytes" && printf '%s' "$*"; } | sha1sum | tr 'a-f' 'A-F')
  local variant=$(((16#${hash:16:1} & 3) | 8))
  echo "${hash:0:8}-${hash:8:4}-5${hash:13:3}-$(printf '%X' $variant)${hash:17:3}-${hash:20:12}"
}
# The product code changes with every version (and commit), which makes each install a
# major upgrade of the one before. The package code also changes with the files' bytes,
# so that a signed and an unsigned package are told apart.
product_code=$(guid "DORVANE product $arch $version $epoch")
# In a fixed order (the C locale's): a glob's would follow the locale's collation.
package_code=$(guid "DORVANE package $arch $version $epoch $(cd "$work" &&
  cat LICENSE README.txt THIRD-PARTY-NOTICES.txt dorvane.exe | sha256sum | cut -c1-64)")

# wixl and msibuild stamp the package with the time they run: make that the commit's time.
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
at_commit() { TZ=UTC faketime -f "$stamp" "$@"; }

(cd "$work" && at_commit wixl -a "$wixl_arch" -D Version="$version" -D ProductCode="$product_code" \
  -D PackageCode="$package_code" -D UpgradeCode="$upgrade_code" -D ComponentGuid="$component" \
  -D Win64=$win64 -D ProgramFilesFolder=$program_files -D Manufacturer="$publisher" -o package.msi "$wxs")

# The folder joins the end of the system PATH on install and leaves it on uninstall (=-*:
# set, remove on uninstall, system-wide; [~]; appends to the current value).
printf '%s\n' $'Environment\tName\tValue\tComponent_' $'s72\tl255\tL255\ts72' $'Environment\tEnvironment' \
  $'PATH\t=-*PATH\t[~];[INSTALLDIR]\tProgram' >"$work/Environment.idt"
# The upgrade row finds any installed version up to this one, this one included (513:
# feature states migrate, the maximum version is inclusive), so that a rebuild of the
# same version replaces the installed one too instead of standing beside it.
(cd "$work" && msiinfo export package.msi Upgrade) | tr -d '\r' |
  sed 's/\t1\t\tWIX_UPGRADE_DETECTED$/\t513\t\tWIX_UPGRADE_DETECTED/' >"$work/Upgrade.idt"
grep -q '513' "$work/Upgrade.idt" || { echo "make-msi.sh: unexpected Upgrade table from wixl" >&2; exit 1; }
sequence="INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES"
(cd "$work" && at_commit msibuild package.msi -i Environment.idt -i Upgrade.idt \
  -q "$sequence ('RemoveEnvironmentStrings', 3300)" -q "$sequence ('WriteEnvironmentStrings', 5200)" \
  -s "DORVANE $version" "$publisher" "$platform;1033" \
  "{$package_code}")

if [ $# -gt 0 ]; then
  echo "$epoch" >"$work/epoch"
  bash "$here/sign.sh" msi "$work/package.msi" "$work/epoch" "$@"
fi
mv "$work/package.msi" "$msi"
(cd "$(dirname "$msi")" && sha256sum "$(basename "$msi")" >"$(basename "$msi").sha256")
echo "make-msi.sh: $msi ($product_code)"
