#!/usr/bin/env bash
# Makes, once, the sysroot for cross-building the 64-bit Arm Windows exe with Debian's
# clang 14 and lld 14, and prints its path. Debian ships no aarch64 mingw-w64, so its
# headers and CRT are built here from Debian's own mingw-w64 source package (the release
# its x86 mingw toolchains use); compiler-rt's one needed builtin, __chkstk, is ours.
#
# usage: arm64-sysroot.sh CACHE_DIR
#
# The sysroot is CACHE_DIR/mingw-w64_<version>_<hash>/, the hash covering this recipe (this
# script, the clang config template, chkstk.S) and the versions of the LLVM tools that
# build it. When it is already there the path is printed at once, with no network. It holds
# mingw-w64's include/, the part of its lib/ that console programs link, clang-resource/
# and aarch64-w64-mingw32.cfg; compile and link with
# `clang++-14 --config <sysroot>/aarch64-w64-mingw32.cfg`.
#
# The same inputs give byte-identical libraries in any CACHE_DIR: no debug info, build
# paths mapped away, deterministic archives. Only the config file names the folder.
set -euo pipefail

if [ $# -ne 1 ] || [ -z "$1" ]; then
  echo "usage: $0 CACHE_DIR" >&2
  exit 2
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
triple=aarch64-w64-mingw32
# The source package, its version and its .dsc's SHA-256: toolchain/arm64-runtime.json, which
# the SBOM and provenance read too.
{ read -r src_package; read -r src_version; read -r src_dsc_sha256; } < <(
  /usr/bin/python3 -c 'import json, sys; source = json.load(open(sys.argv[1]))
print(source["package"], source["version"], source["dsc_sha256"], sep="\n")' "$here/arm64-runtime.json")
# bookworm keeps this release for good, whatever the build machine runs.
mirror=${DORVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=bookworm

# The tools this needs: checked only (configure installs nothing), with the command that
# installs what is missing; this script prints only the sysroot's path.
"$here/../scripts/ensure-tools.sh" --check arm64-toolchain >&2 || exit 1

recipe_hash=$(
  {
    (cd "$here" && sha256sum arm64-sysroot.sh arm64-runtime.json aarch64-w64-mingw32.cfg.in chkstk.S)
    dpkg-query -W -f='${Package} ${Version}\n' clang-14 lld-14 llvm-14
  } | sha256sum | cut -c1-12
)

# The config file and sed below take the path as it is: keep to characters safe in both.
check_path() {
  if [[ $1 =~ [^A-Za-z0-9._/+@%,:=~-] ]]; then
    echo "arm64-sysroot.sh: CACHE_DIR may only hold letters, digits and ._/+@%,:=~-: $1" >&2
    exit 2
  fi
}
check_path "$1"
mkdir -p "$1"
cache=$(cd "$1" && pwd -P)
check_path "$cache"
name=${src_package}_${src_version}_${recipe_hash}
sysroot=$cache/$name

# The folder appears only by an atomic rename once it is complete.
if [ -f "$sysroot/$triple.cfg" ]; then
  echo "$sysroot"
  exit 0
fi

# One builder per cache at a time; a second one waits, then finds the folder made.
exec 9>"$cache/.lock"
flock 9
if [ -f "$sysroot/$triple.cfg" ]; then
  echo "$sysroot"
  exit 0
fi

# Holding the lock, any work folder left here is from a build that was killed.
rm -rf "$cache"/.build-*
work=$(mktemp -d "$cache/.build-$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
log() { echo "arm64-sysroot.sh: $*" >&2; }
run_logged() {  # LOGNAME COMMAND...: quiet unless it fails
  local logfile=$work/$1.log
  shift
  if ! "$@" >"$logfile" 2>&1; then
    tail -n 40 "$logfile" >&2
    log "failed: $*"
    exit 1
  fi
}

# Debian's source index in a private apt state inside the cache: the machine's apt setup
# is left as it is.
apt_dir=$cache/apt
mkdir -p "$apt_dir/etc/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
  "$mirror" "$suite" >"$apt_dir/etc/sources.list"
apt_opts=(
  # Our sources list and an empty sources.list.d, and none of the machine's pins.
  -o "Dir::Etc=$apt_dir/etc"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "Dir::Cache::pkgcache="
  -o "Dir::Cache::srcpkgcache="
  # apt's download user cannot write into a folder of root's (or anyone else's).
  -o "APT::Sandbox::User=$(id -un)"
)
log "fetching $src_package $src_version source"
run_logged apt-update apt-get "${apt_opts[@]}" update
mkdir "$work/src"
(cd "$work/src" && run_logged apt-source apt-get "${apt_opts[@]}" --download-only source "$src_package=$src_version")
echo "$src_dsc_sha256  $work/src/${src_package}_$src_version.dsc" | sha256sum --quiet -c -
run_logged dpkg-source dpkg-source -x "$work/src/${src_package}_$src_version.dsc" "$work/src/mingw-w64"

# Built with relative source paths and the work folder mapped to a fixed name, so nothing
# in the objects depends on where the cache is.
stage=$work/sysroot
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
cc=(clang-14 "--target=$triple" "--sysroot=$stage")
cflags="-O2 -ffile-prefix-map=$work=/mingw-w64-build"

log "building the headers"
mkdir -p "$work/headers"
(cd "$work/headers" && run_logged headers-configure ../src/mingw-w64/mingw-w64-headers/configure \
  --host=$triple --prefix="$stage" --with-default-msvcrt=msvcrt)
run_logged headers-install make -C "$work/headers" install

log "building the CRT"
mkdir -p "$work/crt"
# No dependency tracking: the tree is built once, and making its thousands of empty .Po
# files took configure over a minute of CPU.
(cd "$work/crt" && run_logged crt-configure ../src/mingw-w64/mingw-w64-crt/configure \
  --host=$triple --prefix="$stage" --disable-dependency-tracking \
  --enable-libarm64 --disable-lib32 --disable-lib64 --with-default-msvcrt=msvcrt \
  CC="${cc[*]}" CXX="clang++-14 ${cc[*]:1}" CFLAGS="$cflags" CCASFLAGS="$cflags" CXXFLAGS="$cflags" \
  AR=llvm-ar-14 RANLIB=llvm-ranlib-14 DLLTOOL=llvm-dlltool-14)
# Only what a console program links: the startup objects and libraries clang's mingw driver
# adds to every link (crt2u.o for -municode, libmingwthrd.a for -mthreads, both cheap), and
# the import libraries that it and CMake's default CMAKE_<LANG>_STANDARD_LIBRARIES name.
# The import libraries of the few hundred other DLLs cost minutes of CPU for nothing that
# links here.
crt_files=(
  crt2.o crt2u.o crtbegin.o crtend.o
  libmingw32.a libmingwex.a libmoldname.a libmingwthrd.a libmsvcrt.a
  libkernel32.a libuser32.a libgdi32.a libwinspool.a libshell32.a
  libole32.a liboleaut32.a libuuid.a libcomdlg32.a libadvapi32.a
)
# The recipes of the startup objects write into libarm64/ without making it.
mkdir "$work/crt/libarm64"
run_logged crt-make make -C "$work/crt" -j"$jobs" "${crt_files[@]/#/libarm64/}"
# Into lib/, where `make install` puts them; its ranlib of the archives changes no byte.
mkdir -p "$stage/lib"
(cd "$work/crt/libarm64" && install -m 644 "${crt_files[@]}" "$stage/lib/")

log "adding __chkstk and the clang config"
resource=$stage/clang-resource
mkdir -p "$resource/lib/windows"
ln -s "$(clang-14 -print-resource-dir)/include" "$resource/include"
clang-14 "--target=$triple" -ffile-prefix-map="$here=." -c "$here/chkstk.S" -o "$work/chkstk.o"
llvm-ar-14 rcs "$resource/lib/windows/libclang_rt.builtins-aarch64.a" "$work/chkstk.o"

gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
cxx_include=$gcc_dir/include/c++
if [ ! -f "$cxx_include/cstdio" ] || [ ! -f "$cxx_include/x86_64-w64-mingw32/bits/c++config.h" ]; then
  log "no libstdc++ headers under $cxx_include"
  exit 1
fi
sed -e "s|@SYSROOT@|$sysroot|g" -e "s|@CXX_INCLUDE@|$cxx_include|g" \
  "$here/aarch64-w64-mingw32.cfg.in" >"$stage/$triple.cfg"

# The terms of the mingw-w64 runtime code that gets linked into the exe.
mkdir -p "$stage/share/licenses/mingw-w64"
cp "$work/src/mingw-w64/COPYING.MinGW-w64-runtime/COPYING.MinGW-w64-runtime.txt" \
  "$work/src/mingw-w64/debian/copyright" "$stage/share/licenses/mingw-w64/"

mv -T "$stage" "$sysroot"
log "made $sysroot"
echo "$sysroot"
