# Sourced by release_test.sh: holds a package's SBOM and provenance to the facts they claim,
# each found here independently of release/sbom/records.mjs: the hashes from the files
# themselves, the libraries from the link map and dpkg, the licences from the notices, the
# time and commit from git.

# The SPDX terms of each section of THIRD-PARTY-NOTICES.txt, by its title.
notice_licence() {
  case $1 in
    "mingw-w64 runtime") echo "ZPL-2.1 AND LicenseRef-mingw-w64-public-domain" ;;
    "GCC runtime library") echo "GPL-3.0-or-later WITH GCC-exception-3.1" ;;
    "The stack probe") echo "MIT" ;;
    *) echo "unknown section '$1'" ;;
  esac
}

# check_records DIR BASE EXE MAP NOTICES EPOCH COMMIT [LABEL]: BASE is dorvane-<version>-<arch>;
# EXE is the exe as shipped (the ZIP's); LABEL starts each check's name.
check_records() {
  local dir=$1 base=$2 exe=$3 map=$4 notices=$5 epoch=$6 commit=$7 label=${8:-}
  local sbom=$dir/$base.cdx.json provenance=$dir/$base.provenance.json why file
  why=$(node "$src/release/sbom/records.mjs" check "$sbom" 2>&1)
  record "$label$base.cdx.json: CycloneDX 1.6 (strict schema), licences and purls parse" "$why"

  # The exe's hashes, and the ZIP's and MSI's as its distribution forms.
  why=""
  for alg in 256 512; do
    [ "$(jq -r ".metadata.component.hashes[] | select(.alg == \"SHA-$alg\") | .content" "$sbom")" = \
      "$(sha${alg}sum <"$exe" | cut -d' ' -f1)" ] || why=$(why_not "$why" "not the shipped exe's SHA-$alg")
    for file in "$base.zip" "$base.msi"; do
      [ "$(jq -r ".metadata.component.externalReferences[] | select(.type == \"distribution\" and .url == \"$file\")
        | .hashes[] | select(.alg == \"SHA-$alg\") | .content" "$sbom")" = "$(sha${alg}sum <"$dir/$file" | cut -d' ' -f1)" ] ||
        why=$(why_not "$why" "not $file's SHA-$alg")
    done
  done
  [ "$(jq -r '.metadata.timestamp' "$sbom")" = "$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%S.000Z)" ] ||
    why=$(why_not "$why" "timestamp $(jq -r '.metadata.timestamp' "$sbom"), not the commit's")
  record "$label$base.cdx.json: the exe's, ZIP's and MSI's hashes; the commit's time" "$why"

  # The libraries: for the x86 exes the Debian packages that own the map's files, at the
  # versions installed; for ARM64 the runtime built from the mingw-w64 source package and
  # our stack probe. Each names exactly the files the map shows.
  local want have linked names
  if grep -q 'Publics by Value' "$map"; then
    linked=$(map_linked "$map")
    want=$(printf '%s\n' "dorvane-chkstk $(jq -r .version "$build/project.json")" \
      "mingw-w64-crt-aarch64 $(sed -n 's/^src_version=//p' "$src/toolchain/arm64-sysroot.sh")" | sort)
  else
    local paths
    paths=$(map_linked "$map" | xargs -r realpath)
    linked=$(xargs -rn1 basename <<<"$paths" | sort -u)
    want=$(xargs -r dpkg-query -S <<<"$paths" | cut -d: -f1 | sort -u |
      xargs -r dpkg-query -W -f='${Package} ${Version}\n' | sort)
  fi
  local libs='.components[] | select(.type == "library")'
  have=$(jq -r "$libs | \"\\(.name) \\(.version)\"" "$sbom" | sort)
  names=$(jq -r "$libs | .properties[] | select(.name == \"bsi:component:filename\") | .value" "$sbom" | sort)
  why=""
  [ "$have" = "$want" ] || why="components '$(tr '\n' ',' <<<"$have")', expected '$(tr '\n' ',' <<<"$want")'"
  [ "$names" = "$linked" ] || why=$(why_not "$why" "files '$(tr '\n' ' ' <<<"$names")', the map shows '$(tr '\n' ' ' <<<"$linked")'")
  record "$label$base.cdx.json: libraries $(tr '\n' ',' <<<"$have") are what the map links in" "$why"

  # Each library's licence is the one its files' section of the notices gives.
  why=""
  local ref expression section
  while IFS=$'\t' read -r ref expression; do
    for file in $(jq -r "$libs | select(.\"bom-ref\" == \"$ref\") | .properties[] |
                         select(.name == \"bsi:component:filename\") | .value" "$sbom"); do
      section=$(tr -d '\r' <"$notices" | awk -v f="$file" '/^[0-9]\. / { title = substr($0, 4) }
        /^Linked in: / { for (i = 3; i <= NF; i++) if ($i == f) print title }')
      [ "$expression" = "$(notice_licence "$section")" ] ||
        why=$(why_not "$why" "$ref: '$expression', the notices give $file '$(notice_licence "$section")'")
    done
  done < <(jq -r "$libs | \"\\(.\"bom-ref\")\t\\(.licenses[0].expression)\"" "$sbom")
  record "$label$base.cdx.json: each library's licence is its notices' section's" "$why"

  # Every bom-ref has its dependency entry; the shipped assembly is declared complete.
  why=""
  [ "$(jq -r '[.. | objects | select(has("bom-ref")) | ."bom-ref"] - [.metadata.tools.components[]."bom-ref"] | sort | join(" ")' "$sbom")" = \
    "$(jq -r '[.dependencies[].ref] | sort | join(" ")' "$sbom")" ] || why="a bom-ref without its dependencies entry"
  [ "$(jq -r '.dependencies[] | select(.ref == "dorvane") | .dependsOn | sort | join(" ")' "$sbom")" = \
    "$(jq -r '[(.components[] | select(.type == "library")), (.components[].components[]?) | ."bom-ref"] | sort | join(" ")' "$sbom")" ] ||
    why=$(why_not "$why" "dorvane does not depend on every library and DLL")
  [ "$(jq -r '.compositions[] | select(.aggregate == "complete") | .assemblies | sort | join(" ")' "$sbom")" = \
    "$(jq -r '["dorvane", (.components[] | select(.type == "library") | ."bom-ref")] | sort | join(" ")' "$sbom")" ] ||
    why=$(why_not "$why" "the complete composition is not the exe and its libraries")
  record "$label$base.cdx.json: dependencies for every bom-ref; the shipped assembly complete" "$why"

  # The provenance: the files beside it, the tree's commit, the installed packages.
  why=""
  local name sum
  while read -r name sum; do
    case $name in
      */dorvane.exe) file=$exe ;;
      *) file=$dir/$name ;;
    esac
    [ "$sum" = "$(sha256sum <"$file" | cut -d' ' -f1)" ] || why=$(why_not "$why" "$name's digest")
  done < <(jq -r '.subject[] | "\(.name) \(.digest.sha256)"' "$provenance")
  [ "$(jq -r '[.subject[].name] | sort | join(" ")' "$provenance")" = \
    "$(printf '%s\n' "$base/dorvane.exe" "$base.zip" "$base.msi" "$base.cdx.json" | sort | tr '\n' ' ' | sed 's/ $//')" ] ||
    why=$(why_not "$why" "subjects $(jq -c '[.subject[].name]' "$provenance")")
  [ "$(jq -r .predicate.buildDefinition.externalParameters.source.commit "$provenance")" = "$commit" ] ||
    why=$(why_not "$why" "not commit $commit")
  local package version
  while read -r package version; do
    [ "$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null)" = "$version" ] ||
      why=$(why_not "$why" "$package $version is not the installed version")
  done < <(jq -r '.predicate.buildDefinition.resolvedDependencies[] | select(.uri | test("^pkg:deb/.*arch=(?!source)"))
                  | "\(.name) \(.annotations.version)"' "$provenance")
  record "$label$base.provenance.json: subjects, commit ${commit:0:12}, installed packages" "$why"
}

# check_envelope ENVELOPE PROVENANCE CERT: verifies with the certificate's key, and fails
# with another key or one changed byte.
check_envelope() {
  local envelope=$1 provenance=$2 cert=$3 why=""
  local type
  type=$(jq -r .payloadType "$envelope")
  jq -r .payload "$envelope" | base64 -d >"$tmp/payload"
  cmp -s "$tmp/payload" "$provenance" || why="its payload is not the provenance"
  jq -r '.signatures[0].sig' "$envelope" | base64 -d >"$tmp/sig"
  openssl x509 -in "$cert" -pubkey -noout >"$tmp/pub.pem"
  openssl genrsa -out "$tmp/other.pem" 2048 2>/dev/null
  openssl rsa -in "$tmp/other.pem" -pubout -out "$tmp/other-pub.pem" 2>/dev/null
  pae() { printf 'DSSEv1 %d %s %d ' "${#type}" "$type" "$(stat -c %s "$1")" && cat "$1"; }
  pae "$tmp/payload" >"$tmp/pae"
  cp "$tmp/payload" "$tmp/changed"
  printf 'X' | dd of="$tmp/changed" bs=1 seek=100 conv=notrunc 2>/dev/null
  pae "$tmp/changed" >"$tmp/pae-changed"
  verify() { openssl dgst -sha256 -verify "$1" -signature "$tmp/sig" "$2" >/dev/null 2>&1; }
  verify "$tmp/pub.pem" "$tmp/pae" || why=$(why_not "$why" "does not verify with the certificate's key")
  verify "$tmp/other-pub.pem" "$tmp/pae" && why=$(why_not "$why" "verifies with another key")
  verify "$tmp/pub.pem" "$tmp/pae-changed" && why=$(why_not "$why" "verifies with a changed byte")
  record "$(basename "$envelope"): verifies with the release key only, for those bytes only" "$why"
}
