#!/usr/bin/env bash
# Quick start, first command: installs what is missing, builds, and runs the demo swarm from
# demo/robots.txt in the rooms world, robots as bodies. Without a display it runs headless for a
# while and writes a snapshot. Key S saves the world to demo/world.txt, which later runs then start from.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"
# Only what the demo runs: the tests and benchmarks wait for scripts/test.sh.
BUILD_TARGETS="swarm robot_peer" bash "$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
cd "$root/demo"
# The shipped world stays as it is; key S saves the copy.
[ -f world.txt ] || cp worlds/rooms.txt world.txt

peer_pid=""
if [ -x "$build/tools/robot_peer/robot_peer" ]; then
  "$build/tools/robot_peer/robot_peer" --config robots.txt --quiet &
  peer_pid=$!
  trap 'kill "$peer_pid" 2>/dev/null || true' EXIT
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$build/swarm" --world world.txt --bodies "$@"
else
  echo "demo: no display; running headless for 3000 ticks"
  "$build/swarm" --world world.txt --bodies --headless --ticks 3000 --fixed-step 0.01 --stats --snapshot "$root/demo/snapshot.png" "$@"
  echo "demo: snapshot of the main view written to $root/demo/snapshot.png"
fi
