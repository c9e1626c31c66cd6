#!/usr/bin/env bash
# Builds every variant (32-bit Windows, Linux optimised, address+UB
# sanitizers, thread sanitizer) with warnings as errors and runs every test:
# the Windows build's tests under wine first, then the Linux suites, whose
# optimised build also runs the end-to-end scenarios with the Windows
# programs under wine, compares the two profile readers and captures the
# Windows program's notice window on an Xvfb display.
# Where this machine cannot run 32-bit x86 programs (scripts/runs-32bit.sh),
# the same Windows sources are also built for x86_64 and that build's tests
# run under wine64 instead; the 32-bit deliverable is still built and its
# exports and release archive checked.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export Q7730_WERROR=ON

step() { printf '\n==== %s ====\n' "$*"; }
timed() { # label command...: runs it and says how long it took
  local start=$SECONDS
  "${@:2}"
  printf -- '---- %s: %d s\n' "$1" $((SECONDS - start))
}

with_display() { # command...: runs it with DISPLAY on a private Xvfb
  local session status=0
  session=$(mktemp -d "${TMPDIR:-/tmp}/q7730-display.XXXXXX")
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$session/display" >/dev/null 2>&1 </dev/null &
  local xvfb=$!
  for _ in $(seq 100); do [ -s "$session/display" ] && break; sleep 0.1; done
  DISPLAY=":$(head -n1 "$session/display")" "$@" || status=$?
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$session"
  return "$status"
}

step "which Windows build this machine can test"
runs32=0
answer=$(sh scripts/runs-32bit.sh) || runs32=$?
[ "$runs32" -le 1 ] || { echo "$answer" >&2; exit 1; }
if [ "$runs32" = 0 ]; then
  tested=windows-i686
  echo "Windows build tested: windows-i686 under 32-bit wine, the deliverable itself ($answer)"
else
  tested=windows-x86_64
  echo "Windows build tested: windows-x86_64 under wine64, the same sources built for x86_64 ($answer)"
fi
windows="$root/build/$tested"

step "build windows-i686"
timed "build windows-i686" sh -c 'cmake --preset windows-i686 >/dev/null && cmake --build --preset windows-i686 -j2'
step "check the Windows export table of wirelet.dll"
bash scripts/check-windows-exports.sh build/windows-i686/wirelet.dll
if [ "$tested" = windows-x86_64 ]; then
  step "build windows-x86_64"
  timed "build windows-x86_64" sh -c 'cmake --preset windows-x86_64 >/dev/null && cmake --build --preset windows-x86_64 -j2'
  OBJDUMP=x86_64-w64-mingw32-objdump bash scripts/check-windows-exports.sh build/windows-x86_64/wirelet.dll
  step "test windows-i686: not run"
  echo "This machine cannot run 32-bit x86 programs, so the windows-i686 test programs cannot run"
  echo "under wine. They would have checked the same sources as the windows-x86_64 tests below,"
  echo "compiled for 32-bit x86 (the packed Setup API records and the __stdcall exports, which the"
  echo "build's static checks and the export table check above cover)."
fi
step "test $tested (under wine)"
timed "test $tested" bash scripts/with-wine.sh "$windows" ctest --preset "$tested" --timeout 300
step "Windows release archive"
sh scripts/check-windows-package.sh "$root/build/windows-i686"

for preset in default asan tsan; do
  step "build $preset"
  extra=()
  # One optimised build also drives the Windows programs.
  [ "$preset" = default ] && extra=(-DQ7730_WINDOWS_BUILD_DIR="$windows")
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  timed "build $preset" cmake --build --preset "$preset" -j2
  step "test $preset"
  if [ "$preset" = default ]; then
    # One Xvfb display for the wine session, started first: wine's desktop
    # process draws every window of the session (the Windows program's
    # notice window, which a test captures) on the display it started with.
    timed "test $preset" with_display env Q7730_WINDOWS_BUILD="$windows" \
      bash scripts/with-wine.sh "$windows" ctest --preset "$preset" --timeout 300
  else
    timed "test $preset" ctest --preset "$preset" --timeout 300
  fi
  if [ "$preset" = default ]; then
    step "soak: library loads, commands, open and close cycles"
    timed "soak" build/default/bench/q7730-soak --sim build/default/sim/q7730-sim \
      --library build/default/sim/wirelet.dll
  fi
done

step "Debian package of the default build"
bash scripts/check-package.sh build/default

step "fuzz every parser briefly"
timed "fuzz" fuzz/run 10
