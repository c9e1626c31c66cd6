#!/usr/bin/env bash
# Builds every variant (Linux optimised, address+UB sanitizers, thread
# sanitizer, 32-bit Windows) with warnings as errors and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export Q7730_WERROR=ON

step() { printf '\n==== %s ====\n' "$*"; }

for preset in default asan tsan; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  step "test $preset"
  ctest --preset "$preset" --timeout 300
done

step "build windows-i686"
cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686 -j2
step "check the Windows export table of wirelet.dll"
bash scripts/check-windows-exports.sh build/windows-i686/wirelet.dll

# One wine session on one Xvfb display: wine's desktop process draws the
# windows of every program of the session on the display it started with.
step "the Windows program's notice window under wine"
wine_check() {
  session=$(mktemp -d "${TMPDIR:-/tmp}/q7730-wine.XXXXXX")
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$session/display" >/dev/null 2>&1 </dev/null &
  xvfb=$!
  export WINEPREFIX="$root/build/windows-i686/wine-prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  # Runs in a subshell of its own: the trap ends the session however it ends.
  trap 'wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true; rm -rf "$session"' EXIT
  for _ in $(seq 100); do [ -s "$session/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$session/display")"
  mkdir -p "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1 </dev/null
  wine cmd /c exit >/dev/null 2>&1 </dev/null
  check=NoticeProgramTest.WindowsProgramShowsTheGdiNoticeUnderWine
  Q7730_WINDOWS_BUILD="$root/build/windows-i686" build/default/tests/notice/notice_program_test \
    --gtest_filter="$check" | tee "$session/result"
  grep -q "^\[       OK \] $check" "$session/result"
}
(wine_check)
