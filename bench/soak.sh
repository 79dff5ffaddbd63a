#!/usr/bin/env bash
# Soak: 99 robots in auto mode, the stand-in robot serving ten of them (control and camera), the
# others pointing at ports where nothing answers, headless, for ten minutes (or the seconds given).
# Prints resident memory after the first minute and at the end; the end should be within 10%.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-600}"
first="${2:-60}"
dir="$(mktemp -d /tmp/swarm_soak_XXXXXX)"
cd "$dir"
base=$(( 20000 + RANDOM % 20000 ))
: > robots.txt
for i in $(seq 0 98); do
  echo "r$i 127.0.0.1 $(( base + 2 * i )) 0 1" >> robots.txt
done
peer_args=()
for i in $(seq 0 9); do peer_args+=(--port "$(( base + 2 * i ))"); done
"$build/tools/robot_peer/robot_peer" --quiet "${peer_args[@]}" > peer.txt 2>&1 &
peer=$!
"$build/swarm" --headless --stats > swarm.txt 2>&1 &
app=$!
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
sleep "$first"
early=$(rss "$app")
sleep $(( seconds - first ))
late=$(rss "$app")
kill -TERM "$app"; wait "$app" || true
kill -TERM "$peer"; wait "$peer" || true
echo "soak_seconds: $seconds"
echo "robots: 99"
echo "served_robots: 10"
echo "frames_per_second_line_count: $(grep -c '\[Client Main\] FPS:' log.txt || true)"
echo "rss_after_${first}s_kb: $early"
echo "rss_at_end_kb: $late"
awk -v a="$early" -v b="$late" 'BEGIN { printf "rss_growth: %.3f\n", b / a }'
grep -E '^(ticks|tick_us_median|update_us_median|draw_us_median):' swarm.txt || true
cd /; rm -rf "$dir"
