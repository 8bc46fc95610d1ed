#!/usr/bin/env bash
# Static checks: clang-format on all C++ sources, clang-tidy (.clang-tidy) and cppcheck on
# the product code, and the docs' links and repository paths (with the link check's own
# test first, so that a check that stopped finding anything cannot pass unseen). Needs the
# host build's compile_commands.json (configured if missing).
set -u
cd "$(dirname "$0")/.." || exit 1
product=(app/command_line.cpp app/usage.cpp app/main.cpp exit_request/exit_request.cpp
         winapi_standin/windows_standin.cpp)
[ -f build/host/compile_commands.json ] || cmake --preset host >/dev/null
passed=0
failed=0

step() {  # NAME COMMAND...
  local name=$1
  shift
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    echo "$output" | grep -vE '^[0-9]+ warnings? generated|^Suppressed|^Use -header' | head -40
  fi
}

# Every C++ file of the sources: git's list in a checkout; elsewhere (an unpacked archive)
# the same files found on disk, leaving out build trees.
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$PWD" ]; then
  mapfile -t sources < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t sources < <(find . \( -name .git -o -type d -exec test -e '{}/CMakeCache.txt' ';' \) -prune \
    -o -type f \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | LC_ALL=C sort)
fi
# An empty list would make clang-format read stdin: a hang, or a pass that checked nothing.
if [ ${#sources[@]} = 0 ]; then
  echo "FAIL no C++ sources found"
  exit 1
fi
echo "checking ${#sources[@]} C++ files"
step clang-format clang-format --dry-run -Werror "${sources[@]}"
step clang-tidy clang-tidy --quiet -p build/host "${product[@]}"
# The stand-in's parameter types are the platform's signatures, not ours to tighten.
step cppcheck cppcheck --std=c++17 --language=c++ --enable=warning,style,performance,portability \
  --error-exitcode=1 --inline-suppr --quiet --suppress='constParameter:winapi_standin/*' \
  -I . -I build/host/generated app exit_request winapi_standin
# A renamed script or page breaks here rather than in a reader's hands.
step doc-links-test timeout 120 tests/doc_links_test.py
step doc-links timeout 60 scripts/check-doc-links

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
