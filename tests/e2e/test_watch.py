"""Whole sessions of the station mode (--watch) against the simulator, whose
modules are plugged in and unplugged through its control pipe: each
plug-in is upgraded once, a module back from its reset or left in its
downloader is not taken again, --jobs caps the upgrades at once, --new-only
leaves the modules present at the start alone, --json's events fit the
schema, and an idle watch costs next to nothing."""
import json
import os
import pathlib
import pty
import re
import signal
import subprocess
import threading
import time

import jsonschema

from zntv_e2e import CONFIGURED, EXIT_FAILURE, UPGRADE_COMMAND, UpgradeTestCase

SCHEMA_PATH = pathlib.Path(__file__).resolve().parents[2] / "docs" / "events.schema.json"
WATCHING = "zntv-upgrade: watching for modules; an interrupt stops the watch"
UPGRADED = re.compile(r"^(.*): Upgraded in \d+ ms$")
# A whole upgrade of the simulated module takes a few seconds; one stuck
# far beyond this has failed the test.
UPGRADE_DEADLINE = 60.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Watcher:
    """One zntv-upgrade --watch process, its standard output and error read
    beside as they come, with their arrival times."""

    def __init__(self, env, *args, terminal=False):
        """terminal: standard error on a pseudo-terminal, as in a terminal
        window; what it received is in self.shown."""
        master, slave = pty.openpty() if terminal else (None, subprocess.PIPE)
        self.process = subprocess.Popen([*UPGRADE_COMMAND, "--watch", *map(str, args)], env=env,
                                        stdout=subprocess.PIPE, stderr=slave)
        self.changed = threading.Condition()
        self.out, self.err = [], []  # (seconds since monotonic epoch, line)
        self.shown = b""
        error_stream = self.process.stderr
        if terminal:
            os.close(slave)  # the watcher holds the only other copy
            error_stream = TerminalStream(master, self)
        self.readers = [threading.Thread(target=self._read, args=(stream, lines))
                        for stream, lines in [(self.process.stdout, self.out), (error_stream, self.err)]]
        for reader in self.readers:
            reader.start()
        self.status = self.usage = None

    def _read(self, stream, lines):
        with stream:
            for raw in stream:
                with self.changed:
                    lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\r\n")))
                    self.changed.notify_all()
        with self.changed:  # a waiter learns that no more lines come
            self.changed.notify_all()

    def wait_for(self, predicate, count=1, stream="out", timeout=UPGRADE_DEADLINE):
        """The count-th line that predicate (a function or an exact line)
        accepts, with its arrival time; fails past the deadline."""
        accepts = predicate if callable(predicate) else (lambda line: line == predicate)
        lines = self.out if stream == "out" else self.err
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = [(t, line) for t, line in lines if accepts(line)]
                if len(found) >= count:
                    return found[count - 1]
                left = deadline - time.monotonic()
                ended = self.process.poll() is not None and not any(r.is_alive() for r in self.readers)
                if left <= 0 or ended:
                    raise AssertionError(
                        f"no {predicate!r} (#{count}) " + (f"before the exit ({self.process.returncode})" if ended
                                                           else f"within {timeout} s") +
                        "; standard output:\n" + "\n".join(line for _, line in self.out[-40:]) +
                        "\nstandard error:\n" + "\n".join(line for _, line in self.err[-10:]))
                self.changed.wait(left)

    def cpu_seconds(self):
        """User and system time the watcher itself has used so far."""
        fields = pathlib.Path(f"/proc/{self.process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS

    def stop(self, timeout=UPGRADE_DEADLINE):
        """A stop request, then the end: exit status and resource usage."""
        self.process.send_signal(signal.SIGTERM)
        return self.finish(timeout)

    def finish(self, timeout=UPGRADE_DEADLINE):
        watchdog = threading.Timer(timeout, self.process.kill)
        watchdog.start()
        try:
            _, wait_status, self.usage = os.wait4(self.process.pid, 0)
            self.process.returncode = self.status = os.waitstatus_to_exitcode(wait_status)
        finally:
            watchdog.cancel()
        for reader in self.readers:
            reader.join()
        return self.status

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.finish()

    @property
    def lines(self):
        return [line for _, line in self.out]

    @property
    def error_lines(self):
        return [line for _, line in self.err]


class TerminalStream:
    """The master side of a pseudo-terminal read as the lines of a stream,
    keeping every byte in the watcher's shown."""

    def __init__(self, master, watcher):
        self.master, self.watcher = master, watcher

    def __enter__(self):
        return self

    def __exit__(self, *_):
        os.close(self.master)

    def __iter__(self):
        pending = b""
        while True:
            try:
                data = os.read(self.master, 65536)
            except OSError:  # EIO: the watcher has closed its end
                data = b""
            if not data:
                break
            self.watcher.shown += data
            pending += data
            *lines, pending = pending.split(b"\n")
            yield from (line + b"\n" for line in lines)


class WatchTestCase(UpgradeTestCase):
    def setUp(self):
        super().setUp()
        self.control = pathlib.Path(self.workdir) / "control"
        self.watcher = None

    def tearDown(self):
        if self.watcher:
            self.watcher.kill()
        super().tearDown()

    def start_station(self, *sim_args):
        """A simulator whose modules start unplugged unless sim_args say
        otherwise, driven through its control pipe."""
        if "--unplugged" not in sim_args:
            sim_args = (*sim_args, "--unplugged", "all")
        return self.start_sim("--control", self.control, *sim_args)

    def watch(self, *args, terminal=False):
        env = self.sim.env
        if terminal:
            env = {**{k: v for k, v in env.items() if k != "ZNTV_NO_PROGRESS"}, "TERM": "xterm"}
        self.watcher = Watcher(env, *args, terminal=terminal)
        self.watcher.wait_for(WATCHING, stream="err")
        return self.watcher

    def command(self, line):
        with open(self.control, "w") as pipe:
            pipe.write(line + "\n")

    def plug(self, location):
        """Plugs the module at location in and returns its port, as the
        watcher's next "plugged" line names it; self.detection is how long
        after the command that line came."""
        sent = time.monotonic()
        self.command(f"plug {location}")
        self.plugs += 1
        arrived, line = self.watcher.wait_for(lambda text: text.endswith(": plugged"), count=self.plugs)
        self.detection = arrived - sent
        return line[:-len(": plugged")]

    plugs = 0  # "plugged" lines seen

    def timeline(self, location):
        path = self.sim.records / location / "timeline"
        return [(int(ms), event) for ms, event in (line.split() for line in path.read_text().splitlines())]

    def events_at(self, location, event):
        return [ms for ms, kind in self.timeline(location) if kind == event]

    def wait_for_timeline(self, location, event, count=1, timeout=UPGRADE_DEADLINE):
        """Waits, with a deadline, until the module's timeline holds count
        events of the kind."""
        deadline = time.monotonic() + timeout
        path = self.sim.records / location / "timeline"
        while not (path.exists() and len(self.events_at(location, event)) >= count):
            self.assertLess(time.monotonic(), deadline, f"no {event} #{count} at {location}")
            time.sleep(0.05)

    def assertUntouched(self, location):
        """Never upgraded: no upgrade began, and no request came (a module
        never upgraded may have no records of requests at all)."""
        self.assertEqual(self.events_at(location, "upgrade-start"), [])
        requests = self.sim.records / location / "requests.txt"
        self.assertEqual(requests.read_text() if requests.exists() else "", "")

    def lines_of(self, port):
        prefix = port + ": "
        return [line[len(prefix):] for line in self.watcher.lines if line.startswith(prefix)]

    def station_lines_of(self, port):
        """What the watcher itself said of the module, in order."""
        return [line for line in self.lines_of(port) if line in ("plugged", "upgrading", "unplugged")]

    def outcomes_of(self, port):
        return [line for line in self.lines_of(port) if line == "Download failed" or line.startswith("Upgraded in ")]


class Session(WatchTestCase):
    def test_four_modules_one_failing_one_plugged_twice(self):
        # The module at 1-4 leaves its third image write unanswered: its
        # upgrade fails and leaves it running its programmer, on the bus.
        self.start_station("--modules", 4, "--faults-at", "1-4", "--silent", "sdl:0x07:3")
        self.watch()
        ports = {}
        for location in ["1-2", "1-3", "1-4", "1-5"]:  # each plugged while the others upgrade
            ports[location] = self.plug(location)
            self.watcher.wait_for(f"{ports[location]}: upgrading")
        for location in ["1-2", "1-3", "1-5"]:
            self.watcher.wait_for(lambda line, p=ports[location]: UPGRADED.match(line) and line.startswith(p + ":"))
        self.watcher.wait_for(f"{ports['1-4']}: Download failed")
        # Off the bus after its reset: gone for good after 2 s, and new when
        # it is plugged in again.
        self.watcher.wait_for(f"{ports['1-2']}: unplugged")
        again = self.plug("1-2")
        self.watcher.wait_for(lambda line: UPGRADED.match(line) and line.startswith(again + ":"),
                              count=2 if again == ports["1-2"] else 1)
        # The failed module stays where its upgrade left it, and is not
        # taken again.
        self.wait_for_timeline("1-4", "failed")
        status = self.watcher.stop()
        self.assertEqual(self.watcher.lines[-1], "Upgraded 4 of 5 modules")
        self.assertEqual(status, EXIT_FAILURE)
        for location, starts in [("1-2", 2), ("1-3", 1), ("1-4", 1), ("1-5", 1)]:
            self.assertEqual(len(self.events_at(location, "upgrade-start")), starts, location)
        self.assertEqual(self.station_lines_of(ports["1-4"]), ["plugged", "upgrading"])
        self.assertEqual(self.outcomes_of(ports["1-4"]), ["Download failed"])
        for location in ["1-3", "1-5"]:
            self.assertEqual(self.station_lines_of(ports[location]), ["plugged", "upgrading", "unplugged"], location)
            self.assertEqual(self.lines_of(ports[location])[2], CONFIGURED)
        self.wait_for_timeline("1-2", "reset", count=2)

    def test_module_back_in_its_firmware_after_its_reset_is_not_upgraded_again(self):
        self.start_station("--return-after-reset")
        self.watch()
        port = self.plug("1-2")
        self.watcher.wait_for(lambda line: UPGRADED.match(line) is not None)
        self.wait_for_timeline("", "back-normal")  # one module: its records are not in a folder of its own
        # Longer than the 2 s a place must stay empty before a module there
        # counts as new, and than the look every 200 ms.
        time.sleep(3)
        status = self.watcher.stop()
        self.assertEqual((self.watcher.lines[-1], status), ("Upgraded 1 of 1 modules", 0))
        self.assertEqual(self.station_lines_of(port), ["plugged", "upgrading"])
        self.assertEqual(len(self.events_at("", "upgrade-start")), 1)

    def test_stop_request_mid_flash_lets_the_upgrade_end_and_takes_no_new_module(self):
        self.start_station("--modules", 2)
        self.watch()
        port = self.plug("1-2")
        self.watcher.wait_for(lambda line: line.startswith(port + ": Sent SDL write request"))
        self.watcher.process.send_signal(signal.SIGTERM)
        self.watcher.wait_for("zntv-upgrade: no new module is taken; the upgrades in progress (1) end first",
                              stream="err")
        self.command("plug 1-3")
        status = self.watcher.finish()
        self.assertEqual(self.outcomes_of(port), [self.outcomes_of(port)[0]])
        self.assertRegex(self.outcomes_of(port)[0], r"^Upgraded in \d+ ms$")
        self.assertEqual((self.watcher.lines[-1], status), ("Upgraded 1 of 1 modules", 0))
        self.assertUntouched("1-3")


    def test_second_stop_request_abandons_the_upgrade_in_flight(self):
        self.start_station()
        self.watch()
        port = self.plug("1-2")
        self.watcher.wait_for(lambda line: line.startswith(port + ": Sent SDL write request"))
        self.watcher.process.send_signal(signal.SIGTERM)
        self.watcher.wait_for(f"{port}: zntv-upgrade: the upgrade of {port} is finishing; a second interrupt "
                              "abandons it", stream="err")
        stopped = time.monotonic()
        status = self.watcher.stop(timeout=10)
        self.assertLess(time.monotonic() - stopped, 5)
        self.assertEqual(self.outcomes_of(port), ["Download failed"])
        self.assertEqual((self.watcher.lines[-1], status), ("Upgraded 0 of 1 modules", EXIT_FAILURE))
        self.wait_for_timeline("", "failed")


class Jobs(WatchTestCase):
    def test_two_jobs_never_run_more_than_two_upgrades_and_the_rest_wait_in_order(self):
        self.start_station("--modules", 4)
        self.watch("--jobs", 2)
        locations = ["1-5", "1-3", "1-2", "1-4"]
        ports = [self.plug(location) for location in locations]
        for port in ports:
            self.watcher.wait_for(lambda line, p=port: UPGRADED.match(line) and line.startswith(p + ":"))
        self.assertEqual((self.watcher.stop(), self.watcher.lines[-1]), (0, "Upgraded 4 of 4 modules"))
        upgrading = [line[:-len(": upgrading")] for line in self.watcher.lines if line.endswith(": upgrading")]
        self.assertEqual(upgrading, ports)
        # At most two at once, from each "upgrading" line to its outcome line
        # (the module's timeline notes its reset only once it has written
        # its records, a moment after the instance has ended).
        at_once, most = set(), 0
        for line in self.watcher.lines:
            port, _, said = line.partition(": ")
            if said == "upgrading":
                at_once.add(port)
            elif said.startswith("Upgraded in ") or said == "Download failed":
                at_once.discard(port)
            most = max(most, len(at_once))
        self.assertEqual(most, 2)
        # The modules saw their upgrades begin in the order they were plugged in.
        starts = [self.events_at(location, "upgrade-start") for location in locations]
        self.assertEqual([len(s) for s in starts], [1, 1, 1, 1])
        self.assertEqual(sorted(starts), starts)


class Terminal(WatchTestCase):
    def test_on_a_terminal_each_upgrade_shows_its_progress_line_all_erased_at_the_end(self):
        # About three seconds of streaming each.
        self.start_station("--modules", 2, "--link-speed", 400000)
        self.watch(terminal=True)
        ports = [self.plug("1-2"), self.plug("1-3")]
        for port in ports:
            self.watcher.wait_for(lambda line, p=port: UPGRADED.match(line) and line.startswith(p + ":"))
        self.assertEqual((self.watcher.stop(), self.watcher.lines[-1]), (0, "Upgraded 2 of 2 modules"))
        shown = self.watcher.shown
        for port in ports:
            self.assertRegex(shown, re.escape(port.encode()) + rb": \d+\.\d\d of \d+\.\d\d MB, 100%")
        both = re.escape(ports[0].encode()) + rb": [^\r\n]*MB[^\r\n]*\r?\n" + re.escape(ports[1].encode()) + b": "
        self.assertRegex(shown, both)
        self.assertTrue(shown.endswith(b"\r\x1b[K"), shown[-200:])


class NewOnly(WatchTestCase):
    def test_module_present_at_the_start_is_never_touched(self):
        self.start_station("--modules", 2, "--unplugged", "1-3")
        self.watch("--new-only")
        port = self.plug("1-3")
        self.watcher.wait_for(lambda line: UPGRADED.match(line) is not None)
        status = self.watcher.stop()
        self.assertEqual((self.watcher.lines[-1], status), ("Upgraded 1 of 1 modules", 0))
        self.assertEqual({line.split(": ", 1)[0] for line in self.watcher.lines[:-1]}, {port})
        self.assertUntouched("1-2")


class Json(WatchTestCase):
    def test_every_event_fits_the_schema_with_plugged_unplugged_and_running_summaries(self):
        schema = json.loads(SCHEMA_PATH.read_text())
        validator = jsonschema.Draft202012Validator(schema)
        self.start_station("--modules", 2)
        self.watch("--json")
        self.command("plug 1-2")
        self.watcher.wait_for(lambda line: '"event":"outcome"' in line)
        self.command("plug 1-3")
        self.watcher.wait_for(lambda line: '"event":"outcome"' in line, count=2)
        self.watcher.wait_for(lambda line: '"event":"unplugged"' in line)
        status = self.watcher.stop()
        events = [json.loads(line) for line in self.watcher.lines]
        for event in events:
            validator.validate(event)
        self.assertEqual(status, 0)
        plugged = [e for e in events if e["event"] == "plugged"]
        self.assertEqual([e["location"] for e in plugged], ["1-2", "1-3"])
        self.assertEqual([e["port"] for e in plugged], [e["module"] for e in plugged])
        self.assertEqual([(e["upgraded"], e["modules"]) for e in events if e["event"] == "summary"],
                         [(1, 1), (2, 2), (2, 2)])
        self.assertEqual(events[-2]["text"], "Upgraded 2 of 2 modules")
        outcome = [e for e in events if e["event"] == "outcome"]
        self.assertEqual([(e["module"], e["upgraded"]) for e in outcome], [(p["port"], True) for p in plugged])
        self.assertIn(plugged[0]["port"], [e["port"] for e in events if e["event"] == "unplugged"])


class Idle(WatchTestCase):
    def test_ten_idle_seconds_cost_under_a_tenth_of_a_second_and_a_module_is_seen_within_half_a_second(self):
        self.start_station()
        self.watch()
        before = self.watcher.cpu_seconds()
        time.sleep(10)  # the measured idle time
        idle = self.watcher.cpu_seconds() - before
        self.assertLess(idle, 0.1)
        port = self.plug("1-2")
        self.assertLess(self.detection, 0.5)
        self.watcher.wait_for(lambda line: UPGRADED.match(line) is not None)
        self.assertEqual((self.watcher.stop(), self.watcher.lines[-1]), (0, "Upgraded 1 of 1 modules"))
        print(f"\nidle 10 s: {idle:.3f} s of CPU; {port} seen {self.detection * 1000:.0f} ms after its plug")

    def test_stop_request_with_nothing_plugged_ends_at_once(self):
        self.start_station()
        self.watch()
        status = self.watcher.stop(timeout=5)
        self.assertEqual((self.watcher.lines, status), (["Upgraded 0 of 0 modules"], 0))
        self.assertEqual(self.watcher.error_lines, [WATCHING])
