#!/usr/bin/env bash
# Quick start, first command: installs what is missing, builds, and runs the demo swarm from
# demo/robots.txt. Without a display it runs headless for a while and writes a snapshot.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"
bash "$root/scripts/build.sh"
build="${BUILD_DIR:-$root/build}"
cd "$root/demo"

peer_pid=""
if [ -x "$build/tools/robot_peer/robot_peer" ]; then
  "$build/tools/robot_peer/robot_peer" --config robots.txt --quiet &
  peer_pid=$!
  trap 'kill "$peer_pid" 2>/dev/null || true' EXIT
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$build/swarm" "$@"
else
  echo "demo: no display; running headless for 3000 ticks"
  "$build/swarm" --headless --ticks 3000 --fixed-step 0.01 --stats --snapshot "$root/demo/snapshot.png" "$@"
  echo "demo: snapshot of the main view written to $root/demo/snapshot.png"
fi
