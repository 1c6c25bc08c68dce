"""Harness of the whole-upgrade tests: starts zntv-module-sim in a temporary
root of its own, runs zntv-upgrade against it with the environment the
simulator prints, and offers what both left behind: the updater's console
lines with their arrival times and exit status, the simulator's records, and
the embedded files the build used, to compare them with, and the golden
transcripts in golden/: what the updater printed, byte for byte, for the
flows whose console output is fixed (golden/README.md).

Paths come from the environment that ctest sets: ZNTV_BINARY_DIR (the build
tree holding both executables and resources/embedded_inputs.txt). A cross
build's updater runs under the emulator that ZNTV_EMULATOR names (a command
line, e.g. "qemu-aarch64 -L /"), the Windows build's under the runner that
ZNTV_UPGRADE_RUNNER names (wine), against a simulator built for this host,
which ZNTV_SIMULATOR names.
"""
import hashlib
import math
import os
import pathlib
import pty
import re
import shlex
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

BUILD_DIR = pathlib.Path(os.environ.get("ZNTV_BINARY_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
UPGRADE = BUILD_DIR / ("zntv-upgrade.exe" if os.environ.get("ZNTV_UPGRADE_RUNNER") else "zntv-upgrade")
SIMULATOR = pathlib.Path(os.environ.get("ZNTV_SIMULATOR", BUILD_DIR / "zntv-module-sim"))
EMULATOR_COMMAND = shlex.split(os.environ.get("ZNTV_EMULATOR", ""))
UPGRADE_COMMAND = [*EMULATOR_COMMAND,
                   *shlex.split(os.environ.get("ZNTV_UPGRADE_RUNNER", "")), str(UPGRADE)]

# What the simulator reports about itself unless told otherwise.
SIM_DEFAULTS = dict(config="SimModule", dl_version=2, dl_min_version=1, dl_max_write=1024, sdl_max_version=3,
                    sdl_min_version=2, sdl_max_write=4096, sdl_base=0x00200000, sdl_window=16, sdl_feature_mask=0x01)

EXIT_FAILURE = 255  # -1 as the shell sees it

GOLDEN_DIR = pathlib.Path(__file__).resolve().parent / "golden"
# The golden transcripts hold the outcome line of a success as this: the
# one place where a run's output varies. Only the last line, digits only.
ELAPSED = re.compile(rb"^Upgraded in [0-9]+ ms\n\Z", re.M)
ELAPSED_PLACEHOLDER = b"Upgraded in N ms\n"
CONFIGURED = "System configured for SimModule"


def embedded_inputs():
    """(programmer HEX path, device image path) that the build embedded."""
    lines = (BUILD_DIR / "resources" / "embedded_inputs.txt").read_text().split("\n")
    return pathlib.Path(lines[0]), pathlib.Path(lines[1])


class HexImage:
    """An Intel HEX file as one memory block: load address, bytes, start."""

    def __init__(self, path):
        segments, upper, self.start = {}, 0, None
        for line in pathlib.Path(path).read_text().splitlines():
            record = bytes.fromhex(line.strip()[1:])
            count, address, kind, data = record[0], int.from_bytes(record[1:3], "big"), record[3], record[4:-1]
            assert len(data) == count and sum(record) & 0xFF == 0, f"bad record {line!r}"
            if kind == 0x00:
                segments[(upper << 16) + address] = data
            elif kind == 0x04:
                upper = int.from_bytes(data, "big")
            elif kind == 0x05:
                self.start = int.from_bytes(data, "big")
        self.address = min(segments)
        end = max(a + len(d) for a, d in segments.items())
        image = bytearray(b"\xff" * (end - self.address))
        for a, d in segments.items():
            image[a - self.address:a - self.address + len(d)] = d
        self.data = bytes(image)


def golden_output(name):
    """The bytes of golden/<name>.txt, checked to be made with the image the
    build embeds (the transcript's write lines depend on it)."""
    _, image_path = embedded_inputs()
    digest = hashlib.sha256(image_path.read_bytes()).hexdigest()
    made_with = (GOLDEN_DIR / "image.sha256").read_text().split()[0]
    if digest != made_with:
        raise AssertionError(f"the golden transcripts were made with the generated sample image (SHA-256 "
                             f"{made_with}); this build embeds {image_path} (SHA-256 {digest})")
    return (GOLDEN_DIR / f"{name}.txt").read_bytes()


def golden_lines(name):
    """The lines of golden/<name>.txt between the configuration line and the
    outcome line, as assertLines takes them."""
    lines = golden_output(name).decode().splitlines()
    assert lines[0] == CONFIGURED, lines[0]
    return lines[1:-1]


def happy_lines():
    """An unhindered upgrade of the default module, from the first DIAG line
    to the reset request: the happy golden transcript's."""
    return golden_lines("happy")


class UpgradeRun:
    """zntv-upgrade's console lines (with seconds since start) and status, its
    standard output as bytes, the lines it wrote to standard error, how long
    it ran and the peak of its resident memory (KiB)."""

    def __init__(self, timed_lines, status, elapsed=None, peak_rss_kib=None, error_lines=(), output=b""):
        self.timed_lines = timed_lines
        self.output = output
        self.lines = [line for _, line in timed_lines]
        self.error_lines = list(error_lines)
        self.status = status
        self.elapsed = elapsed
        self.peak_rss_kib = peak_rss_kib

    def time_of(self, line):
        return next(t for t, l in self.timed_lines if l == line)


class SimControl:
    """The simulator's control FIFO (--control): each send opens it, writes
    its commands one a line and closes it again, as a bench controller
    might."""

    def __init__(self, path):
        self.path = pathlib.Path(path)

    def send(self, *commands):
        with open(self.path, "w") as fifo:
            fifo.write("".join(f"{command}\n" for command in commands))


class Simulator:
    """One zntv-module-sim process with its own root, records and stderr log;
    with control=True it takes commands through sim.control (SimControl)."""

    def __init__(self, workdir, *args, expect_image=None, control=False):
        # A root of its own: the simulator takes only an empty or new one.
        self.root = next(root for n in range(1000) if not (root := pathlib.Path(workdir) / f"root{n or ''}").exists())
        self.records = pathlib.Path(workdir) / "records"
        self.log_path = pathlib.Path(workdir) / "sim.log"
        if not (os.path.isfile(SIMULATOR) and os.access(SIMULATOR, os.X_OK)):
            raise AssertionError(f"no module simulator runs here: {SIMULATOR} (a cross build names one built for "
                                 "this host with -DZNTV_HOST_SIMULATOR=<path>)")
        command = [str(SIMULATOR), "--root", str(self.root), "--record-dir", str(self.records), "--verbose",
                   "--idle-timeout", "40000", *map(str, args)]
        if expect_image:
            command += ["--expect-image", str(expect_image)]
        self.control = SimControl(pathlib.Path(workdir) / "control") if control else None
        if control:
            command += ["--control", str(self.control.path)]
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.env = dict(os.environ)
        for _ in range(3):
            line = self.process.stdout.readline()
            match = re.fullmatch(r"export (\w+)='(.*)'\n", line)
            if not match:
                self.process.kill()
                raise AssertionError(f"simulator did not announce itself: {line!r}\n{self.log_path.read_text()}")
            self.env[match.group(1)] = match.group(2)

    def finish(self, timeout=20):
        """Ends the simulator (if the run left it waiting) and returns its
        exit status and remaining standard output lines."""
        if self.process.stdout.closed:
            return self.process.returncode, self.rest
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            self.process.wait(timeout)
        self.rest = self.process.stdout.read().splitlines()
        self.process.stdout.close()
        self.log.close()
        return self.process.returncode, self.rest

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        return self.finish()

    # With several modules (--modules), each one's records are in a folder
    # named after its USB location. A module that serves several upgrades
    # (--return-after-reset, --control, --unplugged) keeps the records of
    # its n-th upgrade under the names with the suffix .n from the second on.

    def record(self, name, location="", upgrade=1):
        return self.records / location / (name if upgrade == 1 else f"{name}.{upgrade}")

    def summary(self, location="", upgrade=1):
        text = self.record("summary.txt", location, upgrade).read_text()
        return dict(line.split("=", 1) for line in text.splitlines())

    def requests(self, location="", upgrade=1):
        return self.record("requests.txt", location, upgrade).read_text().splitlines()

    def ram(self, location="", upgrade=1):
        return self.record("ram.bin", location, upgrade).read_bytes()

    def flash(self, location="", upgrade=1):
        return self.record("flash.bin", location, upgrade).read_bytes()

    def timeline(self, location=""):
        """A module's events so far, as (monotonic ms, event) in order."""
        path = self.records / location / "timeline"
        text = path.read_text() if path.exists() else ""
        return [(int(ms), event) for ms, event in (line.split(" ", 1) for line in text.splitlines())]

    def events(self, location=""):
        return [event for _, event in self.timeline(location)]

    def wait_for_events(self, count, location="", timeout=20):
        """The module's first count events, once it has noted them (fewer when
        the time runs out)."""
        deadline = time.monotonic() + timeout
        while len(events := self.events(location)) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return events[:count]


def run_upgrade(env, timeout=120, wrapper=(), args=(), on_line=None):
    """One zntv-upgrade run with args (behind the wrapper command, if any, and
    the cross build's emulator or Wine); standard output and standard error
    are kept apart. on_line(process, line), if given, sees each console line
    as it arrives."""
    errors = []

    def read_errors(process):
        errors.extend(raw.decode("utf-8", "replace").rstrip("\r\n") for raw in process.stderr)
        process.stderr.close()

    run = _run(env, timeout, [*wrapper, *UPGRADE_COMMAND, *map(str, args)], subprocess.PIPE, read_errors, on_line)
    run.error_lines = errors
    return run


def run_upgrade_on_terminal(env, timeout=120, args=()):
    """One zntv-upgrade run with args and standard error on a pseudo-terminal,
    as in a terminal window, and standard output in a pipe. Returns the run
    and what the terminal received: (seconds since start, bytes) pieces as
    they came."""
    master, slave = pty.openpty()
    pieces = []

    def read_terminal(_):
        os.close(slave)  # the updater holds the only other copy
        start = time.monotonic()
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: the updater has closed its end
                break
            if not data:
                break
            pieces.append((time.monotonic() - start, data))
        os.close(master)

    run = _run(env, timeout, [*UPGRADE_COMMAND, *map(str, args)], slave, read_terminal)
    return run, pieces


def _run(env, timeout, command, stderr, read_stderr, on_line=None):
    """Runs command with standard output in a pipe and standard error on
    stderr, which read_stderr(process) drains beside; the console lines come
    with their arrival times, each handed to on_line(process, line) too."""
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, env=env)
    watchdog = threading.Timer(timeout, process.kill)
    watchdog.start()
    timed, output = [], []
    error_reader = threading.Thread(target=read_stderr, args=(process,))
    error_reader.start()
    try:
        with process.stdout:
            for raw in process.stdout:
                output.append(raw)
                timed.append((time.monotonic() - start, raw.decode("utf-8", "replace").rstrip("\r\n")))
                if on_line:
                    on_line(process, timed[-1][1])
        # Reaped here rather than by Popen, for the child's resource usage.
        _, wait_status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(wait_status)
    finally:
        watchdog.cancel()
        error_reader.join()
    return UpgradeRun(timed, process.returncode, time.monotonic() - start, usage.ru_maxrss, output=b"".join(output))


# The lines the updater prints, phase by phase.

def diag_lines():
    return ["Sending DIAG build ID request", "Sending DIAG mode request", "Waiting for device to go offline",
            "Sending DIAG download mode request", "Waiting for device to switch to download mode"]


def dl_lines(version=2, min_version=1, max_write=1024):
    return ["Sending DL parameters request", f"DL Current Version:    {version}",
            f"DL Minimum Version:    {min_version}", f"DL Maximum Write Size: {max_write}",
            "Waiting for device to switch to program mode"]


def sdl_hello_lines(max_version=3, min_version=2, max_write=4096, base=0x00200000, window=16, feature_mask=0x01):
    return ["Sending SDL hello request", f"SDL Max Version:    {max_version}", f"SDL Min Version:    {min_version}",
            f"SDL Max Write Size: {max_write}", f"SDL Base Address:   {base}", f"SDL Window Size:    {window}",
            f"SDL Feature Mask:   0x{feature_mask:02X}"]


def sdl_stream_lines(image_length, block, base, window, log_every=0, error_at=0, error_code=None):
    """The write and acknowledgement lines: `window` writes go out before the
    first acknowledgement is looked for, then one acknowledgement per write,
    then the rest. Log packets precede the answer to every log_every-th write;
    an error packet replaces the answer to write error_at and ends the stream
    (error_code None: an error packet too short to carry its code)."""
    writes = [(base + offset, min(block, image_length - offset)) for offset in range(0, image_length, block)]
    lines, state = [], {"sent": 0, "acknowledged": 0}

    def collect():
        number = state["acknowledged"] + 1
        if log_every and number % log_every == 0 and number != error_at:
            lines.append("Received SDL log")
        if number == error_at:
            lines.append(f"Received SDL error ({error_code})" if error_code is not None else
                         "Received invalid SDL error")
            lines.append(f"Failed to receive SDL response [{state['acknowledged']} of {len(writes)}]")
            return False
        lines.append(f"Received SDL write response (0x{writes[number - 1][0]:08X})")
        state["acknowledged"] = number
        return True

    for address, size in writes:
        if state["sent"] >= window and not collect():
            return lines
        state["sent"] += 1
        lines.append(f"Sent SDL write request (0x{address:08X}, {size})")
    while state["acknowledged"] < len(writes):
        if not collect():
            return lines
    return lines


def write_count(length, block):
    return math.ceil(length / block)


class UpgradeTestCase(unittest.TestCase):
    """Each test gets a fresh directory; the simulator started in it is
    stopped and, when the test failed, its log is shown."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.programmer_path, cls.image_path = embedded_inputs()
        cls.programmer = HexImage(cls.programmer_path)
        cls.image = cls.image_path.read_bytes()

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="zntv-e2e-")
        self.sim = None

    def tearDown(self):
        if self.sim:
            self.sim.stop()
        if self.sim and self.has_failed():
            print(f"\n--- simulator log ({self.id()}) ---\n" + self.sim.log_path.read_text()[-4000:])
        shutil.rmtree(self.workdir, ignore_errors=True)

    def has_failed(self):
        """Whether the test body failed (unittest keeps this to itself)."""
        outcome = getattr(self, "_outcome", None)
        if outcome is None:
            return False
        if hasattr(outcome, "errors"):  # before Python 3.11
            return any(error for _, error in outcome.errors)
        return any(test is self for test, _ in outcome.result.errors + outcome.result.failures)

    def start_sim(self, *args, expect_image=True, control=False):
        self.sim = Simulator(self.workdir, *args, expect_image=self.image_path if expect_image else None,
                             control=control)
        return self.sim

    def upgrade(self, *sim_args, timeout=120):
        """Runs one whole upgrade against a simulator started with sim_args;
        returns the updater's run after the simulator has ended."""
        sim = self.start_sim(*sim_args)
        run = run_upgrade(sim.env, timeout)
        self.sim_status, self.sim_output = sim.finish()
        return run

    def assertLines(self, run, expected_without_last, succeeded, error_lines=()):
        """The exact console lines, the last one the outcome, and the exact
        lines on standard error (none unless given)."""
        self.assertEqual(run.lines[:-1], [CONFIGURED] + expected_without_last)
        self.assertEqual(run.error_lines, list(error_lines))
        if succeeded:
            self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
            self.assertEqual(run.status, 0)
        else:
            self.assertEqual(run.lines[-1], "Download failed")
            self.assertEqual(run.status, EXIT_FAILURE)

    def assertGoldenOutput(self, run, name, status):
        """Standard output byte for byte as golden/<name>.txt holds it (a
        success's elapsed milliseconds aside), nothing on standard error, and
        the exit status. With ZNTV_UPDATE_GOLDEN=1 it writes the file instead,
        from this run: review the difference before committing it."""
        output = ELAPSED.sub(ELAPSED_PLACEHOLDER, run.output) if status == 0 else run.output
        if os.environ.get("ZNTV_UPDATE_GOLDEN") == "1":
            (GOLDEN_DIR / f"{name}.txt").write_bytes(output)
            (GOLDEN_DIR / "image.sha256").write_text(f"{hashlib.sha256(self.image).hexdigest()}  "
                                                      "the generated sample device image\n")
            print(f"\nwrote {GOLDEN_DIR / name}.txt")
        self.assertEqual(output.decode(errors="replace"), golden_output(name).decode(errors="replace"))
        self.assertEqual(output, golden_output(name))
        self.assertEqual(run.error_lines, [])
        self.assertEqual(run.status, status)

    def assertProgrammerLoaded(self, sim):
        summary = sim.summary()
        self.assertEqual(summary["ram_address"], f"0x{self.programmer.address:08X}")
        self.assertEqual(summary["ram_gaps"], "0")
        self.assertEqual(sim.ram(), self.programmer.data, "programmer bytes in RAM")
        self.assertEqual(summary["start_address"], f"0x{self.programmer.start:08X}")

    def assertImageFlashed(self, sim, base=SIM_DEFAULTS["sdl_base"], location=""):
        summary = sim.summary(location)
        self.assertEqual(summary["flash_address"], f"0x{base:08X}")
        self.assertEqual(summary["flash_gaps"], "0")
        self.assertEqual(summary["flash_overlaps"], "0")
        self.assertTrue(sim.flash(location) == self.image, f"image bytes in flash {location}")
        self.assertEqual(summary["reset"], "yes")

    def assertSimConfirmed(self):
        self.assertEqual(self.sim_status, 0, self.sim_output)
        self.assertEqual(self.sim_output, [
            f"Flash verified: {len(self.image)} bytes at 0x{SIM_DEFAULTS['sdl_base']:08X} match {self.image_path}"])
