"""--json against the simulated module: every event of a whole upgrade, of a
failing stage, of --list and of --all is one JSON object on a line of its
own that the shipped schema accepts; the texts of its line events are the
console lines of the same run without --json; standard error keeps its
human notes; and --all on a terminal shows one progress line per module."""
import json
import pathlib
import re
import unittest

import jsonschema

from zntv_e2e import (EXIT_FAILURE, SIM_DEFAULTS, UpgradeTestCase, run_upgrade, run_upgrade_on_terminal,
                      write_count)

D = SIM_DEFAULTS
SCHEMA_PATH = pathlib.Path(__file__).resolve().parents[2] / "docs" / "events.schema.json"
IDENTITY = "vid_0a1b&pid_2c3d&mi_02"


def without_elapsed_time(lines):
    return [re.sub(r"(Upgraded in )\d+( ms)$", r"\1N\2", line) for line in lines]


class JsonTestCase(UpgradeTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        schema = json.loads(SCHEMA_PATH.read_text())
        jsonschema.Draft202012Validator.check_schema(schema)
        cls.validator = jsonschema.Draft202012Validator(schema)

    def events_of(self, run):
        """Every standard output line as an event the schema accepts."""
        events = []
        for line in run.lines:
            event = json.loads(line)
            errors = [f"{list(e.path)}: {e.message}" for e in self.validator.iter_errors(event)]
            self.assertEqual(errors, [], line)
            events.append(event)
        return events

    def both_runs(self, *sim_args, args=()):
        """The same run against a fresh simulator each: with --json (its
        events) and without (the console's run, its lines and notes with the
        first simulator's device folder, self.dev, in place of its own)."""
        runs, devs = [], []
        for options in ([*args, "--json"], list(args)):
            sim = self.start_sim(*sim_args)
            devs.append(sim.env["DEV_PATH"])
            runs.append(run_upgrade(sim.env, args=options, timeout=200))
            self.sim_status, self.sim_output = sim.finish(timeout=60)
        json_run, console = runs
        self.dev = devs[0]
        for lines in (console.lines, console.error_lines):
            lines[:] = [line.replace(devs[1], devs[0]) for line in lines]
        self.assertEqual(json_run.status, console.status)
        return json_run, self.events_of(json_run), console

    def assertSameTranscript(self, events, console):
        texts = [event["text"] for event in events if event["event"] == "line"]
        self.assertEqual(without_elapsed_time(texts), without_elapsed_time(console.lines))

    def assertPaced(self, events):
        """Progress events at most ten a second per transfer, the last one of
        each whole transfer among them."""
        progress = [event for event in events if event["event"] == "progress"]
        self.assertTrue(progress, "no progress events")
        for stage in {event["stage"] for event in progress}:
            times = [event["t"] for event in progress if event["stage"] == stage]
            self.assertLessEqual(len(times), 10 * (times[-1] - times[0]) / 1000 + 2, (stage, times))

    def kinds(self, events):
        return [event["event"] for event in events]


class SingleUpgrade(JsonTestCase):
    def test_happy_path_every_event_fits_the_schema_and_the_lines_are_the_console(self):
        run, events, console = self.both_runs()
        self.assertSameTranscript(events, console)
        self.assertEqual((run.status, run.error_lines, console.error_lines), (0, [], []))
        self.assertEqual(events[0], {"v": 1, "event": "line", "t": events[0]["t"], "stage": "lookup",
                                     "text": "System configured for SimModule"})
        port = next(event for event in events if event["event"] == "port")["port"]
        self.assertEqual(port, self.dev + "/ttyUSB0")
        after_port = events[events.index(next(e for e in events if e["event"] == "port")):]
        self.assertTrue(all("port" in event for event in after_port))
        self.assertEqual({event["stage"] for event in events if event["event"] == "line"},
                         {"lookup", "diag", "dl", "sdl", "outcome"})
        sdl = [event for event in events if event["event"] == "progress" and event["stage"] == "sdl"]
        self.assertEqual((sdl[-1]["acknowledged"], sdl[-1]["total"]), (len(self.image), len(self.image)))
        self.assertPaced(events)
        self.assertNotIn("failure", self.kinds(events))
        outcome = events[-1]
        self.assertEqual((outcome["event"], outcome["upgraded"], outcome["stage"]), ("outcome", True, "outcome"))
        self.assertEqual(events[-2]["text"], f"Upgraded in {outcome['ms']} ms")
        times = [event["t"] for event in events if event["event"] == "line"]
        self.assertEqual(times, sorted(times))

    def failures_of(self, events):
        return [(e["stage"], e["step"]) for e in events if e["event"] == "failure"]

    def test_diag_stage_failing_is_a_failure_event_and_the_upgrade_goes_on(self):
        # A module left in its boot downloader does not answer the DIAG build
        # ID request.
        run, events, console = self.both_runs("--start-stage", "dl")
        self.assertSameTranscript(events, console)
        self.assertEqual(self.failures_of(events), [("diag", "Failed to receive valid DIAG build ID response")])
        self.assertEqual((events[-1]["event"], events[-1]["upgraded"], run.status), ("outcome", True, 0))
        self.assertEqual(run.error_lines, console.error_lines)

    def test_dl_stage_failing_is_a_failure_event_and_the_upgrade_goes_on(self):
        run, events, console = self.both_runs("--start-stage", "sdl")
        self.assertSameTranscript(events, console)
        self.assertEqual(self.failures_of(events), [("diag", "Failed to receive valid DIAG build ID response"),
                                                    ("dl", "Failed to receive DL parameters response")])
        self.assertEqual((events[-1]["upgraded"], run.status), (True, 0))

    def test_sdl_error_packet_is_a_failure_with_its_code_and_the_run_fails(self):
        run, events, console = self.both_runs("--sdl-error-at", 40, "--sdl-error-code", 1234)
        self.assertSameTranscript(events, console)
        total = write_count(len(self.image), D["sdl_max_write"])
        failures = [e for e in events if e["event"] == "failure"]
        self.assertEqual([(e["stage"], e["step"]) for e in failures],
                         [("sdl", f"Failed to receive SDL response [39 of {total}]")])
        self.assertEqual(failures[0].get("error"), 1234)
        # The transfer's last state comes before its failure.
        before = events[:events.index(failures[0])]
        last = [e for e in before if e["event"] == "progress" and e["stage"] == "sdl"][-1]
        self.assertEqual(last["acknowledged"], 39 * D["sdl_max_write"])
        self.assertEqual((events[-2]["text"], events[-1]["event"], events[-1]["upgraded"]),
                         ("Download failed", "outcome", False))
        self.assertEqual(run.status, EXIT_FAILURE)

    def test_notes_stay_on_standard_error_as_text(self):
        run, events, console = self.both_runs("--entry", "ttyUSB2", "--dl-entry", "ttyUSB0")
        self.assertSameTranscript(events, console)
        came_back = f"zntv-upgrade: the module came back as {self.dev}/ttyUSB0"
        self.assertEqual((run.error_lines, console.error_lines), ([came_back], [came_back]))
        ports = [e["port"] for e in events if e["event"] == "port"]
        self.assertEqual(ports[0], self.dev + "/ttyUSB2")
        self.assertEqual(ports[-1], self.dev + "/ttyUSB0")


class ListAndAll(JsonTestCase):
    def test_list_gives_one_module_event_per_module(self):
        sim = self.start_sim("--modules", 2, "--entry", "ttyUSB2,ttyUSB0", "--location", "1-4.2,1-3",
                             expect_image=False)
        run = run_upgrade(sim.env, args=["--list", "--json"])
        sim.stop()
        events = self.events_of(run)
        dev = sim.env["DEV_PATH"]
        self.assertEqual((run.status, run.error_lines), (0, []))
        self.assertEqual([{k: v for k, v in e.items() if k != "t"} for e in events], [
            {"v": 1, "event": "line", "stage": "lookup", "text": "System configured for SimModule"},
            {"v": 1, "event": "module", "port": f"{dev}/ttyUSB0", "stage": "lookup", "identity": IDENTITY,
             "location": "1-3", "configuration": "SimModule"},
            {"v": 1, "event": "module", "port": f"{dev}/ttyUSB2", "stage": "lookup", "identity": IDENTITY,
             "location": "1-4.2", "configuration": "SimModule"}])

    def test_all_passes_each_modules_events_on_and_ends_with_a_summary(self):
        run, events, console = self.both_runs("--modules", 2, args=["--all"])
        ports = [self.dev + "/ttyUSB0", self.dev + "/ttyUSB1"]
        self.assertEqual((run.status, run.error_lines), (0, []))
        self.assertEqual({e.get("module") for e in events[:-2]}, set(ports))
        self.assertTrue(all("port" in e for e in events[:-2]))
        for port in ports:
            texts = [e["text"] for e in events if e["event"] == "line" and e.get("module") == port]
            prefix = port + ": "
            console_lines = [line[len(prefix):] for line in console.lines if line.startswith(prefix)]
            self.assertEqual(without_elapsed_time(texts), without_elapsed_time(console_lines), port)
            self.assertEqual([e["upgraded"] for e in events if e["event"] == "outcome" and e["module"] == port],
                             [True])
        self.assertEqual(console.lines[-1], "Upgraded 2 of 2 modules")
        self.assertEqual([{k: v for k, v in e.items() if k != "t"} for e in events[-2:]], [
            {"v": 1, "event": "line", "stage": "outcome", "text": "Upgraded 2 of 2 modules"},
            {"v": 1, "event": "summary", "stage": "outcome", "upgraded": 2, "modules": 2}])

    def test_all_on_a_terminal_shows_one_progress_line_per_module(self):
        # About three seconds of streaming each.
        sim = self.start_sim("--modules", 2, "--link-speed", 400000)
        env = {name: value for name, value in sim.env.items() if name != "ZNTV_NO_PROGRESS"}
        run, pieces = run_upgrade_on_terminal({**env, "TERM": "xterm"}, timeout=200, args=["--all"])
        self.sim_status, self.sim_output = sim.finish(timeout=60)
        self.assertEqual((run.status, run.lines[-1]), (0, "Upgraded 2 of 2 modules"))
        self.assertFalse(any(line.startswith("{") for line in run.lines), "standard output has console lines")
        shown = b"".join(data for _, data in pieces)
        dev = re.escape(sim.env["DEV_PATH"].encode())

        def status(n):
            return dev + b"/ttyUSB" + str(n).encode() + rb": \d+\.\d\d of \d+\.\d\d MB, \d+%[^\r\n]*"

        both = re.compile(status(0) + rb"\r?\n" + status(1) + b"|" + status(1) + rb"\r?\n" + status(0))
        drawings = both.findall(shown)
        self.assertGreaterEqual(len(drawings), 3, shown[-3000:])
        # Two lines erased at once, from the last one up; all erased at the end.
        self.assertIn(b"\r\x1b[K\x1b[A\x1b[K", shown)
        self.assertTrue(shown.endswith(b"\r\x1b[K\x1b[A\x1b[K"), shown[-200:])
        for port in (b"ttyUSB0", b"ttyUSB1"):
            self.assertRegex(shown, rb"/" + port + rb": \d+\.\d\d of \d+\.\d\d MB, 100%")


if __name__ == "__main__":
    unittest.main()
