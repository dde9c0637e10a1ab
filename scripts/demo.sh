#!/usr/bin/env bash
# Main job: build the boot manager and the image tool, then power on a simulated switch
# whose image slots hold production-signed sample applications (made and signed with
# bmimage), its console on this terminal; then a second board with empty slots is rescued
# through its menu by TFTP, its console answered by a script. Options go to "switch-sim
# boot" (e.g. --rtc "2026-12-03 14:05:09"). Without a terminal on standard input the
# console reads end of input and the boot runs unattended (bounded by DEMO_TIMEOUT
# seconds, default 300).
# BUILD_DIR: the build directory (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target switch-sim bootmgr-sim bmimage
board=$(mktemp -d /tmp/switch-XXXXXX)/board
status=0
if [ -t 0 ]; then
  echo "(Ctrl-C goes to the boot manager; Ctrl-\\ stops it)"
  "$build/switch-sim" demo "$board" "$@" || status=$?
else
  echo "(no terminal: unattended boot, console input at its end)"
  timeout --kill-after=10 "${DEMO_TIMEOUT:-300}" "$build/switch-sim" demo "$board" "$@" \
    </dev/null || status=$?
fi
echo "--- the boot manager ended with status $status; events recorded by the switch ($board/events.log) ---"
"$build/switch-sim" events "$board" || true
if [ -d "$board-rescue" ]; then
  echo "--- events recorded by the rescued switch ($board-rescue/events.log) ---"
  "$build/switch-sim" events "$board-rescue" || true
fi
exit "$status"
