#!/usr/bin/env python3
"""Whole upgrades of the embedded files against the module simulator, timed.

For every configuration (link rate, SDL window, SDL maximum write size) runs
zntv-upgrade against a fresh zntv-module-sim, timestamps the updater's console
lines as they arrive, and takes the updater's CPU time and peak resident
memory from GNU time. The link's limit is the simulator's throttle, or, for an
unlimited link, the raw pseudo-terminal throughput measured just before the
runs. Writes a Markdown table and a gnuplot chart of streaming throughput.
"""
import argparse
import datetime
import os
import pty
import select
import shlex
import statistics
import subprocess
import sys
import termios
import time
import tty

# Console lines that open each phase, in order; a phase runs until the next
# one opens (the last one until the updater exits).
PHASE_MARKS = [
    ("DIAG", "Sending DIAG build ID request"),
    ("to DL", "Waiting for device to switch to download mode"),
    ("DL", "Sending DL parameters request"),
    ("to SDL", "Waiting for device to switch to program mode"),
    ("SDL hello", "Sending SDL hello request"),
    ("SDL stream", "SDL Feature Mask:"),
    ("SDL reset", "Sending SDL reset request"),
]


def measure_pty_throughput(seconds=1.0, chunk=65536):
    """Bytes per second a writer on the slave side gets to a reader on the
    master side of a raw pseudo-terminal (the updater's direction)."""
    master, slave = pty.openpty()
    tty.setraw(slave, termios.TCSANOW)
    child = os.fork()
    if child == 0:
        os.close(master)
        block = os.urandom(chunk)
        deadline = time.monotonic() + seconds + 0.5
        try:
            while time.monotonic() < deadline:
                os.write(slave, block)
        except OSError:
            pass
        os._exit(0)
    os.close(slave)
    received = 0
    start = time.monotonic()
    end = start + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            received += len(os.read(master, chunk))
    elapsed = time.monotonic() - start
    os.close(master)
    os.kill(child, 9)
    os.waitpid(child, 0)
    return received / elapsed


def start_simulator(sim, image, rate, window, max_write):
    command = [sim, "--expect-image", image, "--link-speed", str(rate), "--sdl-window", str(window),
               "--sdl-max-write", str(max_write), "--idle-timeout", "20000"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    env = dict(os.environ)
    for _ in range(3):
        line = process.stdout.readline()
        if not line.startswith("export "):
            process.kill()
            raise RuntimeError("simulator did not start: " + line + process.stderr.read())
        name, value = line[len("export "):].rstrip("\n").split("=", 1)
        env[name] = shlex.split(value)[0]
    return process, env


def run_updater(upgrade, env, usage_path):
    """Runs the updater under GNU time; returns (lines with arrival times,
    status, (CPU seconds, max RSS KiB), wall seconds). The peak memory comes
    from GNU time, not from wait4() here: a process's peak includes that of
    the process it was forked from, and this script is far larger than the
    updater."""
    start = time.monotonic()
    process = subprocess.Popen(["/usr/bin/time", "-o", usage_path, "-f", "%U %S %M", upgrade],
                               stdout=subprocess.PIPE, env=env)
    lines = []
    for raw in process.stdout:
        lines.append((time.monotonic() - start, raw.decode(errors="replace").rstrip("\r\n")))
    status = process.wait()
    total = time.monotonic() - start
    with open(usage_path) as usage_file:
        user, system, max_rss_kib = usage_file.read().split()[-3:]
    return lines, status, (float(user) + float(system), int(max_rss_kib)), total


def phase_times(lines, total):
    opened = {}
    for name, mark in PHASE_MARKS:
        opened[name] = next((t for t, text in lines if text.startswith(mark)), None)
    times = {}
    names = [name for name, _ in PHASE_MARKS]
    for i, name in enumerate(names):
        begin = 0.0 if i == 0 else opened[name]
        end = opened[names[i + 1]] if i + 1 < len(names) else total
        times[name] = None if begin is None or end is None else end - begin
    return times


def one_run(args, image_size, rate, window, max_write):
    sim, env = start_simulator(args.sim, args.image, rate, window, max_write)
    try:
        lines, status, (cpu, max_rss_kib), total = run_updater(args.upgrade, env, args.table + ".usage")
        sim_status = sim.wait(timeout=30)
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.wait()
    if status != 0 or sim_status != 0:
        tail = "\n".join(text for _, text in lines[-5:])
        raise RuntimeError(f"upgrade failed (updater {status}, simulator {sim_status}):\n{tail}")
    phases = phase_times(lines, total)
    stream = phases["SDL stream"]
    return {
        "total": total,
        "phases": phases,
        "stream_rate": image_size / stream,
        "cpu": cpu,
        "max_rss_kib": max_rss_kib,
    }


def median_run(runs):
    def med(get):
        return statistics.median(get(r) for r in runs)
    return {
        "total": med(lambda r: r["total"]),
        "phases": {name: med(lambda r, n=name: r["phases"][n]) for name, _ in PHASE_MARKS},
        "stream_rate": med(lambda r: r["stream_rate"]),
        "cpu": med(lambda r: r["cpu"]),
        "max_rss_kib": max(r["max_rss_kib"] for r in runs),
    }


def rate_label(rate):
    if rate == 0:
        return "unlimited"
    return f"{rate / 1e6:g} MB/s" if rate >= 1e6 else f"{rate / 1e3:g} kB/s"


def write_table(path, args, rows, pty_rates, image_size, load):
    phase_names = [name for name, _ in PHASE_MARKS]
    with open(path, "w") as out:
        out.write("# Upgrade benchmark\n\n")
        out.write("Whole upgrades of the default embedded files (device image of "
                  f"{image_size} bytes) against zntv-module-sim, produced by "
                  "`scripts/bench-upgrade.sh` (bench/upgrade_bench.py). Medians of "
                  f"{args.reps} run(s) per configuration; peak RSS is the largest seen.\n\n")
        out.write(f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; "
                  f"host: {os.cpu_count()} cores, load average before/after: {load[0]} / {load[1]} "
                  "(the machine is shared; other builds were running).\n")
        if pty_rates:
            out.write("- Unlimited link: its limit is the raw pseudo-terminal throughput (the updater's "
                      "direction, 64 KiB writes on the slave, reads on the master; median of three 0.5 s "
                      "measurements taken just before each configuration): "
                      + ", ".join(f"{r / 1e6:.0f}" for r in pty_rates) + " MB/s.\n")
        out.write("- Stream: from the programmer's hello answer (writes built, streaming starts) to the "
                  "reset request (all write responses collected); throughput counts image bytes.\n")
        out.write("- Of link: stream throughput / the link's limit (its throttle rate in bytes per second, "
                  "of which HDLC framing takes about 1%).\n")
        out.write("- CPU: user + system time of zntv-upgrade, as a share of its wall time; CPU and peak "
                  "resident memory (max RSS) as GNU time reports them for zntv-upgrade.\n\n")
        out.write("What bounds the figures: the port's read interval time-out (2 ms) completes a read only "
                  "after a 2 ms pause in the module's answers, so every acknowledgement reaches the updater "
                  "at least 2 ms after the module sent it. With window 1 every write waits for that, and the "
                  "line idles about 2.5 ms per write; larger windows hide it. On the unlimited link the pace "
                  "is that of the updater's and the simulator's per-write path (thread hand-overs, one "
                  "system call or more per frame, the console line) on a shared two-core machine.\n\n")
        header = ["Link", "Window", "Max write", "Total s"] + [f"{n} s" for n in phase_names] + \
                 ["Stream MB/s", "Link limit MB/s", "Of link", "CPU s", "CPU %", "Max RSS MiB"]
        out.write("| " + " | ".join(header) + " |\n")
        out.write("|" + "|".join("---" for _ in header) + "|\n")
        for row in rows:
            r = row["result"]
            cells = [rate_label(row["rate"]), str(row["window"]), f"{row['max_write'] // 1024} KiB",
                     f"{r['total']:.2f}"]
            cells += [f"{r['phases'][n]:.3f}" for n in phase_names]
            cells += [f"{r['stream_rate'] / 1e6:.3f}", f"{row['limit'] / 1e6:.3f}", f"{100 * row['fraction']:.1f}%",
                      f"{r['cpu']:.3f}",
                      f"{100 * r['cpu'] / r['total']:.1f}%", f"{r['max_rss_kib'] / 1024:.1f}"]
            out.write("| " + " | ".join(cells) + " |\n")


def write_plot(path, rows, pty_rate):
    data_path = path + ".dat"
    rates = sorted({row["rate"] for row in rows}, key=lambda r: r if r else float("inf"))
    series = sorted({(row["window"], row["max_write"]) for row in rows})
    with open(data_path, "w") as data:
        for window, max_write in series:
            data.write(f"# window {window}, max write {max_write}\n")
            for index, rate in enumerate(rates):
                row = next((r for r in rows if r["rate"] == rate and r["window"] == window
                            and r["max_write"] == max_write), None)
                if row:
                    data.write(f"{index} {row['result']['stream_rate'] / 1e6:.4f}\n")
            data.write("\n\n")
        data.write("# link limit\n")
        for index, rate in enumerate(rates):
            data.write(f"{index} {(rate if rate else pty_rate) / 1e6:.4f}\n")
    tics = ", ".join(f'"{rate_label(rate) if rate else f"unlimited (pty {pty_rate / 1e6:.0f} MB/s)"}" {i}'
                     for i, rate in enumerate(rates))
    plots = [f"'{data_path}' index {i} with linespoints title 'window {w}, {m // 1024} KiB writes'"
             for i, (w, m) in enumerate(series)]
    plots.append(f"'{data_path}' index {len(series)} with lines dashtype 2 lw 2 title 'link limit'")
    terminals = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    terminal = "pngcairo" if "pngcairo" in terminals.stdout + terminals.stderr else "png"
    script = (f"set terminal {terminal} size 900,560\nset output '{path}'\n"
              "set title 'SDL streaming throughput of zntv-upgrade against zntv-module-sim'\n"
              "set ylabel 'image bytes streamed, MB/s'\nset xlabel 'link'\nset logscale y\n"
              f"set xtics ({tics})\nset xrange [-0.3:{len(rates) - 0.7}]\nset key outside right\nset grid\n"
              "plot " + ", ".join(plots) + "\n")
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data_path)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--upgrade", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--rates", default="0,1000000,500000", help="bytes per second, 0 = unlimited")
    parser.add_argument("--windows", default="1,8,64")
    parser.add_argument("--max-writes", default="1024,8192")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--table", required=True)
    parser.add_argument("--plot")
    args = parser.parse_args()

    image_size = os.path.getsize(args.image)
    load_before = f"{os.getloadavg()[0]:.1f}"
    pty_rates = []
    rows = []
    for rate in [int(r) for r in args.rates.split(",")]:
        for window in [int(w) for w in args.windows.split(",")]:
            for max_write in [int(m) for m in args.max_writes.split(",")]:
                limit = rate
                if rate == 0:  # the pseudo-terminal itself, measured just before
                    limit = statistics.median(measure_pty_throughput(0.5) for _ in range(3))
                    pty_rates.append(limit)
                runs = [one_run(args, image_size, rate, window, max_write) for _ in range(args.reps)]
                result = median_run(runs)
                fraction = result["stream_rate"] / limit
                rows.append({"rate": rate, "window": window, "max_write": max_write,
                             "result": result, "limit": limit, "fraction": fraction})
                print(f"{rate_label(rate):>10} window {window:>2} {max_write // 1024} KiB: total "
                      f"{result['total']:.2f} s, stream {result['stream_rate'] / 1e6:.3f} MB/s "
                      f"({100 * fraction:.1f}% of link), cpu {result['cpu']:.3f} s, "
                      f"rss {result['max_rss_kib'] / 1024:.1f} MiB", flush=True)
    load = (load_before, f"{os.getloadavg()[0]:.1f}")
    os.remove(args.table + ".usage")
    write_table(args.table, args, rows, pty_rates, image_size, load)
    if args.plot:
        write_plot(args.plot, rows, statistics.median(pty_rates) if pty_rates else 0)


if __name__ == "__main__":
    sys.exit(main())
