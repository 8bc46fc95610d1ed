#!/usr/bin/env bash
# The release build under Debian's reprotest: configure, build and package one Windows
# preset from a copy of the tracked sources twice, the second time with everything this
# machine can vary varied (null virtual server, as root), and every file the package step
# leaves compared. A difference fails, keeping diffoscope's text report in the build tree.
# usage: reprotest.sh SOURCE_DIR BUILD_DIR TOOLCHAIN_FILE [--arm64-cache DIR] [--node-modules DIR]
#   (the ARM64 sysroot cache and the SBOM's npm packages, both reused as they are)
set -u
[ $# -ge 3 ] ||
  { echo "usage: $0 SOURCE_DIR BUILD_DIR TOOLCHAIN_FILE [--arm64-cache DIR] [--node-modules DIR]" >&2; exit 2; }
src=$(cd "$1" && pwd)
build=$(mkdir -p "$2" && cd "$2" && pwd)
toolchain=$(basename "$3")
shift 3
arm64_cache="" node_modules=""
while [ $# -ge 2 ]; do
  case $1 in
    --arm64-cache) arm64_cache=$2 ;;
    --node-modules) node_modules=$2 ;;
    *) echo "reprotest.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../checks.sh"
work=$build/reprotest
rm -rf "$work"
mkdir -p "$work"
report=$work/store/experiment-1.diffoscope.out
# The user the varied build runs as; it only needs to read what root reads.
builder=dorvane-build

for tool in reprotest diffoscope faketime disorderfs; do
  command -v $tool >/dev/null || { record "$tool is installed" "missing (scripts/ensure-tools.sh windows)"; finish; exit; }
done

# What git would commit, without .git: the commit and its time come from outside, as they
# do for any builder that gets a source archive.
copy_sources "$src" "$work/src"
commit=$(git -C "$src" rev-parse HEAD 2>/dev/null || echo "${DORVANE_SOURCE_COMMIT-}")
# A tree with uncommitted changes is not at any commit: its copy is built with none, and
# the package step writes no provenance (both times alike).
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  commit=""
  echo "note: $src has uncommitted changes: built with no commit, so without a provenance"
fi
epoch=$(env -u SOURCE_DATE_EPOCH cmake -DSOURCE_DIR="$src" -P "$src/cmake/source_date_epoch.cmake")

# Each variation this machine supports; those it cannot make are named with the reason.
vary=(+all)
skipped=()
skip() { vary+=("-$1"); skipped+=("$1 ($2)"); }
# Without the tests: they are not part of what ships, and they would double the cost.
args=(-DCMAKE_BUILD_TYPE=MinSizeRel "-DCMAKE_TOOLCHAIN_FILE=cmake/$toolchain" -DDORVANE_BUILD_TESTS=OFF)
[ -z "$arm64_cache" ] || args+=("-DDORVANE_ARM64_CACHE=$arm64_cache")
[ -z "$node_modules" ] || args+=("-DDORVANE_NODE_MODULES=$node_modules")
if [ "$(id -u)" = 0 ] && command -v sudo >/dev/null; then
  # Idempotent: a second run finds the user made by the first.
  id -u $builder >/dev/null 2>&1 ||
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin $builder
  # disorderfs runs as that user. Where /dev/fuse is root's alone (no udev to open it to
  # all), a "fuse" group of that user is let in, as Debian's fuse once did for its group.
  getent group fuse >/dev/null || groupadd --system fuse
  id -nG $builder | grep -qw fuse || usermod -aG fuse $builder
  if [ -c /dev/fuse ] && ! sudo -u $builder test -r /dev/fuse -a -w /dev/fuse; then
    chgrp fuse /dev/fuse && chmod g+rw /dev/fuse
  fi
  vary+=("user_group.available+=$builder:$builder" domain_host.use_sudo=1)
else
  skip user_group "needs root and sudo to build as another user"
  skip domain_host "needs root and sudo for a UTS namespace"
fi
# reprotest's varied locale; made once, like the user, where it is missing.
if ! locale -a 2>/dev/null | grep -qix 'et_EE.utf8'; then
  localedef -i et_EE -c -f UTF-8 et_EE.UTF-8 >/dev/null 2>&1 || true
fi
locale -a 2>/dev/null | grep -qix 'et_EE.utf8' || skip locales "et_EE.UTF-8 cannot be made here (localedef)"
if [ ! -c /dev/fuse ]; then
  skip fileordering "no /dev/fuse for disorderfs"
elif [ "$(id -u)" != 0 ] && ! { [ -r /dev/fuse ] && [ -w /dev/fuse ]; }; then
  skip fileordering "/dev/fuse is not open to this user"
fi
[ "$(nproc)" -gt 1 ] || skip num_cpus "one CPU only"
# The clock: the control build at the sources' newest file time, the other years ahead.
vary+=("time.faketimes+=+7years")
# reprotest varies the kernel through setarch: on a 64-bit machine, the reported version.
echo "note: kernel varies the version uname reports (2.6.x), not the machine: reprotest offers a 64-bit build no 32-bit personality"

# The build a rebuilder runs, its output being every file the package step leaves in
# package/ (CPack's staging folder beside them is its scratch; the ZIP holds what it held).
printf -v configure '%q ' cmake -S . -B build -G Ninja "${args[@]}"
# The PATH keeps its variation but loses the wrappers reprotest and this script put on it
# for themselves (their mkdir and sudo are not the build's).
unwrap="PATH=\$(printf '%s' \"\$PATH\" | tr : '\\n' | grep -vE '/reprotest\\.[^/]+/bin\$|^$work/bin\$' | paste -sd:)"
command="export SOURCE_DATE_EPOCH=$epoch DORVANE_SOURCE_COMMIT=$commit && $unwrap && $configure && cmake --build build --target package"

printf -v list '%s,' "${vary[@]}"
echo "variations: ${list%,}"
printf 'left out: %s\n' "${skipped[@]:-none}"

# reprotest 0.7.23 calls "sudo -h localhost" to quiet a host lookup, which sudo 1.9.13 reads
# as a remote host and refuses; and Debian's secure_path would undo the varied PATH of the
# build it runs as the other user. This sudo, first on reprotest's PATH only, mends both.
mkdir "$work/bin"
# shellcheck disable=SC2016 # the stand-in's own arguments, expanded when it runs
printf '%s\n' '#!/bin/sh' '[ "$1 $2" = "-h localhost" ] && shift 2' 'exec /usr/bin/sudo --preserve-env=PATH "$@"' >"$work/bin/sudo"
chmod 755 "$work/bin/sudo"

start=$(date +%s)
# diffoscope reads a 64-bit exe with objdump, which shows its strings as instructions; as a
# hex dump, with its text column, they read as they are (a path, a date, a name).
PATH=$work/bin:$PATH reprotest --verbosity 1 --min-cpus 1 --store-dir "$work/store" --variations "${list%,}" \
  --diffoscope-arg=--exclude-directory-metadata=yes --diffoscope-arg=--exclude-command=^objdump \
  -s "$work/src" "$command" 'build/package/dorvane-*' -- null >"$work/reprotest.log" 2>&1
status=$?
echo "reprotest: status $status in $(($(date +%s) - start)) s (log $work/reprotest.log)"
grep -E '^INFO:reprotest.build:[A-Z_]+ variation' "$work/reprotest.log" | sed 's/^INFO:reprotest.build:/  /' | sort -u

control=$work/store/control
files=$(cd "$control" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
why=""
[ -n "$files" ] || why="the control build left no package (see $work/reprotest.log)"
grep -q 'zip' <<<"$files" && grep -q 'msi' <<<"$files" || why=$(why_not "$why" "no ZIP or MSI in build/package")
record "the package step made: $(for f in $files; do printf '%s ' "${f##*/}"; done)" "$why"
for file in $files; do
  why=""
  cmp -s "$control/$file" "$work/store/experiment-1/$file" || why="differs: diffoscope's report is $report"
  record "same bytes under every variation: ${file##*/}" "$why"
done
if [ $status != 0 ] && [ -s "$report" ]; then
  # Each differing file or member and its first changed lines; the MSI's cabinet is
  # compressed, and the ZIP shows the same files readably.
  echo "diffoscope's report: $report"
  awk '/├── / { name = $0; sub(/^.*├── (\+\+\+ )?/, "", name); sub(/^.*\/build\/package\//, "", name)
                if ($0 ~ /├── \+\+\+ /) skip = (name ~ /\.msi$/)
                shown = 0; if (!skip && name !~ /^\//) print "  " name; next }
       !skip && /^(│ )*│ [-+]/ && shown++ < 4 { sub(/^(│ )*│ /, ""); print "    " $0 }' "$report" | head -40
elif [ $status != 0 ]; then
  record "reprotest ran" "status $status: $(tail -5 "$work/reprotest.log" | tr '\n' ' ')"
fi
# The sources' copy is reprotest's to vary; kept only when something differs.
[ $status != 0 ] || rm -rf "$work/src"
finish
