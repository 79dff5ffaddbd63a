#!/usr/bin/env bash
# Makes the README's pictures on a virtual X server: the main window as the program's own
# snapshot (one with the trail and impacts, one with the navigation grid, one with the gradient
# field, one with names shown and a robot chosen, one of 99 robots with bodies), a screenshot of a
# robot console served by the robot peer, and the plot of a recorded run. Needs Xvfb, xdotool,
# ImageMagick's import and matplotlib. Usage: docs/make_pictures.sh [build dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
out="$root/docs"
dir="$(mktemp -d /tmp/swarm_pictures_XXXXXX)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT
cd "$dir"
export DISPLAY=":$(( 400 + RANDOM % 500 ))"
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp > xvfb.txt 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.05; done

port=$(( 30000 + RANDOM % 20000 ))
printf 'scout 127.0.0.1 %d 0 1\nranger 127.0.0.1 %d 0 1\nrover 127.0.0.1 %d 0 1\n' \
  "$port" "$(( port + 2 ))" "$(( port + 4 ))" > robots.txt

# Starts the controller with a snapshot file, finds its window and enlarges it; sets app and id.
start_main() {  # file
  QT_QPA_PLATFORM=xcb "$build/swarm" --seed 7 --snapshot "$1" > swarm.txt 2>&1 &
  app=$!
  id=""
  for _ in $(seq 200); do
    id=$(xdotool search --onlyvisible --name 'Quorin Swarm Controller' 2>/dev/null | tail -1) && [ -n "$id" ] && break
    sleep 0.05
  done
  xdotool windowsize --sync "$id" 960 720
  sleep 0.5
}

# Main window, enlarged: two walls dragged with the mouse, the target placed with the right
# button, the layers switched on with their keys, then 30 s of the robots finding their way.
main_view() {  # keys, file
  start_main "$2"
  drag() { xdotool mousemove --window "$id" "$1" "$2" mousedown 1; sleep 0.1
           xdotool mousemove --window "$id" "$3" "$4"; sleep 0.1; xdotool mouseup 1; sleep 0.1; }
  drag 600 170 630 480
  drag 220 520 500 550
  xdotool mousemove --window "$id" 840 130 click 3   # the target
  xdotool windowfocus --sync "$id" key --delay 100 $1
  sleep 30
  xdotool key Escape
  wait "$app" || true
}
# Names shown and a robot chosen with a click: the three robots stand still (manual mode), so the
# place the log gives for ranger's start is where it is clicked.
chosen_view() {  # file
  sed 's/ 1$/ 0/' robots.txt > robots_auto.txt && mv robots_auto.txt robots.txt
  start_main "$1"
  local size at
  size=$(grep -o 'memdc_setup x: *[0-9]* *y: [0-9]*' log.txt | tail -1 | awk '{print $3, $5}')
  at=$(grep -o 'ranger starts at ([0-9.]*, [0-9.]*)' log.txt | tr -d '(),' | awk '{print $4, $5}')
  read -r cw ch <<< "$size"
  read -r rx ry <<< "$at"
  xdotool mousemove --window "$id" "$(awk -v x="$rx" -v w="$cw" 'BEGIN{print int(x / 10 * w)}')" \
    "$(awk -v y="$ry" -v h="$ch" 'BEGIN{print int(y / 10 * h) + 720 - h}')" click 1
  xdotool mousemove --window "$id" 840 130 click 3   # the target
  xdotool windowfocus --sync "$id" key --delay 100 l h
  sleep 2
  xdotool key Escape
  wait "$app" || true
}
if [ -z "${CONSOLE_ONLY:-}" ]; then
  main_view "m i" "$out/main_window.png"
  main_view "m i h" "$out/main_window_grid.png"
  main_view "m i g" "$out/main_window_gradient.png"
  cp robots.txt robots_three.txt
  chosen_view "$out/main_window_chosen.png"
  cp robots_three.txt robots.txt
fi

# A console in use: served by the peer, targeting on, W held.
printf 'scout 127.0.0.1 %d 1 0\n' "$port" > robots.txt
"$build/tools/robot_peer/robot_peer" --port "$port" --quiet > peer.txt 2>&1 &
pids+=($!)
QT_QPA_PLATFORM=xcb "$build/swarm" > swarm.txt 2>&1 &
app=$!
pids+=("$app")
id=""
for _ in $(seq 200); do
  id=$(xdotool search --onlyvisible --name 'Robot View' 2>/dev/null | tail -1) && [ -n "$id" ] && break
  sleep 0.05
done
main=$(xdotool search --onlyvisible --name 'Quorin Swarm Controller' 2>/dev/null | tail -1)
xdotool windowmove "$main" 820 600   # out of the console's way
xdotool windowraise "$id"
sleep 4
xdotool windowfocus --sync "$id" key t
xdotool keydown w
sleep 2
import -window "$id" "$out/console.png"
xdotool keyup w

# 99 robots with bodies in the rooms world after 30 simulated seconds, headless.
mkdir -p "$dir/bodies"
for i in $(seq 0 98); do echo "r$i 127.0.0.1 9 0 1"; done > "$dir/bodies/robots.txt"
(cd "$dir/bodies" && "$build/swarm" --headless --bodies --world "$root/demo/worlds/rooms.txt" --seed 3 \
   --fixed-step 0.01 --ticks 3000 --snapshot "$out/bodies.png" > /dev/null)

# A run's record drawn: eight robots in the rooms world for one simulated minute.
for i in 1 2 3 4 5 6 7 8; do echo "r$i 127.0.0.1 9 0 1"; done > robots.txt
QT_QPA_PLATFORM=offscreen "$build/swarm" --headless --seed 11 --fixed-step 0.01 --ticks 6000 \
  --world "$root/demo/worlds/rooms.txt" --record run.csv > swarm.txt 2>&1
python3 "$root/scripts/plot_run.py" run.csv "$out/run_plot.png"
