#!/usr/bin/env bash
# What the administrators' and auditors' pages and README.txt tell a reader to type, run as
# written against a release built here, so that a changed option, file name, folder or
# registry key fails here rather than in a reader's hands. Every command block of
# docs/administrators.md and docs/checking.md carries a marker on the line before it:
#   <!-- docs.commands: sh -->               run by bash in the release folder: status 0
#   <!-- docs.commands: cmd -->              each line run by cmd under wine in the release
#                                            folder: status 0
#   <!-- docs.commands: cmd status=N -->     the same, each line ending with status N
#   <!-- docs.commands: not run (WHY) -->    not runnable here, and why
# A block without one fails. Only <version>, {ProductCode}, HEX (the signer's certificate's
# SHA-256) and DIR (a folder of the downloaded files alone) are filled in; ROOTS.pem is the
# release's certificate, TSA.pem the system's store and pub.pem its public key, as its
# publisher would publish them, and verify-release is the checkout's. The msiexec lines of
# README.txt run too, and the fleet rule ("Take the file of the machine's own architecture:
# ...") must read the same on the front page, this page and README.txt.
# usage: docs_commands_test.sh SOURCE_DIR WINE_DIR TOOLCHAIN_FILE [NODE_MODULES]
set -u
src=$1
wine_dir=$2
toolchain=$3
node_modules=${4-}
arch=win64
run=$src/tests/wine/wine-run.sh
page=$src/docs/administrators.md
checked=$("$run" "$arch" --check 2>&1) || { status=$?; echo "$checked"; exit $status; }
source "$src/tests/checks.sh"
prefix=$wine_dir/docs-commands
trap 'timeout 20 "$run" "$arch" --server "$prefix" -k 2>/dev/null; rm -rf "$prefix" "$tmp"' EXIT

# The release: the package step of a commit of the sources as they are (so that it has its
# provenance and signed envelope), signed with a throwaway certificate, which the pages'
# blocks trust as ROOTS.pem and pub.pem.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=DORVANE docs test signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
copy_sources "$src" "$tmp/src"
{
  git -C "$tmp/src" init -q && git -C "$tmp/src" add -A &&
    git -C "$tmp/src" -c user.name=t -c user.email=t@t commit -q -m "the sources as they are" &&
    cmake -S "$tmp/src" -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DCMAKE_TOOLCHAIN_FILE="$tmp/src/cmake/$(basename "$toolchain")" -DDORVANE_BUILD_TESTS=OFF \
      -DDORVANE_PRESET="$(jq -r --arg arch "$arch" '.architectures[$arch].preset' "$src/release/contract.json")" \
      ${node_modules:+"-DDORVANE_NODE_MODULES=$node_modules"} \
      -DDORVANE_SIGN_CERT="$tmp/cert.pem" -DDORVANE_SIGN_KEY="$tmp/key.pem" &&
    cmake --build "$tmp/build" --target package
} >"$tmp/build.log" 2>&1 || { tail -20 "$tmp/build.log"; echo "0 passed, 1 failed"; exit 1; }
mkdir "$tmp/release"
find "$tmp/build/package" -maxdepth 1 -type f -exec cp {} "$tmp/release/" \;
# DIR: the downloaded files alone; verify-release: the checkout's.
mkdir "$tmp/download" "$tmp/bin"
find "$tmp/build/package" -maxdepth 1 -type f -exec cp {} "$tmp/download/" \;
ln -s "$src/scripts/verify-release" "$tmp/bin/verify-release"
cp "$tmp/cert.pem" "$tmp/release/ROOTS.pem"
# (Its release names no timestamp authority: TSA.pem is then the system's store.)
cp /etc/ssl/certs/ca-certificates.crt "$tmp/release/TSA.pem"
openssl x509 -in "$tmp/cert.pem" -pubkey -noout >"$tmp/release/pub.pem"
leaf_sha256=$(openssl x509 -in "$tmp/cert.pem" -outform DER | sha256sum | cut -c1-64)
msi=$(cd "$tmp/release" && echo dorvane-*-"$arch".msi)
version=${msi#dorvane-}
version=${version%-"$arch".msi}
product_code=$(/usr/bin/python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); from verify import msi
print(dict(msi.read(sys.argv[2])["tables"]["Property"]["rows"])["ProductCode"])' "$src/release" "$tmp/release/$msi")
(cd "$tmp/release" && cmake -E tar xf "dorvane-$version-$arch.zip")
guide=$tmp/release/dorvane-$version-$arch/README.txt

# The fleet rule, once on each page, in the same words.
rule() { tr -d '\r' <"$1" | tr -s ' \n' '  ' | grep -oE "Take the file of the machine's own architecture:[^.]*\."; }
want=$(rule "$page")
why=""
[ "$(wc -l <<<"$want")" = 1 ] && [ -n "$want" ] || why="administrators.md states it $(grep -c . <<<"$want") times"
for other in "$src/README.md" "$guide"; do
  [ "$(rule "$other")" = "$want" ] || why=$(why_not "$why" "${other#"$tmp/release/"} says '$(rule "$other")'")
done
record "the fleet rule reads the same on README.md, administrators.md and README.txt: $want" "$why"

# The page's table gives each MSI the UpgradeCode the contract gives its architecture.
why=""
while read -r name code; do
  grep -qF -- "| \`dorvane-<version>-$name.msi\` |" "$page" || { why=$(why_not "$why" "no row for $name"); continue; }
  grep -F -- "| \`dorvane-<version>-$name.msi\` |" "$page" | grep -qF -- "{$code}" ||
    why=$(why_not "$why" "the $name row does not give {$code}")
done < <(jq -r '.architectures | to_entries[] | "\(.key) \(.value.msi.upgrade_code)"' "$src/release/contract.json")
record "administrators.md's table: each MSI's UpgradeCode as release/contract.json gives it" "$why"

# A Windows folder (C:\Tools\DORVANE) in the prefix.
unix_folder() { local f=${1#[Cc]:\\}; echo "$prefix/drive_c/${f//\\//}"; }
installed=""  # where the last msiexec /i put DORVANE, as Windows names it
# LINE WANT_STATUS LABEL: runs one cmd line under wine in the release folder, then holds the
# machine to what the line says it does.
cmd_line() {
  local line=$1 want=$2 label=$3 status why=""
  (cd "$tmp/release" && timeout 180 "$run" "$arch" "$prefix" cmd /c "$line") </dev/null >"$tmp/out" 2>&1
  status=$?
  # msiexec has written the registry once the prefix's server has gone.
  timeout 60 "$run" "$arch" --server "$prefix" -w
  # Linux sees the low byte of a Windows status.
  [ "$status" = $((want % 256)) ] || why="status $status, expected $want: $(tr -d '\r' <"$tmp/out" | tail -2 | tr '\n' ' ')"
  if [ "$want" = 0 ]; then
    case $line in
      "msiexec /i "*)
        installed='C:\Program Files\DORVANE'
        [[ $line =~ INSTALLDIR=([^\ \"]+) ]] && installed=${BASH_REMATCH[1]}
        [ -f "$(unix_folder "$installed")/dorvane.exe" ] || why=$(why_not "$why" "no dorvane.exe in $installed")
        ;;
      "msiexec /x "*)
        [ -z "$installed" ] || [ ! -e "$(unix_folder "$installed")" ] || why=$(why_not "$why" "$installed is still there")
        installed=""
        ;;
      "reg query "*)
        grep -qiF -- "$installed" "$tmp/out" || why=$(why_not "$why" "does not print $installed")
        ;;
    esac
  fi
  record "$label: $line" "$why"
}

bash "$src/tests/wine/prefix.sh" copy "$arch" "$wine_dir" docs-commands

# README.txt's msiexec lines, in order, each up to the two spaces before its comment.
lines=0
while IFS= read -r line; do
  lines=$((lines + 1))
  cmd_line "${line%%  *}" 0 "README.txt"
done < <(tr -d '\r' <"$guide" | sed -n 's/^  \(msiexec .*\)$/\1/p')
[ "$lines" -ge 3 ] || record "README.txt's msiexec lines" "only $lines found"
[ -z "$installed" ] || cmd_line "msiexec /x $product_code /qn" 0 "cleaning up"

# PAGE: the page's marked blocks, in the page's order.
run_page() {
  local page=$1 name ran=0 skipped=0 number=0 marker="" inside="" block=() line block_marker="" block_line=0
  name=$(basename "$page")
  while IFS= read -r line; do
    number=$((number + 1))
    if [ -n "$inside" ]; then
      if [[ $line == '```'* ]]; then
        inside=""
        case $block_marker in
          sh)
            printf '%s\n' "${block[@]}" |
              sed "s/<version>/$version/g; s/\bHEX\b/$leaf_sha256/g; s|\bDIR\b|$tmp/download|g" >"$tmp/block.sh"
            why=""
            (cd "$tmp/release" && PATH=$tmp/bin:$PATH timeout 120 bash -euo pipefail "$tmp/block.sh") </dev/null \
              >"$tmp/out" 2>&1 ||
              why="status $?: $({ grep '^FAIL' "$tmp/out" || tail -3 "$tmp/out"; } | head -3 | tr '\n' ' ')"
            record "$name line $block_line (sh): $(head -c 60 "$tmp/block.sh" | head -1)..." "$why"
            ran=$((ran + 1))
            ;;
          cmd | "cmd status="[0-9]*)
            want=0
            [ "$block_marker" = cmd ] || want=${block_marker#cmd status=}
            for command in "${block[@]}"; do
              command=${command//<version>/$version}
              command=${command//\{ProductCode\}/$product_code}
              [ -z "$command" ] || cmd_line "$command" "$want" "$name line $block_line"
            done
            ran=$((ran + 1))
            ;;
          "not run ("*")")
            skipped=$((skipped + 1))
            echo "not run: $name line $block_line, ${block_marker#not run }"
            ;;
          "")
            record "$name line $block_line: a command block says whether docs.commands runs it" \
              "no <!-- docs.commands: ... --> marker on the line before it"
            ;;
          *)
            record "$name line $block_line: a command block says whether docs.commands runs it" \
              "'$block_marker' is not sh, cmd, cmd status=N or not run (WHY)"
            ;;
        esac
      else
        block+=("$line")
      fi
      continue
    fi
    if [[ $line == '```'* ]]; then
      inside=1 block=() block_marker=$marker block_line=$number
    fi
    marker=""
    [[ $line =~ ^'<!-- docs.commands: '(.*)' -->'$ ]] && marker=${BASH_REMATCH[1]}
  done <"$page"
  why=""
  [ "$ran" -ge 1 ] || why="none"
  record "$name: $ran blocks run, $skipped marked not run" "$why"
}
run_page "$page"
run_page "$src/docs/checking.md"

finish
