#!/usr/bin/env python3
"""Draws a swarm run from its record: every robot's track over the world (with the walls of the
world file the record names), the target's positions, and each robot's ground speed over time.

Usage: scripts/plot_run.py REC.csv OUT.png

Needs matplotlib (Debian: python3-matplotlib). Rows it cannot read are counted and passed over.
"""
import csv
import math
import os
import sys

WORLD_SIZE = 10.0
BORDER = 0.05


def read_record(path):
    tracks, targets, world_file, skipped = {}, [], None, 0
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        for row in csv.DictReader(f):
            try:
                kind = row["kind"]
                if kind == "world" and world_file is None:
                    world_file = row["file"]
                elif kind == "pose":
                    t = float(row["time_s"])
                    x, y = float(row["x"]), float(row["y"])
                    tracks.setdefault(row["robot"], []).append((t, x, y, row.get("held") == "1"))
                elif kind == "target":
                    targets.append((float(row["time_s"]), float(row["x"]), float(row["y"])))
            except (KeyError, TypeError, ValueError):
                skipped += 1
    return tracks, targets, world_file, skipped


def find_world(world_file, record_path):
    """The world file where the record says, or beside the record."""
    if not world_file:
        return None
    beside = os.path.join(os.path.dirname(os.path.abspath(record_path)), os.path.basename(world_file))
    for candidate in (world_file, beside):
        if os.path.isfile(candidate):
            return candidate
    print(f"plot_run: world file {world_file} not found; walls left out", file=sys.stderr)
    return None


def read_walls(path):
    walls = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if len(words) == 5 and words[0] == "wall":
                try:
                    walls.append(tuple(float(w) for w in words[1:]))
                except ValueError:
                    pass
    return walls


def ground_speeds(track, window_s=1.0):
    """Speed over the last window_s seconds at every pose, in world units per second."""
    times, speeds, start = [], [], 0
    for i, (t, x, y, _) in enumerate(track):
        while track[start][0] < t - window_s:
            start += 1
        t0, x0, y0, _ = track[start]
        path = sum(math.hypot(b[1] - a[1], b[2] - a[2]) for a, b in zip(track[start:i], track[start + 1:i + 1]))
        if t > t0:
            times.append(t)
            speeds.append(path / (t - t0))
    return times, speeds


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    record_path, out_path = sys.argv[1], sys.argv[2]
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Rectangle

    tracks, targets, world_file, skipped = read_record(record_path)
    if skipped:
        print(f"plot_run: {skipped} rows could not be read and were passed over", file=sys.stderr)

    fig, (ax, sp) = plt.subplots(1, 2, figsize=(13, 6), gridspec_kw={"width_ratios": [1, 1.15]})
    # The world as the main window shows it: origin top left, y growing downwards.
    ax.set_xlim(0, WORLD_SIZE)
    ax.set_ylim(WORLD_SIZE, 0)
    ax.set_aspect("equal")
    ax.set_title(os.path.basename(record_path) + (f" in {os.path.basename(world_file)}" if world_file else ""))
    ax.set_xlabel("x (world units)")
    ax.set_ylabel("y (world units)")
    walls = [(0, 0, WORLD_SIZE, BORDER), (0, WORLD_SIZE - BORDER, WORLD_SIZE, BORDER),
             (0, 0, BORDER, WORLD_SIZE), (WORLD_SIZE - BORDER, 0, BORDER, WORLD_SIZE)]
    world_path = find_world(world_file, record_path)
    if world_path:
        walls += read_walls(world_path)
    for x, y, w, h in walls:
        ax.add_patch(Rectangle((x, y), max(w, 0.02), max(h, 0.02), color=(0, 0.5, 0.78), zorder=1))

    cmap = plt.get_cmap("tab10" if len(tracks) <= 10 else "turbo")
    colours = {name: cmap(i / max(len(tracks) - 1, 1) if len(tracks) > 10 else i % 10)
               for i, name in enumerate(tracks)}
    thin = len(tracks) > 20
    by_time = {}
    for name, track in tracks.items():
        c = colours[name]
        xs, ys = [p[1] for p in track], [p[2] for p in track]
        ax.plot(xs, ys, color=c, lw=0.6 if thin else 1.2, alpha=0.8, zorder=2)
        ax.plot(xs[-1:], ys[-1:], "o", color=c, ms=3 if thin else 6, mec="black", mew=0.5, zorder=3)
        held = [(p[1], p[2]) for p in track if p[3]]
        if held:
            ax.plot([h[0] for h in held], [h[1] for h in held], "x", color="magenta", ms=4, zorder=3)
        ax.plot(xs[:1], ys[:1], "s", color=c, ms=3 if thin else 5, mec="black", mew=0.5, zorder=3)
        times, speeds = ground_speeds(track)
        sp.plot(times, speeds, color=c, lw=0.5 if thin else 1.0, alpha=0.35 if thin else 0.8, label=name)
        for t, v in zip(times, speeds):
            by_time.setdefault(t, []).append(v)
    if len(tracks) > 1:
        times = sorted(by_time)
        sp.plot(times, [sorted(by_time[t])[len(by_time[t]) // 2] for t in times], color="black", lw=2,
                label="median")
    ax.plot([], [], "s", color="white", mec="black", label="start")
    ax.plot([], [], "o", color="white", mec="black", label="end")
    if any(p[3] for track in tracks.values() for p in track):
        ax.plot([], [], "x", color="magenta", label="held")
    if targets:
        tx, ty = [t[1] for t in targets], [t[2] for t in targets]
        ax.plot(tx, ty, "*", color="limegreen", ms=14, mec="black", mew=0.8, zorder=4, label="target, in order")
        for i, (_, x, y) in enumerate(targets[:30]):
            ax.annotate(str(i + 1), (x, y), xytext=(5, -5), textcoords="offset points", fontsize=7)
    ax.legend(loc="lower right", fontsize=8, framealpha=0.9)

    sp.set_title("ground speed of each robot, over the last second")
    sp.set_xlabel("simulated time (s)")
    sp.set_ylabel("speed (world units per second)")
    sp.set_ylim(bottom=0)
    sp.grid(alpha=0.3)
    if 0 < len(tracks) <= 10:
        sp.legend(fontsize=8, loc="lower left", ncol=3)
    fig.tight_layout()
    fig.savefig(out_path, dpi=100)
    print(f"plot_run: {len(tracks)} robots, {len(targets)} target positions -> {out_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
