#!/usr/bin/env python3
"""Whole upgrades of the embedded files against the module simulator, timed.

For every configuration (link rate, SDL window, SDL maximum write size) runs
zntv-upgrade against a fresh zntv-module-sim, timestamps the updater's console
lines as they arrive, and takes the updater's CPU time and peak resident
memory from GNU time. The link's limit is the simulator's throttle, or, for an
unlimited link, the raw pseudo-terminal throughput measured just before the
runs. Each configuration's streaming also gets the ideal figure that the
line and the port's read completion allow: the Linux build ends a read at a
frame's closing flag, the Windows build only after a 2 ms pause in the
bytes. The simulator's default
configuration is measured too, and, when a Windows build is given, that
configuration once more with the Windows updater under Wine. Writes a Markdown
table and a gnuplot chart of streaming throughput.
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


# The simulator's own defaults: link unlimited, window 16, 4 KiB writes.
DEFAULT_WINDOW = 16
DEFAULT_MAX_WRITE = 4096

# A read of the serial port completes after this pause in the incoming bytes
# (the Windows build's only completion; the Linux build also ends a read at a
# frame's closing flag when nothing more is waiting).
READ_INTERVAL_S = 0.002
# The simulator reads the line at most this many bytes at a time, and at most
# 10 ms of the link's rate, and answers the writes that a read completed
# together: its answers come at least one such read apart.
SIM_READ_CHUNK = 4096
WRITE_HEADER = 5          # SDL write: code and address before the data
WRITE_RESPONSE = 5        # SDL write response: code and address
HDLC_OVERHEAD = 4         # two flags and the two-byte frame check


def framed_length(payload_length, escaped):
    """Bytes on the line for a payload with `escaped` bytes that need escaping."""
    return payload_length + escaped + HDLC_OVERHEAD


def answer_spacing_seconds(frame, rate):
    """How far apart the module's answers come while writes keep arriving:
    one write's frame apart, or one of the simulator's reads apart when a
    read holds several writes."""
    chunk = min(SIM_READ_CHUNK, max(1, rate // 100))
    return max(frame, chunk) / rate


def stream_bound_seconds(image, max_write, window, rate, read_interval):
    """The shortest SDL streaming time the line allows. Each write's frame
    and its acknowledgement's frame cross the line at `rate` bytes per second
    in their own directions; the acknowledgement is seen `read_interval`
    after it arrived (0: at once, a read ending with its frame). Two regimes:
    - answers more than read_interval apart (or seen at once): each is seen
      on its own, and with a window of W one write's turn (write, answer,
      read pause) is shared by W writes in flight, but a write never goes
      faster than its own frame: per write max(write, turn / W);
    - answers closer than that: the line never pauses for read_interval
      while the module works through a window, so no answer is seen before
      the window has drained; each window costs its transfer time, one
      answer and read_interval: per write write + (answer + read_interval) / W.
    For window 1 both give transfer time + read_interval per write."""
    total = 0.0
    for offset in range(0, len(image), max_write):
        block = image[offset:offset + max_write]
        escaped = block.count(0x7E) + block.count(0x7D)
        frame = framed_length(WRITE_HEADER + len(block), escaped)
        write = frame / rate
        answer = framed_length(WRITE_RESPONSE, 0) / rate
        if read_interval == 0 or answer_spacing_seconds(frame, rate) > read_interval:
            total += max(write, (write + answer + read_interval) / window)
        else:
            total += write + (answer + read_interval) / window
    return total


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


def start_simulator(sim, image, rate, window, max_write, extra):
    command = [sim, "--expect-image", image, "--link-speed", str(rate), "--sdl-window", str(window),
               "--sdl-max-write", str(max_write), "--idle-timeout", "20000"] + extra
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


def run_updater(command, env, usage_path):
    """Runs the updater under GNU time; returns (lines with arrival times,
    status, (CPU seconds, max RSS KiB), wall seconds). The peak memory comes
    from GNU time, not from wait4() here: a process's peak includes that of
    the process it was forked from, and this script is far larger than the
    updater."""
    start = time.monotonic()
    process = subprocess.Popen(["/usr/bin/time", "-o", usage_path, "-f", "%U %S %M"] + command,
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


def one_run(args, image_size, rate, window, max_write, wine=False):
    extra = ["--wine-prefix", os.environ["WINEPREFIX"]] if wine else []
    command = ["wine", args.wine_upgrade] if wine else [args.upgrade]
    sim, env = start_simulator(args.sim, args.image, rate, window, max_write, extra)
    try:
        lines, status, (cpu, max_rss_kib), total = run_updater(command, env, args.table + ".usage")
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


def config_label(row):
    label = f"{rate_label(row['rate'])}, window {row['window']}, {row['max_write'] // 1024} KiB"
    return label + (" (default)" if row["default"] else "")


COLUMNS = [
    ("Build", "the updater measured: the Linux build, or the Windows build (MinGW-w64) run under Wine "
              "against the same simulator through a COM port that the simulator registers in the Wine prefix."),
    ("Link", "the simulator's `--link-speed`: each direction of the line throttled to that rate, or unlimited "
             "(as fast as the pseudo-terminal goes)."),
    ("Window", "the programmer's window (`--sdl-window`): writes that may be outstanding, unacknowledged."),
    ("Max write", "the programmer's maximum write size (`--sdl-max-write`): image bytes per SDL write."),
    ("Total s", "wall time of the whole run of zntv-upgrade, start to exit; the sum of the phase columns."),
    ("DIAG s", "start to \"Waiting for device to switch to download mode\": configuration search, device lookup, "
               "the DIAG exchanges and the module's fixed 2.5 s pause after the mode request."),
    ("to DL s", "the module's re-enumeration into its boot downloader: from \"Waiting for device to switch to "
                "download mode\" to \"Sending DL parameters request\" (the simulator's 100 ms drop delay and "
                "400 ms off the bus, seen by device checks 200 ms apart)."),
    ("DL s", "the DL phase: parameters, the programmer written in 1 KiB blocks, the go request."),
    ("to SDL s", "the re-enumeration into the programmer: from \"Waiting for device to switch to program mode\" "
                 "to \"Sending SDL hello request\"."),
    ("SDL hello s", "the SDL hello exchange up to the last parameter line."),
    ("SDL stream s", "from the programmer's parameters (writes built, streaming starts) to \"Sending SDL reset "
                     "request\" (all write responses collected)."),
    ("SDL reset s", "the reset exchange to the updater's exit."),
    ("Stream MB/s", "device image bytes / SDL stream s."),
    ("Bound MB/s", "the ideal streaming throughput that the line and the build's read completion allow. Per "
                   "write, its frame and its acknowledgement's frame cross the link at the link's limit. The "
                   "Linux build sees an acknowledgement as soon as its frame has arrived (a read ends at a "
                   "frame's closing flag when nothing more is waiting): a window of W shares one write's turn "
                   "(write and answer) among W writes, but no write goes faster than its own frame, so the "
                   "link bounds the stream. The Windows build sees one only after a 2 ms pause in the bytes: see "
                   "the next column."),
    ("2 ms bound MB/s", "the same bound for a port whose reads end only after a 2 ms pause in the bytes (the "
                        "Windows build, and the Linux build before reads ended at a frame's flag). When the "
                        "module's answers come more than 2 ms apart, each is seen 2 ms after it came and a "
                        "window of W shares that turn among W writes, so a large window hides the pause and the "
                        "link bounds the stream. When they come closer (a fast link, or a link where the "
                        "simulator answers a read's writes together), the line never pauses while the module "
                        "works through a window, so none of its answers is seen before the window has drained: "
                        "each window costs its transfer time plus one answer plus 2 ms. For window 1 both give "
                        "transfer time + 2 ms per write."),
    ("Of bound", "Stream MB/s / Bound MB/s."),
    ("Link limit MB/s", "the throttle rate, or for an unlimited link the raw pseudo-terminal throughput measured "
                        "just before (the updater's direction, 64 KiB writes on the slave, reads on the master, "
                        "the fastest of three 0.5 s measurements)."),
    ("Of link", "Stream MB/s / Link limit MB/s; HDLC framing takes about 1% of the line."),
    ("CPU s", "user + system time of the updater's process as GNU time reports it (under Wine: of the Windows "
              "process, without the shared wineserver)."),
    ("CPU %", "CPU s / Total s."),
    ("Max RSS MiB", "the updater's peak resident memory as GNU time reports it (under Wine it includes Wine's "
                    "own libraries), the largest of the runs."),
]


def table_cells(row, image_size):
    r = row["result"]
    cells = ["Windows (Wine)" if row["wine"] else "Linux", rate_label(row["rate"]) + (" *" if row["default"] else ""),
             str(row["window"]), f"{row['max_write'] // 1024} KiB", f"{r['total']:.2f}"]
    cells += [f"{r['phases'][name]:.3f}" for name, _ in PHASE_MARKS]
    bound_rate = image_size / row["bound_s"]
    cells += [f"{r['stream_rate'] / 1e6:.3f}", f"{bound_rate / 1e6:.3f}",
              f"{image_size / row['interval_bound_s'] / 1e6:.3f}", f"{100 * r['stream_rate'] / bound_rate:.1f}%",
              f"{row['limit'] / 1e6:.3f}", f"{100 * row['fraction']:.1f}%", f"{r['cpu']:.3f}",
              f"{100 * r['cpu'] / r['total']:.1f}%", f"{r['max_rss_kib'] / 1024:.1f}"]
    return cells


def write_table(path, args, rows, image_size, load):
    with open(path, "w") as out:
        out.write("# Upgrade benchmark\n\n")
        out.write("Whole upgrades of the default embedded files (device image of "
                  f"{image_size} bytes) against zntv-module-sim, produced by "
                  "`scripts/bench-upgrade.sh` (bench/upgrade_bench.py). Medians of "
                  f"{args.reps} run(s) per configuration; peak RSS is the largest seen. "
                  "Rows marked * are the simulator's default configuration (unlimited link, window "
                  f"{DEFAULT_WINDOW}, {DEFAULT_MAX_WRITE // 1024} KiB writes), which `scripts/run-upgrade.sh` "
                  "and the tests use.\n\n")
        loaded = float(load[0]) > 1.0 or float(load[1]) > 1.0
        out.write(f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; "
                  f"host: {os.cpu_count()} cores, load average before/after: {load[0]} / {load[1]}"
                  + (" (the machine is shared and other builds were running: figures taken under load, "
                     "the unlimited link's most of all)" if loaded else " (idle machine)") + ".\n")
        out.write("- About 2.5 s of every run is the module's fixed pause in the DIAG phase, and about 1.2 s more "
                  "its two re-enumerations (to DL, to SDL): about 3.7 s of every total is the module's, "
                  "whatever the link.\n\n")
        out.write("What bounds the figures: the Linux build's port ends a read as soon as the bytes received "
                  "end with a frame's closing flag and nothing more is waiting, so each acknowledgement reaches "
                  "the updater as it arrives and the link bounds the stream (the Bound column). A port whose "
                  "reads end only after a 2 ms pause in the bytes (the Windows build) sees an acknowledgement "
                  "2 ms after it came at best: with window 1 every write waits for that; a large window hides "
                  "it only while the module's answers come more than 2 ms apart, that is on a slow link; on a "
                  "fast one every window costs its transfer time plus 2 ms (the 2 ms bound column). On the "
                  "unlimited link the pace is that of the updater's and the simulator's per-write path on a "
                  "shared two-core machine.\n\n")
        out.write("Columns:\n\n")
        for name, meaning in COLUMNS:
            out.write(f"- **{name}**: {meaning}\n")
        out.write("\n")
        header = [name for name, _ in COLUMNS]
        out.write("| " + " | ".join(header) + " |\n")
        out.write("|" + "|".join("---" for _ in header) + "|\n")
        for row in rows:
            out.write("| " + " | ".join(table_cells(row, image_size)) + " |\n")
        if args.plot:
            out.write(f"\n![SDL streaming throughput]({os.path.basename(args.plot)})\n")


def write_plot(path, rows, image_size):
    """Two panels: throughput against the link rate on real (logarithmic)
    axes, the unlimited link placed at its measured pseudo-terminal rate; and
    the share of each link's limit as grouped bars, where series that reach
    nearly the same throughput stay apart."""
    data_path = path + ".dat"
    linux = [row for row in rows if not row["wine"] and not row["default"]]
    series = sorted({(row["window"], row["max_write"]) for row in linux})
    rates = sorted({row["rate"] for row in linux}, key=lambda r: r if r else float("inf"))
    with open(data_path, "w") as data:
        for window, max_write in series:  # blocks 0 .. len(series) - 1: link limit, throughput, bound
            data.write(f"# window {window}, {max_write // 1024} KiB writes\n")
            for row in sorted((r for r in linux if (r["window"], r["max_write"]) == (window, max_write)),
                              key=lambda r: r["limit"]):
                data.write(f"{row['limit'] / 1e6:.4f} {row['result']['stream_rate'] / 1e6:.4f} "
                           f"{image_size / row['bound_s'] / 1e6:.4f}\n")
            data.write("\n\n")
        data.write("# share of the link per link (rows) and series (columns)\n")
        for rate in rates:
            shares = []
            for window, max_write in series:
                row = next(r for r in linux if (r["rate"], r["window"], r["max_write"]) == (rate, window, max_write))
                shares.append(f"{100 * row['fraction']:.2f}")
            data.write(f"\"{rate_label(rate)}\" " + " ".join(shares) + "\n")
    titles = [f"window {w}, {m // 1024} KiB writes" for w, m in series]
    lines = [f"'{data_path}' index {i} using 1:2 with linespoints lw 2 pt {i + 4} lc {i + 1} title '{t}'"
             for i, t in enumerate(titles)]
    lines += [f"'{data_path}' index {i} using 1:3 with linespoints dashtype 3 pt 1 lc {i + 1} title 'bound, window 1, {series[i][1] // 1024} KiB'"
              for i in range(len(series)) if series[i][0] == 1]
    lines.append("x with lines dashtype 2 lc rgb 'black' title 'link limit'")
    bars = [f"'{data_path}' index {len(series)} using {i + 2}:xtic(1) title '{t}'" for i, t in enumerate(titles)]
    terminals = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    terminal = "pngcairo" if "pngcairo" in terminals.stdout + terminals.stderr else "png"
    script = (f"set terminal {terminal} size 1000,900\nset output '{path}'\n"
              "set multiplot layout 2,1 title 'SDL streaming of zntv-upgrade against zntv-module-sim'\n"
              "set title 'Throughput against the link rate (unlimited: at its measured pseudo-terminal rate)'\n"
              "set logscale xy\nset xlabel 'link limit, MB/s'\nset ylabel 'image bytes streamed, MB/s'\n"
              "set key outside right\nset grid\n"
              "plot " + ", ".join(lines) + "\n"
              "unset logscale\nset title 'Share of the link limit reached'\nset xlabel 'link'\n"
              "set ylabel '% of the link limit'\nset yrange [0:105]\nset style data histograms\n"
              "set style histogram clustered gap 1\nset style fill solid 0.8 border -1\n"
              "plot " + ", ".join(bars) + "\n"
              "unset multiplot\n")
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data_path)


def configurations(args):
    """(rate, window, max write, default?, wine?) in table order: the grid,
    then the simulator's default configuration, then that under Wine."""
    grid = [(int(rate), int(window), int(max_write), False, False)
            for rate in args.rates.split(",") for window in args.windows.split(",")
            for max_write in args.max_writes.split(",")]
    extra = [(0, DEFAULT_WINDOW, DEFAULT_MAX_WRITE, True, False)]
    if args.wine_upgrade:
        extra.append((0, DEFAULT_WINDOW, DEFAULT_MAX_WRITE, True, True))
    return grid + extra


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--upgrade", required=True)
    parser.add_argument("--wine-upgrade", help="zntv-upgrade.exe, run under Wine (WINEPREFIX set) for one more row")
    parser.add_argument("--sim", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--rates", default="0,30000000,10000000,1000000,500000",
                        help="bytes per second, 0 = unlimited")
    parser.add_argument("--windows", default="1,16,64")
    parser.add_argument("--max-writes", default="1024,8192")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--table", required=True)
    parser.add_argument("--plot")
    args = parser.parse_args()

    with open(args.image, "rb") as image_file:
        image = image_file.read()
    load_before = f"{os.getloadavg()[0]:.1f}"
    rows = []
    for rate, window, max_write, default, wine in configurations(args):
        limit = rate
        if rate == 0:  # the pseudo-terminal itself, measured just before
            # The fastest of three: the pseudo-terminal can do at least that,
            # and slower ones show other processes sharing the machine.
            limit = max(measure_pty_throughput(0.5) for _ in range(3))
        runs = [one_run(args, len(image), rate, window, max_write, wine) for _ in range(args.reps)]
        result = median_run(runs)
        interval_bound_s = stream_bound_seconds(image, max_write, window, limit, READ_INTERVAL_S)
        row = {"rate": rate, "window": window, "max_write": max_write, "default": default, "wine": wine,
               "result": result, "limit": limit, "fraction": result["stream_rate"] / limit,
               "bound_s": interval_bound_s if wine else stream_bound_seconds(image, max_write, window, limit, 0),
               "interval_bound_s": interval_bound_s}
        rows.append(row)
        print(f"{'wine ' if wine else ''}{config_label(row)}: total {result['total']:.2f} s, stream "
              f"{result['stream_rate'] / 1e6:.3f} MB/s ({100 * row['fraction']:.1f}% of link, "
              f"{100 * result['stream_rate'] * row['bound_s'] / len(image):.1f}% of bound), "
              f"cpu {result['cpu']:.3f} s, rss {result['max_rss_kib'] / 1024:.1f} MiB", flush=True)
    load = (load_before, f"{os.getloadavg()[0]:.1f}")
    os.remove(args.table + ".usage")
    write_table(args.table, args, rows, len(image), load)
    if args.plot:
        write_plot(args.plot, rows, len(image))


if __name__ == "__main__":
    sys.exit(main())
