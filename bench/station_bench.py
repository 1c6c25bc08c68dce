#!/usr/bin/env python3
"""The station mode (zntv-upgrade --watch) timed against the module simulator.

Plugs N simulated modules in together, each on a link throttled to the same
rate, while one watcher runs, and measures the wall time from the first
module on the bus (the simulator's timeline, on the same monotonic clock as
this script) to the last "Upgraded in" line the watcher relays; the same
with one module alone; and, for the N modules, the CPU time and peak
resident memory of the watcher itself (from /proc before it is stopped) and
of the upgrade instances it started (the CPU time of the children it
waited for, and GNU time's peak over the watcher and all its descendants).
Writes (or replaces) the "Station" section of the benchmark page.
"""
import argparse
import datetime
import json
import os
import pathlib
import re
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SECTION = "## Station"
WATCHING = "zntv-upgrade: watching for modules; an interrupt stops the watch"
DEADLINE_S = 300
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
MEASURED_EVENT = b'"event":"summary"'
UPGRADED_LINE = b'"text":"Upgraded in '


class Station:
    """A simulator of n modules, all off the bus, and a watcher (under GNU
    time) with --json; the watcher's events are read as they come, with
    their arrival times."""

    def __init__(self, args, modules, workdir):
        self.workdir = pathlib.Path(workdir)
        self.control = self.workdir / "control"
        self.records = self.workdir / "records"
        self.usage_path = self.workdir / "usage"
        self.sim = subprocess.Popen(
            [args.sim, "--modules", str(modules), "--link-speed", str(args.rate), "--unplugged", "all",
             "--control", str(self.control), "--return-after-reset", "--record-dir", str(self.records),
             "--expect-image", args.image],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.env = dict(os.environ)
        for _ in range(3):
            line = self.sim.stdout.readline()
            if not line.startswith("export "):
                self.sim.kill()
                raise RuntimeError("simulator did not start: " + line)
            name, value = line[len("export "):].rstrip("\n").split("=", 1)
            self.env[name] = shlex.split(value)[0]
        self.events = []  # (monotonic s, event)
        self.changed = threading.Condition()
        self.watcher = subprocess.Popen(
            ["/usr/bin/time", "-o", str(self.usage_path), "-f", "%U %S %M", args.upgrade, "--watch", "--json"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
        self.readers = [threading.Thread(target=self._read_events, daemon=True),
                        threading.Thread(target=self._wait_watching, daemon=True)]
        self.watching = threading.Event()
        for reader in self.readers:
            reader.start()
        if not self.watching.wait(DEADLINE_S):
            raise RuntimeError("the watcher did not begin watching")
        # GNU time's one child.
        self.watcher_pid = int(pathlib.Path(f"/proc/{self.watcher.pid}/task/{self.watcher.pid}/children").read_text())
        self.locations = [f"1-{n + 2}" for n in range(modules)]

    def _read_events(self):
        # Only the events the figures are taken from are decoded and kept:
        # the watcher relays some 600 lines per module, and decoding them all
        # would take CPU time from the upgrades being measured.
        for raw in self.watcher.stdout:
            if MEASURED_EVENT not in raw and UPGRADED_LINE not in raw:
                continue
            with self.changed:
                self.events.append((time.monotonic(), json.loads(raw)))
                self.changed.notify_all()

    def _wait_watching(self):
        for raw in self.watcher.stderr:
            if raw.decode(errors="replace").rstrip("\n") == WATCHING:
                self.watching.set()

    def plug_all(self):
        with open(self.control, "w") as control:
            control.write("".join(f"plug {location}\n" for location in self.locations))

    def wait_for_summaries(self, count):
        """Until the watcher's count-th running summary: every upgrade then
        has ended and its instance has been waited for."""
        deadline = time.monotonic() + DEADLINE_S
        with self.changed:
            while sum(1 for _, e in self.events if e["event"] == "summary") < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise RuntimeError(f"fewer than {count} upgrades ended within {DEADLINE_S} s")
                self.changed.wait(left)

    def first_plug(self):
        """The earliest "plugged" of the modules' timelines, in seconds."""
        times = []
        # One module's records are the record folder's own.
        folders = [self.records / location for location in self.locations] if len(self.locations) > 1 else [self.records]
        for folder in folders:
            for line in (folder / "timeline").read_text().splitlines():
                ms, event = line.split(" ", 1)
                if event == "plugged":
                    times.append(int(ms) / 1000)
                    break
        return min(times)

    def last_upgraded(self):
        upgraded = [t for t, e in self.events if e["event"] == "line" and e["text"].startswith("Upgraded in ")]
        if len(upgraded) != len(self.locations):
            raise RuntimeError(f"{len(upgraded)} of {len(self.locations)} modules upgraded")
        return max(upgraded)

    def watcher_own_usage(self):
        """The watcher's own CPU seconds, its waited-for children's, and its
        own peak RSS in KiB, read while it still runs."""
        fields = pathlib.Path(f"/proc/{self.watcher_pid}/stat").read_text().rsplit(")", 1)[1].split()
        own = (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
        children = (int(fields[13]) + int(fields[14])) / CLOCK_TICKS
        status = pathlib.Path(f"/proc/{self.watcher_pid}/status").read_text()
        peak_kib = int(re.search(r"^VmHWM:\s+(\d+) kB", status, re.MULTILINE).group(1))
        return own, children, peak_kib

    def stop(self):
        """Stops the watcher and the simulator; GNU time's peak RSS in KiB
        over the watcher and all it started."""
        os.kill(self.watcher_pid, signal.SIGTERM)  # to the watcher itself: GNU time passes on none
        if self.watcher.wait(DEADLINE_S) != 0:
            raise RuntimeError(f"the watcher ended with status {self.watcher.returncode}")
        for reader in self.readers:
            reader.join()
        with open(self.control, "w") as control:
            control.write("quit\n")
        self.sim.wait(DEADLINE_S)
        return int(self.usage_path.read_text().split()[-1])


def one_session(args, modules):
    with tempfile.TemporaryDirectory(prefix="zntv-station-bench-") as workdir:
        station = Station(args, modules, workdir)
        try:
            station.plug_all()
            station.wait_for_summaries(modules)
            wall = station.last_upgraded() - station.first_plug()
            own_cpu, children_cpu, own_peak_kib = station.watcher_own_usage()
            all_peak_kib = station.stop()
        finally:
            if station.watcher.poll() is None:
                os.kill(station.watcher_pid, signal.SIGKILL)
                station.watcher.wait()
            if station.sim.poll() is None:
                station.sim.kill()
                station.sim.wait()
    return {"wall": wall, "own_cpu": own_cpu, "children_cpu": children_cpu, "own_peak_kib": own_peak_kib,
            "all_peak_kib": all_peak_kib}


def median_session(args, modules):
    sessions = [one_session(args, modules) for _ in range(args.reps)]
    result = {key: statistics.median(s[key] for s in sessions) for key in sessions[0]}
    result["own_peak_kib"] = max(s["own_peak_kib"] for s in sessions)
    result["all_peak_kib"] = max(s["all_peak_kib"] for s in sessions)
    print(f"station, {modules} module(s): {result['wall']:.2f} s", flush=True)
    return result


def section(args, alone, together, load):
    rate = f"{args.rate / 1e6:g} MB/s" if args.rate else "unlimited"
    ratio = together["wall"] / alone["wall"]
    instances_peak = (f"{together['all_peak_kib'] / 1024:.1f}" if together["all_peak_kib"] > together["own_peak_kib"]
                      else f"at most {together['own_peak_kib'] / 1024:.1f}")
    rows = [
        ("Modules plugged in together", f"{args.modules}", "1"),
        ("Wall time s (first module on the bus to the last \"Upgraded in\")", f"{together['wall']:.2f}",
         f"{alone['wall']:.2f}"),
        ("Of one module alone", f"{ratio:.2f}x", "1.00x"),
        ("Watcher CPU s", f"{together['own_cpu']:.2f}", f"{alone['own_cpu']:.2f}"),
        ("Upgrade instances' CPU s, all together", f"{together['children_cpu']:.2f}", f"{alone['children_cpu']:.2f}"),
        ("Watcher peak RSS MiB", f"{together['own_peak_kib'] / 1024:.1f}", f"{alone['own_peak_kib'] / 1024:.1f}"),
        ("Largest instance peak RSS MiB", instances_peak,
         f"{alone['all_peak_kib'] / 1024:.1f}" if alone["all_peak_kib"] > alone["own_peak_kib"] else "-"),
    ]
    lines = [
        SECTION, "",
        f"{args.modules} simulated modules plugged in together (one `plug` command each, written at once to the "
        f"simulator's control pipe) while `zntv-upgrade --watch --json` runs, each on a link of {rate}, against one "
        f"module alone the same way; medians of {args.reps} session(s), peaks the largest seen. Produced by "
        "`scripts/bench-upgrade.sh` (bench/station_bench.py); this section alone with "
        "`ZNTV_BENCH_STATION=only bash scripts/bench-upgrade.sh`.",
        "",
        f"- Date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; host: {os.cpu_count()} cores, "
        f"load average before/after: {load[0]} / {load[1]}"
        + (" (other work was running when it began: figures taken under load)" if float(load[0]) > 1.0 else "")
        + ".",
        "- Wall time: from the first module's `plugged` in the simulator's timeline to the arrival of the last "
        "module's `Upgraded in` line from the watcher, both on the monotonic clock.",
        "- CPU: the watcher's own user + system time, and its children's (every upgrade instance, waited for), "
        "from /proc just before it is stopped. Peak RSS: the watcher's own (VmHWM), and GNU time's peak over the "
        "watcher and everything it started, which is the largest instance's when it exceeds the watcher's.",
        "",
        "| | Together | Alone |",
        "|---|---|---|",
        *[f"| {name} | {together_cell} | {alone_cell} |" for name, together_cell, alone_cell in rows],
        "",
    ]
    return "\n".join(lines)


def write_section(page, text):
    """Replaces the page's station section (from its heading to the next
    heading of the same level or the end), or appends it."""
    path = pathlib.Path(page)
    content = path.read_text() if path.exists() else ""
    start = content.find("\n" + SECTION + "\n")
    if start < 0:
        content = content.rstrip("\n") + "\n\n" + text
    else:
        end = content.find("\n## ", start + 1)
        content = content[:start + 1] + text + (content[end:] if end >= 0 else "")
    path.write_text(content)


def main():
    # The benchmark script passes on its options; those of the other
    # benchmark (--rates, --windows, ...) are not this one's.
    parser = argparse.ArgumentParser(description=__doc__, allow_abbrev=False)
    parser.add_argument("--upgrade", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--modules", type=int, default=32)
    parser.add_argument("--rate", type=int, default=1000000, help="each module's link, bytes per second")
    parser.add_argument("--reps", type=int, default=1)
    parser.add_argument("--page", required=True, help="the benchmark page, whose station section is written")
    args, _ = parser.parse_known_args()
    load_before = f"{os.getloadavg()[0]:.1f}"
    alone = median_session(args, 1)
    together = median_session(args, args.modules)
    load = (load_before, f"{os.getloadavg()[0]:.1f}")
    write_section(args.page, section(args, alone, together, load))
    print(f"station: {args.modules} modules {together['wall']:.2f} s, one alone {alone['wall']:.2f} s "
          f"({together['wall'] / alone['wall']:.2f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
