#!/usr/bin/env bash
# The operator's desk under load: on a virtual X server, 99 robots in auto mode, ten of them with
# their consoles shown and served by the stand-in robot (control link and a 30 frames/s camera),
# the others pointing at ports where nothing answers, for 60 seconds (or the seconds given).
# Prints, one 'name: value' a line:
#   ticks_per_s      main-window ticks per second once the window is up (target: at least 95)
#   cpu_percent      the controller's CPU time over the same span, 100 = one core (at most 100)
#   camera_fps_min   the slowest served camera over any whole 5 s of frames after the first
#                    (at least 25)
# with the machine's load average before and after, since the machine may be shared.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
seconds="${1:-60}"
for p in Xvfb xdotool; do
  command -v "$p" >/dev/null || { echo "gui_load: $p is needed (scripts/bootstrap.sh installs it)" >&2; exit 1; }
done
dir="$(mktemp -d /tmp/swarm_gui_load_XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"

display=":$(( 400 + RANDOM % 500 ))"
Xvfb "$display" -screen 0 1920x1200x24 -nolisten tcp -noreset > xvfb.txt 2>&1 &
pids+=($!)
export DISPLAY="$display"
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done

base=$(( 20000 + RANDOM % 20000 ))
: > robots.txt
peer_args=()
for i in $(seq 0 98); do
  shown=0
  if [ "$i" -lt 10 ]; then shown=1; peer_args+=(--port "$(( base + 2 * i ))"); fi
  echo "r$i 127.0.0.1 $(( base + 2 * i )) $shown 1" >> robots.txt
done
echo "load_average_before: $(cut -d' ' -f1-3 /proc/loadavg)"

# Not --quiet: the peer's camera summaries give each camera's rate over 5 s of frame times.
"$build/tools/robot_peer/robot_peer" --camera-fps 30 "${peer_args[@]}" > peer.txt 2>&1 &
pids+=($!)
QT_QPA_PLATFORM=xcb "$build/swarm" --stats > swarm.txt 2>&1 &
app=$!
pids+=("$app")

for _ in $(seq 600); do
  xdotool search --onlyvisible --name 'Quorin Swarm Controller' >/dev/null 2>&1 && break
  sleep 0.05
done
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
t0=$(date +%s.%N)
c0=$(cpu "$app")
sleep "$seconds"
c1=$(cpu "$app")
t1=$(date +%s.%N)
kill -TERM "$app"
wait "$app" || true

ticks=$(awk -F': ' '/^ticks:/ {print $2}' swarm.txt)
echo "seconds: $seconds"
echo "robots: 99"
echo "consoles_served: 10"
awk -v n="${ticks:-0}" -v a="$t0" -v b="$t1" 'BEGIN { printf "ticks_per_s: %.1f\n", n / (b - a) }'
awk -v a="$c0" -v b="$c1" -v hz="$hz" -v s="$t0" -v e="$t1" \
  'BEGIN { printf "cpu_percent: %.1f\n", 100 * (b - a) / hz / (e - s) }'
# Each camera's first 5 s include the connection; its last line may be cut short by the end.
awk '/ camera [0-9]+ frames? sent \(/ {
       tag = $1; n[tag]++
       rate = $0; sub(/.*\(/, "", rate); sub(/\/s\).*/, "", rate)
       if (n[tag] > 1) { if (!(tag in low) || rate + 0 < low[tag]) low[tag] = rate + 0 }
     }
     END {
       m = -1; k = 0
       for (t in low) { k++; if (m < 0 || low[t] < m) m = low[t] }
       printf "cameras_measured: %d\n", k
       printf "camera_fps_min: %.1f\n", (m < 0 ? 0 : m)
     }' peer.txt
grep -E '^(tick_us_median|update_us_median|draw_us_median):' swarm.txt || true
echo "load_average_after: $(cut -d' ' -f1-3 /proc/loadavg)"
