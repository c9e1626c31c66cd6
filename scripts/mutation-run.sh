#!/usr/bin/env bash
# Puts faults into the code one at a time and runs the tests that should
# notice each: the end-to-end scenarios (the real programs against the
# simulator) and the unit tests. Every fault is reverted at once, whatever
# happens. Prints one line per fault: killed (some test failed) or survived.
#   scripts/mutation-run.sh [FAULT ...]     (default: all; names below)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build="$root/build/mutation"

# name ^ file ^ text ^ faulty text ^ e2e filter ^ unit test binary:filter
faults=(
  "controller-4095^updater/controller_update.cpp^constexpr int kBlockSize = 4096;^constexpr int kBlockSize = 4095;^UpdateTest.OnePrinter*^tests/updater/updater_tests:ControllerUpdateTest.*"
  "bulk-8192^wirelet/pipe_transfer.h^constexpr uint32_t kBulkPieceSize = 4096;^constexpr uint32_t kBulkPieceSize = 8192;^UpdateTest.OnePrinter*^tests/wirelet/wirelet_test:CommandProtocol.*"
  "longer-replies^wirelet/command_protocol.cpp^if (*received == declared + kReplyHeaderSize) {^if (*received >= declared + kReplyHeaderSize) {^UpdateTest.ReplyLonger*^tests/wirelet/wirelet_test:*Reply*:*Protocol*"
  "pipe-check-passes^wirelet/port_session.cpp^bool present = read != kNoHandle^bool present = true || read != kNoHandle^UpdateTest.PrinterPulledBetweenTwo*^tests/wirelet/wirelet_test:Ports.*"
  "timed-out-flag^wirelet/pipe_transfer.cpp^if (overran >= 0) owner_->readTimedOut = overran;^if (overran >= 0) owner_->readTimedOut = 0;^UpdateTest.SilentPrinter*^tests/wirelet/wirelet_test:*Abandoned*:*NeverSent*"
  "no-write-lock^updater/engine_update.cpp^platform::LockHolder hold(*writeLock);^(void)writeLock;^UpdateTest.ThreePrinters*^tests/updater/updater_tests:UpdatePhaseTest.*"
  "no-spacing^updater/driver.cpp^platform::SleepMs(kWorkerSpacingMs);^(void)kWorkerSpacingMs;^UpdateTest.ThreePrinters*^tests/updater/updater_tests:UpdatePhaseTest.*"
  "no-start-delay^updater/engine_update.cpp^platform::SleepMs(kStartDelayMs);^(void)kStartDelayMs;^UpdateTest.OnePrinter*^tests/updater/updater_tests:EngineUpdateTest.*"
  "sim-extra-bytes^sim/printer.cpp^if (n != size - 4) {^if (n > size - 4) {^UpdateTest.OnePrinter*^tests/sim/sim_test:PrinterTest.*"
)

wanted=("$@")
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# Runs a gtest binary with a filter in a private /tmp when we may (the
# machine-wide mutexes of other runs stay out of the way); true when it passed.
passes() {
  local binary=$1 filter=$2
  if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    unshare --mount --propagation private sh -c \
      'mount -t tmpfs none /tmp && "$0" --gtest_filter="$1" >/dev/null 2>&1' "$binary" "$filter"
  else
    "$binary" --gtest_filter="$filter" >/dev/null 2>&1
  fi
}

printf '%-20s %-10s %-10s\n' fault e2e unit
for entry in "${faults[@]}"; do
  IFS='^' read -r name file text faulty e2e unit <<<"$entry"
  if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then continue; fi
  backup=$(mktemp)
  cp "$file" "$backup"
  restore() { cp "$backup" "$file"; rm -f "$backup"; }
  trap 'restore; exit 1' INT TERM
  python3 - "$file" "$text" "$faulty" <<'PY'
import sys
path, text, faulty = sys.argv[1:4]
source = open(path).read()
if source.count(text) != 1:
    sys.exit(f"{path}: the text to change is not there exactly once: {text}")
open(path, 'w').write(source.replace(text, faulty))
PY
  if cmake --build "$build" -j2 >/dev/null 2>&1; then
    e2eResult=survived; unitResult=survived
    passes "$build/tests/e2e/e2e_update_test" "$e2e" || e2eResult=killed
    passes "$build/${unit%%:*}" "${unit#*:}" || unitResult=killed
  else
    e2eResult="no build"; unitResult="no build"
  fi
  restore
  trap - INT TERM
  printf '%-20s %-10s %-10s\n' "$name" "$e2eResult" "$unitResult"
done
cmake --build "$build" -j2 >/dev/null 2>&1 || true
