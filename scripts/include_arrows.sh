#!/usr/bin/env bash
# Counts the include arrows that run up the ownership tree: an #include in a file of one folder
# naming a header of a folder that owns it (app owns world, world owns robot, robot owns console,
# console owns link and camera). Prints each arrow, then "include_arrows_up: N".
# Usage: scripts/include_arrows.sh [source root]
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root"
# The owners of each folder, nearest first.
declare -A owners=(
  [world]="app"
  [robot]="world app"
  [console]="robot world app"
  [link]="console robot world app"
  [camera]="console robot world app"
)
count=0
for folder in "${!owners[@]}"; do
  for owner in ${owners[$folder]}; do
    while IFS= read -r hit; do
      [ -n "$hit" ] || continue
      echo "$hit"
      count=$((count + 1))
    done < <(grep -HnE "^[[:space:]]*#[[:space:]]*include[[:space:]]+\"$owner/" "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
  done
done | sort
count=$(for folder in "${!owners[@]}"; do
  for owner in ${owners[$folder]}; do
    grep -hE "^[[:space:]]*#[[:space:]]*include[[:space:]]+\"$owner/" "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true
  done
done | wc -l)
echo "include_arrows_up: $count"
