#!/usr/bin/env bash
# Navigation in walled worlds: each world of demo/worlds with 99 robots in auto mode, seeded, on a
# fixed step of 0.01 s for 120 simulated seconds. Prints 'name: value' lines per world, each
# world's block starting with 'world: <name>'. Targets: targets_reached at least 10,
# target_wait_max_s at most 30, robots_still_10s at most 10.
# Usage: bench/navigation.sh [seed] [worlds...]   (BUILD_DIR or SWARM_BIN pick the program)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
swarm="${SWARM_BIN:-$build/swarm}"
seed="${1:-1}"
shift || true
worlds=("$@")
[ ${#worlds[@]} -gt 0 ] || worlds=(rooms corridor boxes shut_in)
dir="$(mktemp -d /tmp/swarm_navigation_XXXXXX)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"
: > robots.txt
# Ports nothing listens on: the links stay idle and the run is the simulation alone.
for i in $(seq 0 98); do echo "r$i 127.0.0.1 9 0 1" >> robots.txt; done
for name in "${worlds[@]}"; do
  cp "$root/demo/worlds/$name.txt" world.txt
  "$swarm" --headless --world world.txt --seed "$seed" --fixed-step 0.01 --ticks 12000 --stats > out.txt 2>&1
  echo "world: $name"
  grep -E '^(targets_reached|target_changes|target_wait_max_s|robots_still_10s|impacts|replans|tick_us_median|tick_us_p99):' out.txt
  echo "no_path_lines: $(grep -c 'no path' log.txt || true)"
done
