# shellcheck shell=bash disable=SC2154 # (the package's names are the fixture's: fixture.env)
# Sourced by release_test.sh: holds a package's SBOM and provenance to the facts they claim
# that scripts/verify-release cannot know, each found here independently of
# release/sbom/records.mjs: the libraries from the link map and dpkg, the licences from the
# notices, the time and commit from git. What they read is the sourcing script's: src, the
# sources; build, the build tree whose project.json names the version; tmp, a folder for the
# checks' own files; DORVANE_NODE_MODULES, the npm packages the records were written with.
# (A row's reasons gather in why; tally, signing_checks.sh's, records them and clears why.)

# The SPDX terms of each section of THIRD-PARTY-NOTICES.txt, by its title.
notice_licence() {
  case $1 in
    "mingw-w64 runtime") echo "ZPL-2.1 AND LicenseRef-mingw-w64-public-domain" ;;
    "GCC runtime library") echo "GPL-3.0-or-later WITH GCC-exception-3.1" ;;
    "The stack probe") echo "MIT" ;;
    *) echo "unknown section '$1'" ;;
  esac
}

# package_of FILE...: the "package version" that owns each file (a program's name: the one
# on PATH), one a line.
package_of() {
  local p
  for p in "$@"; do
    [[ $p == /* ]] || p=$(command -v "$p") || continue
    p=$(realpath "$p") && dpkg-query -S "$p" | cut -d: -f1
  done | sort -u | xargs -r dpkg-query -W -f="\${Package} \${Version}\n"
}

# check_records DIR MAP NOTICES EPOCH COMMIT [LABEL]: DIR's package; LABEL starts each check's
# name. The schema, the files' hashes and the subjects, scripts/verify-release checks on
# these packages (release.verify).
check_records() {
  local dir=$1 map=$2 notices=$3 epoch=$4 commit=$5 label=${6:-}
  local sbom_file=$dir/$sbom provenance_file=$dir/$provenance why="" file
  [ "$(jq -r '.metadata.timestamp' "$sbom_file")" = "$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%S.000Z)" ] ||
    why="timestamp $(jq -r '.metadata.timestamp' "$sbom_file"), not the commit's"
  tally "$label$sbom: the commit's time"

  # The libraries: for the x86 exes the Debian packages that own the map's files, at the
  # versions installed; for ARM64 the runtime built from the mingw-w64 source package and
  # our stack probe. Each names exactly the files the map shows.
  local want have linked names paths
  if grep -q 'Publics by Value' "$map"; then
    linked=$(map_linked "$map")
    want=$(printf '%s\n' "dorvane-chkstk $(jq -r .version "$build/project.json")" \
      "mingw-w64-crt-aarch64 $(jq -r .version "$src/toolchain/arm64-runtime.json")" | sort)
  else
    paths=$(map_linked "$map" | xargs -r realpath)
    linked=$(xargs -rn1 basename <<<"$paths" | sort -u)
    # shellcheck disable=SC2086 # (the map's paths split into words, as xargs split them)
    want=$(package_of $paths | sort)
  fi
  local libs='.components[] | select(.type == "library")'
  have=$(jq -r "$libs | \"\\(.name) \\(.version)\"" "$sbom_file" | sort)
  names=$(jq -r "$libs | .properties[] | select(.name == \"bsi:component:filename\") | .value" "$sbom_file" | sort)
  [ "$have" = "$want" ] || why="components '$(tr '\n' ',' <<<"$have")', expected '$(tr '\n' ',' <<<"$want")'"
  [ "$names" = "$linked" ] || why=$(why_not "$why" "files '$(tr '\n' ' ' <<<"$names")', the map shows '$(tr '\n' ' ' <<<"$linked")'")
  tally "$label$sbom: libraries $(tr '\n' ',' <<<"$have") are what the map links in"

  # Each library's licence is the one its files' section of the notices gives.
  local ref expression section
  while IFS=$'\t' read -r ref expression; do
    for file in $(jq -r "$libs | select(.\"bom-ref\" == \"$ref\") | .properties[] |
                         select(.name == \"bsi:component:filename\") | .value" "$sbom_file"); do
      section=$(tr -d '\r' <"$notices" | awk -v f="$file" '/^[0-9]\. / { title = substr($0, 4) }
        /^Linked in: / { for (i = 3; i <= NF; i++) if ($i == f) print title }')
      [ "$expression" = "$(notice_licence "$section")" ] ||
        why=$(why_not "$why" "$ref: '$expression', the notices give $file '$(notice_licence "$section")'")
    done
  done < <(jq -r "$libs | \"\\(.\"bom-ref\")\t\\(.licenses[0].expression)\"" "$sbom_file")
  tally "$label$sbom: each library's licence is its notices' section's"

  # Every bom-ref has its dependency entry; the shipped assembly is declared complete.
  [ "$(jq -r '[.. | objects | select(has("bom-ref")) | ."bom-ref"] - [.metadata.tools.components[]."bom-ref"] | sort | join(" ")' "$sbom_file")" = \
    "$(jq -r '[.dependencies[].ref] | sort | join(" ")' "$sbom_file")" ] || why="a bom-ref without its dependencies entry"
  [ "$(jq -r '.dependencies[] | select(.ref == "dorvane") | .dependsOn | sort | join(" ")' "$sbom_file")" = \
    "$(jq -r '[(.components[] | select(.type == "library")), (.components[].components[]?) | ."bom-ref"] | sort | join(" ")' "$sbom_file")" ] ||
    why=$(why_not "$why" "dorvane does not depend on every library and DLL")
  [ "$(jq -r '.compositions[] | select(.aggregate == "complete") | .assemblies | sort | join(" ")' "$sbom_file")" = \
    "$(jq -r '["dorvane", (.components[] | select(.type == "library") | ."bom-ref")] | sort | join(" ")' "$sbom_file")" ] ||
    why=$(why_not "$why" "the complete composition is not the exe and its libraries")
  tally "$label$sbom: dependencies for every bom-ref; the shipped assembly complete"

  # The provenance: the tree's commit, the installed packages.
  [ "$(jq -r .predicate.buildDefinition.externalParameters.source.commit "$provenance_file")" = "$commit" ] ||
    why="not commit $commit"
  local package version arch
  while read -r package version arch; do
    [ "$(dpkg-query -W -f='${Version}' "$package:$arch" 2>/dev/null)" = "$version" ] ||
      why=$(why_not "$why" "$package $version is not the installed version")
  done < <(jq -r '.predicate.buildDefinition.resolvedDependencies[] | select(.uri | test("^pkg:deb/.*arch=(?!source)"))
                  | "\(.name) \(.annotations.version) \(.annotations.arch)"' "$provenance_file")
  tally "$label$provenance: commit ${commit:0:12}, installed packages"
  # Every npm package installed for the records (the SBOM's and the Sigstore bundle's), by the
  # lock file's integrity hash.
  why=$(/usr/bin/python3 - "$provenance_file" "$src/release/sbom/package-lock.json" "$DORVANE_NODE_MODULES" <<'EOF'
import base64, json, os, sys
provenance, lock, modules = sys.argv[1:]
named = {d.get("name"): d for d in json.load(open(provenance))["predicate"]["buildDefinition"]["resolvedDependencies"]
         if d.get("uri", "").startswith("pkg:npm/")}
problems = []
for path, entry in json.load(open(lock))["packages"].items():
    installed = os.path.join(os.path.dirname(modules), path, "package.json")
    if not path or not os.path.exists(installed):
        continue
    name = path.split("node_modules/")[-1]
    algorithm, value = entry["integrity"].split("-", 1)
    d = named.get(name, {})
    if not d.get("uri", "").endswith("@" + json.load(open(installed))["version"]) or \
            d.get("digest") != {algorithm: base64.b64decode(value).hex()}:
        problems.append(name)
unnamed = sorted({"@cyclonedx/cyclonedx-library", "@sigstore/bundle", "@sigstore/verify"} - set(named))
print("; ".join(filter(None, [problems and "not named as installed and locked: " + ", ".join(problems),
                              unnamed and "not named at all: " + ", ".join(unnamed)])))
EOF
  )
  record "$label$provenance: the npm packages installed, by their lock file's integrity" "$why"
}

# check_envelope ENVELOPE PROVENANCE: records.mjs refuses to make an envelope of a signature
# the key given does not verify. (That the envelope carries the provenance and verifies with
# the signer's key alone, scripts/verify-release checks: release.verify, tests/verify.)
check_envelope() {
  local why=""
  jq -r '.signatures[0].sig' "$1" | base64 -d >"$tmp/sig"
  openssl genrsa 2048 2>/dev/null | openssl rsa -pubout -out "$tmp/other-pub.pem" 2>/dev/null
  node "$src/release/sbom/records.mjs" envelope "$2" "$tmp/sig" "$tmp/other-pub.pem" \
    "$tmp/other.intoto.jsonl" >"$tmp/other.log" 2>&1 && why="an envelope made"
  grep -q "does not verify the envelope's signature" "$tmp/other.log" ||
    why=$(why_not "$why" "said $(head -c 200 "$tmp/other.log")")
  record "records.mjs refuses to make an envelope with a key that did not sign it" "$why"
}

# check_bundle DIR CERT [LABEL]: Sigstore's own verifier (tests/release/sigstore_verify.mjs:
# offline, only the certificate's key) takes DIR's bundle for the ZIP, the MSI and the SBOM,
# and refuses another key, a changed ZIP and a broken signature. (That the bundle is the
# envelope, with its key's hint, scripts/verify-release checks: release.verify, tests/verify.)
check_bundle() {
  local dir=$1 cert=$2 label=${3:-} why=""
  local bundle_file=$dir/$bundle name file key artifacts want pattern status
  openssl x509 -in "$cert" -pubkey -noout >"$tmp/bundle-pub.pem"
  openssl genrsa 2048 2>/dev/null | openssl rsa -pubout -out "$tmp/bundle-other.pem" 2>/dev/null
  mkdir -p "$tmp/bundle-changed"
  cp "$dir/$zip" "$tmp/bundle-changed/"
  printf 'X' | dd of="$tmp/bundle-changed/$zip" bs=1 seek=100 conv=notrunc 2>/dev/null
  # The broken one: its signature decoded, one bit of byte 100 flipped, encoded again.
  jq -r '.dsseEnvelope.signatures[0].sig' "$bundle_file" | base64 -d |
    /usr/bin/python3 -c 'import sys; b = bytearray(sys.stdin.buffer.read()); b[100] ^= 1; sys.stdout.buffer.write(b)' |
    base64 -w0 | jq -R --slurpfile doc "$bundle_file" '. as $sig | $doc[0] | .dsseEnvelope.signatures[0].sig = $sig' \
    >"$tmp/broken.sigstore.json"
  # NAME|BUNDLE|KEY|ARTIFACTS|STATUS|a line of its output
  while IFS='|' read -r name file key artifacts want pattern; do
    # shellcheck disable=SC2086 # the artifacts are words
    node "$src/tests/release/sigstore_verify.mjs" "$file" "$key" $artifacts >"$tmp/sigstore.log" 2>&1
    status=$?
    [ "$status" = "$want" ] || why="status $status, expected $want"
    grep -qE -- "$pattern" "$tmp/sigstore.log" || why=$(why_not "$why" "no line /$pattern/")
    [ -z "$why" ] || sed 's/^/  | /; s/passed, \([0-9]*\) failed/passed; \1 failed/' "$tmp/sigstore.log"
    tally "$label$bundle, Sigstore's verifier: $name"
  done <<EOT
the ZIP, the MSI and the SBOM are signed subjects|$bundle_file|$tmp/bundle-pub.pem|$dir/$zip $dir/$msi $dir/$sbom|0|^4 passed, 0 failed
another key is refused|$bundle_file|$tmp/bundle-other.pem|$dir/$zip|1|^FAIL $bundle: .*signature verification failed
a changed ZIP is refused|$bundle_file|$tmp/bundle-pub.pem|$tmp/bundle-changed/$zip|1|^FAIL $zip: its SHA-256 is a signed subject: [0-9a-f]{64} is no subject's
a broken signature is refused|$tmp/broken.sigstore.json|$tmp/bundle-pub.pem|$dir/$zip|1|^FAIL broken.sigstore.json: .*signature verification failed
EOT
}

# check_record_cases BUILD SOURCES SIGNED_BUILD: the records against
# what they must not claim, each read here from git, CMake's own files, dpkg and apt, in
# one table. BUILD is a copy's build tree (with a commit given) whose package step runs
# again for some cases, leaving it changed; SOURCES its sources, made a git checkout here.
check_record_cases() {
  local build=$1 sources=$2 signed=$3 package=$1/$folder
  local sbom_file=$package/$sbom provenance_file=$package/$provenance
  # Fixed identity and dates: the checkout's commit is the same wherever the test runs.
  local git=(git -C "$sources" -c user.name=t -c user.email=t@t)
  "${git[@]}" init -q && "${git[@]}" add -A && GIT_COMMITTER_DATE=@1700000000 "${git[@]}" commit -q --allow-empty --date=@1700000000 -m one
  local head toolchain cxx programs=() var prog apt=$tmp/apt linker
  head=$("${git[@]}" rev-parse HEAD)
  # The toolchain as CMake found it, and the packages dpkg says own those programs.
  local compilers=("$build"/CMakeFiles/*/CMakeCXXCompiler.cmake "$build"/CMakeFiles/*/CMakeRCCompiler.cmake)
  cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "${compilers[0]}")
  for var in CXX_COMPILER LINKER AR RC_COMPILER; do
    programs+=("$(sed -n "s/^set(CMAKE_$var \"\\(.*\\)\")\$/\\1/p" "${compilers[@]}" | head -1)")
  done
  for prog in cc1plus as ld; do programs+=("$("$cxx" -print-prog-name=$prog)"); done
  toolchain=$(package_of "${programs[@]}")
  # A local archive that is not Debian's, holding the installed version of the linker's
  # package: through APT_CONFIG, apt attributes that package to it and knows no other.
  linker=$(dpkg-query -S "$(realpath "${programs[1]}")" | cut -d: -f1)
  mkdir -p "$apt/archive" "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/etc/preferences.d" "$apt/etc/trusted.gpg.d"
  { dpkg-query -s "$linker" | grep -vE '^(Status|Conffiles|Config-Version):|^ /'
    printf 'Filename: pool/%s.deb\nSize: 1\n\n' "$linker"; } >"$apt/archive/Packages"
  printf '%s\n' 'Origin: DORVANE Test Archive' 'Label: DORVANE Test' 'Suite: test' 'Codename: test' >"$apt/archive/Release"
  echo "deb [trusted=yes] file:$apt/archive ./" >"$apt/etc/sources.list"
  printf 'Dir::Etc "%s";\nDir::State::Lists "%s";\nDir::Cache "%s";\n' "$apt/etc" "$apt/lists" "$apt/cache" >"$apt/apt.conf"
  APT_CONFIG=$apt/apt.conf apt-get update -qq >"$tmp/apt.log" 2>&1 || cat "$tmp/apt.log"

  # NAME|HOW|DORVANE_SOURCE_COMMIT|WANT. HOW: tools or serials read the records as built;
  # dirty changes a tracked file, clean does not, apt asks apt through the test archive,
  # each running the package step again. WANT: the step's line, or "provenance" of HEAD.
  local cases=(
    "metadata.tools is the toolchain CMake found, by dpkg; every program in the provenance|tools||"
    "signed and unsigned SBOMs differ and so do their serials; one content, one serial|serials||"
    "a tracked file changed, not committed|dirty||No provenance: the tracked files of .* have uncommitted changes"
    "DORVANE_SOURCE_COMMIT not a full commit id|clean|${head:0:12}|No provenance: DORVANE_SOURCE_COMMIT is not a full commit id"
    "DORVANE_SOURCE_COMMIT not the checkout's HEAD|clean|0123456789abcdef0123456789abcdef01234567|No provenance: DORVANE_SOURCE_COMMIT .* is not the checkout's HEAD"
    "a package from an archive that is not Debian's, the others of unknown origin|apt|$head|provenance"
  )
  local row name how given want why="" have serial tool dep purl one bindings
  for row in "${cases[@]}"; do
    IFS='|' read -r name how given want <<<"$row"
    case $how in
      tools)
        have=$(jq -r '.metadata.tools.components[] | select(.purl // "" | startswith("pkg:deb/")) | "\(.name) \(.version)"' "$sbom_file" | sort)
        [ "$have" = "$toolchain" ] || why="tools '$(tr '\n' ',' <<<"$have")', CMake's toolchain is '$(tr '\n' ',' <<<"$toolchain")'"
        # The MSI step writes its summary and cabinet through these bindings.
        bindings=$(dpkg-query -W -f="\${Package} \${Version}\n" gir1.2-libmsi-1.0 gir1.2-gcab-1.0 libgcab-1.0-0 python3-gi)
        # (Python as the MSI step runs it, and the token's engine and module that sign.)
        for dep in "$provenance_file:cmake ninja msibuild node strip-nondeterminism perl /usr/bin/python3 $(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")" \
          "$signed/package/$provenance:osslsigncode openssl ${engine-} ${module-}"; do
          have=$(jq -r '.predicate.buildDefinition.resolvedDependencies[] | "\(.name) \(.annotations.version)"' "${dep%%:*}" | sort)
          # shellcheck disable=SC2086
          while read -r tool; do
            grep -qxF "$tool" <<<"$have" || why=$(why_not "$why" "$(basename "${dep%%:*}") lacks $tool")
          done < <(package_of ${dep#*:}; echo "$toolchain"; echo "$bindings")
        done ;;
      serials)
        cmp -s "$sbom_file" "$signed/package/$sbom" && why="the signed SBOM is the unsigned one"
        # Each a UUID version 5 of the document without it, keys in order: one content, one
        # serial (so two SBOMs that differ have two serials).
        for one in "$sbom_file" "$signed/package/$sbom"; do
          serial=$(jq -r .serialNumber "$one")
          [ "$serial" = "urn:uuid:$(jq -cS 'del(.serialNumber)' "$one" | tr -d '\n' |
            /usr/bin/python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.NAMESPACE_URL, sys.stdin.read()))')" ] ||
            why=$(why_not "$why" "$serial is not the UUIDv5 of $(basename "$(dirname "$(dirname "$one")")")'s content")
        done ;;
      *)
        [ "$how" = dirty ] && echo "changed" >>"$sources/LICENSE"
        [ "$how" = dirty ] || "${git[@]}" checkout -q -- LICENSE
        local env=(env -u SOURCE_DATE_EPOCH DORVANE_SOURCE_COMMIT="$given")
        [ "$how" = apt ] && env+=(APT_CONFIG="$apt/apt.conf")
        "${env[@]}" cmake --build "$build" --target package >"$tmp/case.log" 2>&1 || why="the package step failed"
        [ -s "$sbom_file" ] || why=$(why_not "$why" "no SBOM")
        if [ "$want" = provenance ]; then
          [ "$(jq -r .predicate.buildDefinition.externalParameters.source.commit "$provenance_file" 2>/dev/null)" = "$head" ] ||
            why=$(why_not "$why" "no provenance of $head")
        else
          [ -e "$provenance_file" ] && why=$(why_not "$why" "a provenance all the same")
          grep -q -- "^-- $want" "$tmp/case.log" || why=$(why_not "$why" "no line '$want'")
          grep -q "$head" "$sbom_file" && why=$(why_not "$why" "the SBOM names the commit")
        fi
        if [ "$how" = apt ]; then
          # The linker's package is the test archive's, in the SBOM's tools and in the
          # provenance; cmake, which apt now knows from dpkg's status only, is of unknown
          # origin and has no .deb's digest, saying so; none is named Debian's.
          tool=$(jq -c --arg n "$linker" '.metadata.tools.components[] | select(.name == $n)' "$sbom_file")
          [ "$(jq -r .supplier.name <<<"$tool")" = "DORVANE Test Archive" ] ||
            why=$(why_not "$why" "$linker's supplier: $(jq -c .supplier <<<"$tool")")
          dep=$(jq -c --arg n "$linker" '.predicate.buildDefinition.resolvedDependencies[] | select(.name == $n)' "$provenance_file")
          for purl in "$(jq -r .purl <<<"$tool")" "$(jq -r .uri <<<"$dep")"; do
            [[ $purl == pkg:deb/dorvane-test-archive/$linker@* ]] || why=$(why_not "$why" "$linker's purl: '$purl'")
          done
          dep=$(jq -c '.predicate.buildDefinition.resolvedDependencies[] | select(.name == "cmake")' "$provenance_file")
          [[ $(jq -r .uri <<<"$dep") == pkg:deb/cmake@* ]] && [ -z "$(jq -r '.digest.sha256 // empty' <<<"$dep")" ] &&
            [[ $(jq -r .annotations.origin <<<"$dep") == unknown:* ]] && [[ $(jq -r .annotations.digest <<<"$dep") == unknown:* ]] ||
            why=$(why_not "$why" "cmake: $dep")
          grep -q '"pkg:deb/debian/' "$sbom_file" "$provenance_file" && why=$(why_not "$why" "a package named Debian's")
        fi ;;
    esac
    [ -z "$why" ] || tail -3 "$tmp/case.log" 2>/dev/null
    tally "records: $name"
  done
}
