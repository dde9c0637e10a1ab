#!/usr/bin/env bash
# Main job: build the boot manager and power on a fresh simulated switch.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target switch-sim bootmgr-sim
board=$(mktemp -d /tmp/switch-XXXXXX)
./build/switch-sim new "$board/board" --serial DEMO00000001
./build/switch-sim boot "$board/board" "$@"
echo "--- events recorded by the simulated switch ($board/board/events.log) ---"
cat "$board/board/events.log"
