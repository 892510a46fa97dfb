#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build, the same under the sanitizers, short
# fuzz runs, the Windows x86_64 build under Wine, and a build of the Windows i686 reference
# target (which cannot run on these machines).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

summary=()
total=0
run_ctest() {
  local preset=$1 log
  log=$(mktemp)
  if ! ctest --preset "$preset" -j2 2>&1 | tee "$log"; then
    rm -f "$log"
    echo "FAILED: tests of the $preset build"
    exit 1
  fi
  summary+=("$preset: $(grep -E 'tests passed' "$log" | tail -1)")
  total=$((total + $(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)))
  rm -f "$log"
}

# Only system DLLs may be imported: the .exe must run on a bare Windows.
check_imports() {
  local objdump=$1 dir=$2 allowed='^(KERNEL32|USER32|GDI32|ADVAPI32|COMCTL32|SHELL32|UxTheme|msvcrt)\.dll$'
  for exe in $(find "$dir/src/app" -name "*.exe"); do
    local bad
    bad=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | grep -viE "$allowed" || true)
    if [ -n "$bad" ]; then
      echo "FAILED: $exe imports non-system DLLs: $bad"
      exit 1
    fi
  done
}

# Formatting first: it costs a second and every later step is slower.
if ! git ls-files -z '*.c' '*.h' '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run -Werror; then
  echo "FAILED: clang-format (run: git ls-files '*.c' '*.h' '*.cpp' '*.hpp' | xargs clang-format -i)"
  exit 1
fi

cmake --preset dev >/dev/null
cmake --build --preset dev
run_ctest dev

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset asan >/dev/null
cmake --build --preset asan
run_ctest asan

# The Linux test programs under valgrind's memcheck.
./scripts/valgrind.sh
summary+=("valgrind memcheck: no errors")

# Short runs of the fuzzers (clang's libFuzzer) over their seed corpora.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
run_ctest fuzz

cmake --preset win64 >/dev/null
cmake --build --preset win64
check_imports x86_64-w64-mingw32-objdump build/win64
run_ctest win64

cmake --preset win32 >/dev/null
cmake --build --preset win32
check_imports i686-w64-mingw32-objdump build/win32

# The packages build, and the Debian one installs and starts.
./scripts/package.sh
tests/packaging/check_packages.sh
summary+=("packages: built and checked")

echo
printf '%s\n' "${summary[@]}"
echo "Windows i686: built, imports only system DLLs (not runnable on this machine)"
echo "tests: $total passed, 0 failed"
