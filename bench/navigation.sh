#!/usr/bin/env bash
# Navigation in walled worlds: every world of demo/worlds and bench/worlds, 3 seeds each, 99
# robots in auto mode on a fixed step of 0.01 s for 120 simulated seconds. Prints one table row per
# run and the sum of still robots over all runs. Targets for every run: targets at least 10, the
# target never waits more than 30 s, at most 3 robots still over the last 10 s (the closed room of
# shut_in excepted: robots that start inside it have no way out).
# With SWARM_BEFORE=<another swarm binary> every run is made with both programs, side by side.
# With BODIES=1 the robots are bodies (--bodies), the worlds are open (no walls but the border),
# rooms, corridor and boxes unless named, and the targets are: bodies never overlap more than
# 0.01, targets at least 10, at most 10 robots still over the last 10 s.
# Usage: bench/navigation.sh [worlds...]   SEEDS="1 2 3", JOBS=2, TICKS=12000, BUILD_DIR or
#        SWARM_BIN pick the program, SWARM_ARGS adds options.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
swarm="${SWARM_BIN:-$build/swarm}"
before="${SWARM_BEFORE:-}"
seeds="${SEEDS:-1 2 3}"
jobs="${JOBS:-2}"
ticks="${TICKS:-12000}"
worlds=("$@")
bodies="${BODIES:-}"
if [ -n "$bodies" ]; then
  export SWARM_ARGS="${SWARM_ARGS:-} --bodies"
  [ ${#worlds[@]} -gt 0 ] || worlds=(open rooms corridor boxes)
fi
if [ ${#worlds[@]} -eq 0 ]; then
  for f in "$root"/demo/worlds/*.txt "$root"/bench/worlds/*.txt; do worlds+=("$(basename "$f" .txt)"); done
fi
dir="$(mktemp -d /tmp/swarm_navigation_XXXXXX)"
trap 'rm -rf "$dir"' EXIT

# One run: world, seed, program, tag. Leaves its figures in $dir/<tag>-<world>-<seed>.txt.
run_one() {
  local world="$1" seed="$2" bin="$3" tag="$4" file world_args=()
  file="$root/demo/worlds/$world.txt"
  [ -f "$file" ] || file="$root/bench/worlds/$world.txt"
  local d="$dir/$tag-$world-$seed"
  mkdir -p "$d"
  # Ports nothing listens on: the links stay idle and the run is the simulation alone.
  for i in $(seq 0 98); do echo "r$i 127.0.0.1 9 0 1"; done > "$d/robots.txt"
  # The open world is the world without a file.
  if [ "$world" != open ]; then cp "$file" "$d/world.txt"; world_args=(--world world.txt); fi
  (cd "$d" && "$bin" --headless "${world_args[@]}" --seed "$seed" --fixed-step 0.01 --ticks "$ticks" --stats \
     ${SWARM_ARGS:-} > out.txt 2>&1 || echo "exit_code: $?" >> out.txt)
  mv "$d/out.txt" "$dir/$tag-$world-$seed.txt"
  rm -rf "$d"
}
export -f run_one
export dir root ticks

{
  for w in "${worlds[@]}"; do
    for s in $seeds; do
      echo "$w $s $swarm after"
      [ -z "$before" ] || echo "$w $s $before before"
    done
  done
} | xargs -P "$jobs" -L 1 bash -c 'run_one "$@"' _

figure() { grep -E "^$2:" "$1" 2>/dev/null | head -1 | awk '{print $2}' || true; }
printf '%-13s %4s %8s %9s %6s %6s' world seed targets wait_max still held_s
[ -z "$bodies" ] || printf ' %8s' overlap
printf ' %6s' ok
[ -z "$before" ] || printf ' | %8s %9s %6s %6s' targets wait_max still held_s
printf '\n'
sum_after=0; sum_before=0; failed=0
for w in "${worlds[@]}"; do
  for s in $seeds; do
    f="$dir/after-$w-$s.txt"
    t=$(figure "$f" targets_reached); wt=$(figure "$f" target_wait_max_s); st=$(figure "$f" robots_still_10s)
    h=$(figure "$f" robots_held_max_s); o=$(figure "$f" bodies_overlap_max)
    ok=yes
    limit=3
    # Robots that start inside the closed room of shut_in have no way out and may stand still.
    [ "$w" != shut_in ] || limit=12
    if [ -n "$bodies" ]; then
      limit=10
      if [ -z "$o" ] || awk "BEGIN{exit !($o > 0.01)}"; then ok=no; fi
    elif [ -n "$wt" ] && awk "BEGIN{exit !($wt > 30)}"; then
      ok=no
    fi
    if [ -z "$t" ] || [ "$t" -lt 10 ] || [ "${st:-99}" -gt "$limit" ]; then ok=no; fi
    [ "$ok" = yes ] || failed=$((failed + 1))
    sum_after=$((sum_after + ${st:-0}))
    printf '%-13s %4s %8s %9s %6s %6s' "$w" "$s" "${t:--}" "${wt:--}" "${st:--}" "${h:--}"
    [ -z "$bodies" ] || printf ' %8s' "${o:--}"
    printf ' %6s' "$ok"
    if [ -n "$before" ]; then
      f="$dir/before-$w-$s.txt"
      bt=$(figure "$f" targets_reached); bw=$(figure "$f" target_wait_max_s); bs=$(figure "$f" robots_still_10s)
      bh=$(figure "$f" robots_held_max_s)
      sum_before=$((sum_before + ${bs:-0}))
      printf ' | %8s %9s %6s %6s' "${bt:--}" "${bw:--}" "${bs:--}" "${bh:--}"
    fi
    printf '\n'
  done
done
echo "still_robots_sum: $sum_after"
[ -z "$before" ] || echo "still_robots_sum_before: $sum_before"
echo "runs_failing_targets: $failed"
