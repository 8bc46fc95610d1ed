#!/usr/bin/env bash
# Static checks of every language in the tree: clang-format on all C++ sources, clang-tidy
# (.clang-tidy) and cppcheck on the product code; shellcheck on every shell script,
# pyflakes on every Python file and node --check on every JavaScript module, each found by
# its name or its #! line; and the docs' links and repository paths (with the link check's
# own test first, so that a check that stopped finding anything cannot pass unseen). Needs
# the host build's compile_commands.json (configured if missing).
set -u
cd "$(dirname "$0")/.." || exit 1
product=(app/command_line.cpp app/usage.cpp app/main.cpp exit_request/exit_request.cpp
         winapi_standin/windows_standin.cpp)
[ -f build/host/compile_commands.json ] || cmake --preset host >/dev/null
passed=0
failed=0

# node --check takes one file at a time.
node-check() {
  local file status=0
  for file in "$@"; do node --check "$file" || status=1; done
  return $status
}

# The checks run side by side (each is one process, most of them a minute's work alone on
# a busy machine); their verdicts are told in the order they were started.
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
steps=()
step() {  # NAME COMMAND...
  local name=$1
  shift
  steps+=("$name")
  { "$@" >"$out/$name" 2>&1; echo $? >"$out/$name.status"; } &
}
verdicts() {
  local name
  wait
  for name in "${steps[@]}"; do
    if [ "$(cat "$out/$name.status")" = 0 ]; then
      passed=$((passed + 1))
      echo "ok   $name"
    else
      failed=$((failed + 1))
      echo "FAIL $name"
      grep -vE '^[0-9]+ warnings? generated|^Suppressed|^Use -header' "$out/$name" | head -40
    fi
  done
}

# Every file of the sources: git's list in a checkout; elsewhere (an unpacked archive) the
# same files found on disk, leaving out build trees.
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$PWD" ]; then
  mapfile -t files < <(git ls-files)
else
  mapfile -t files < <(find . \( -name .git -o -type d -exec test -e '{}/CMakeCache.txt' ';' \) -prune \
    -o -type f -print | sed 's|^\./||' | LC_ALL=C sort)
fi
# Each file's language, by its name or else its #! line.
sources=() shell=() python=() javascript=()
for file in "${files[@]}"; do
  [ -f "$file" ] || continue
  case $file in
    *.cpp | *.h) sources+=("$file"); continue ;;
    *.sh) shell+=("$file"); continue ;;
    *.py) python+=("$file"); continue ;;
    *.mjs | *.js) javascript+=("$file"); continue ;;
  esac
  IFS= read -r first <"$file" || true
  case $first in
    '#!'*python*) python+=("$file") ;;
    '#!'*bash* | '#!'*/sh | '#!'*' sh') shell+=("$file") ;;
  esac
done
# An empty list would make clang-format read stdin: a hang, or a pass that checked nothing.
if [ ${#sources[@]} = 0 ]; then
  echo "FAIL no C++ sources found"
  exit 1
fi
for kind in shell python javascript; do
  declare -n list=$kind
  if [ ${#list[@]} = 0 ]; then
    echo "FAIL no $kind files found"
    exit 1
  fi
done
echo "checking ${#sources[@]} C++, ${#shell[@]} shell, ${#python[@]} Python and ${#javascript[@]} JavaScript files"
step clang-format clang-format --dry-run -Werror "${sources[@]}"
step clang-tidy clang-tidy --quiet -p build/host "${product[@]}"
# The stand-in's parameter types are the platform's signatures, not ours to tighten.
step cppcheck cppcheck --std=c++17 --language=c++ --enable=warning,style,performance,portability \
  --error-exitcode=1 --inline-suppr --quiet --suppress='constParameter:winapi_standin/*' \
  -I . -I build/host/generated app exit_request winapi_standin
# .shellcheckrc makes shellcheck follow what a script sources.
# The shell checks are most of the time: two halves, one a core.
half=$(((${#shell[@]} + 1) / 2))
step shellcheck shellcheck "${shell[@]:0:half}"
step shellcheck-2 shellcheck "${shell[@]:half}"
step pyflakes pyflakes3 "${python[@]}"
step node-check node-check "${javascript[@]}"
# A renamed script or page breaks here rather than in a reader's hands.
step doc-links-test timeout 120 tests/doc_links_test.py
step doc-links timeout 60 scripts/check-doc-links

verdicts
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
