"""What a person gets when an upgrade does not happen: explanations on
standard error beside unchanged console lines (no configuration, no module,
a port that cannot be opened), the traffic trace of both ends of the line,
and a simulator that says which faults it injected and does not outlive a
failed updater by long."""
import contextlib
import fcntl
import math
import os
import pathlib
import re
import resource
import shutil
import stat
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

from zntv_e2e import EXIT_FAILURE, Simulator, UpgradeTestCase, happy_lines, run_upgrade, run_upgrade_on_terminal

DESCRIPTION_HINT = ("zntv-upgrade: a description file is named after the module's USB vendor and product "
                    "(VVVVPPPP.did, in hex), and the third field of its first line names the serial interface "
                    "(e.g. modem,mi_00,mi_02,diag)")
LOOK_CUT_SHORT = ("zntv-upgrade: the look through /proc for the programs holding it stopped after 500 ms; "
                  "more may hold it")
# The look through /proc that names a port's holders stops after half a
# second. The test that crowds /proc with descriptors makes any other look
# run out of it, so it takes this lock alone while the tests that expect a
# holder named share it: a file lock, which also holds across the test
# command's stages that run side by side.
PROC_CROWD_LOCK = pathlib.Path(tempfile.gettempdir()) / "zntv-e2e-proc-crowd.lock"


@contextlib.contextmanager
def proc_crowd_lock(exclusive):
    lock = os.open(PROC_CROWD_LOCK, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
        yield
    finally:
        os.close(lock)


MODEM_MANAGER_HINT = ("zntv-upgrade: usually a modem manager probing the newly attached module; the section "
                      "Modem managers of zntv-upgrade(1) shows the udev rules that make it leave the port alone")
# A program that holds the port as another program would: it names itself,
# opens the port, takes it with flock or with TIOCEXCL alone, says "ready",
# and when its standard input ends reports whether the line is still
# exclusive (TIOCGEXCL).
HOLDER = r"""
import ctypes, fcntl, os, struct, sys, termios
name, how, port = sys.argv[1], sys.argv[2], sys.argv[3]
ctypes.CDLL(None).prctl(15, ctypes.c_char_p(name.encode()), 0, 0, 0)  # PR_SET_NAME
fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
if how == "flock":
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
else:
    fcntl.ioctl(fd, termios.TIOCEXCL)
print("ready", flush=True)
sys.stdin.read()
print(struct.unpack("i", fcntl.ioctl(fd, 0x80045440, bytes(4)))[0], flush=True)  # TIOCGEXCL
"""


class PortHolder:
    """A process that holds the port, named name, until it is let go."""

    def __init__(self, port, name, how):
        self.process = subprocess.Popen([sys.executable, "-c", HOLDER, name, how, port], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        ready = self.process.stdout.readline()
        if ready != "ready\n":
            self.process.kill()
            raise AssertionError(f"the holder did not take {port}: {ready!r}")
        self.pid = self.process.pid

    def let_go(self):
        """Ends the holder; whether the line was still exclusive then."""
        output, _ = self.process.communicate(timeout=10)
        return output.strip() == "1"


# A process that holds many open descriptors, as processes of a busy gateway do.
MANY_DESCRIPTORS = r"""
import os, resource, sys
count = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_NOFILE, (count + 64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
null = os.open("/dev/null", os.O_RDONLY)
held = [os.dup(null) for _ in range(count)]
print("ready", flush=True)
sys.stdin.read()
"""


TRACE_LINE = re.compile(r" *(\d+) (tx|rx|tx-bad|rx-bad) +(DIAG|DL|SDL) +([0-9a-f]{2})((?: [0-9a-f]{2})+)")


class FailureExplanations(UpgradeTestCase):
    def port(self):
        return self.sim.env["DEV_PATH"] + "/ttyUSB0"

    def connect_failures(self):
        return ["System configured for SimModule"] + [
            f"Failed to connect {phase} server to {self.port()}" for phase in ("DIAG", "DL", "SDL")] + [
            "Download failed"]

    def test_no_configuration_names_the_pattern_searched(self):
        program_files = pathlib.Path(self.workdir) / "program files"
        (program_files / "Zantrova" / "Images" / "Alpha").mkdir(parents=True)
        (program_files / "Zantrova" / "Images" / "Alpha" / "modem.did").write_text("a,b,mi_02,c\n")
        run = run_upgrade(dict(os.environ, PROGRAMFILES=str(program_files)))
        self.assertEqual((run.lines, run.status), (["Required software not found"], EXIT_FAILURE))
        self.assertEqual(run.error_lines, [
            f"zntv-upgrade: no usable description file matches {program_files}/Zantrova/Images/*/????????.did",
            DESCRIPTION_HINT])

    def test_no_device_names_the_interface_looked_for_and_those_present(self):
        self.start_sim("--no-description", "--vid", "1D2E", "--pid", "0F0A", "--interface", 3, expect_image=False)
        description = pathlib.Path(self.sim.env["PROGRAMFILES"]) / "Zantrova" / "Images" / "Other" / "0A1B2C3D.did"
        description.parent.mkdir(parents=True)
        description.write_text("modem,mi_00,mi_02,diag\r\n")
        run = run_upgrade(self.sim.env)
        self.assertEqual((run.lines, run.status),
                         (["System configured for Other", "Unable to locate device", "Download failed"],
                          EXIT_FAILURE))
        self.assertEqual(run.error_lines, [
            "zntv-upgrade: looked for a serial port of USB interface vid_0a1b&pid_2c3d&mi_02",
            f"zntv-upgrade: USB serial interfaces present: vid_1d2e&pid_0f0a&mi_03 at {self.port()}"])

    def test_port_held_by_another_program_names_it_and_the_modem_manager(self):
        self.start_sim(expect_image=False)
        holder = os.open(self.port(), os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            with proc_crowd_lock(exclusive=False):
                run = run_upgrade(self.sim.env)
        finally:
            os.close(holder)
        self.assertEqual((run.lines, run.status), (self.connect_failures(), EXIT_FAILURE))
        name = pathlib.Path("/proc/self/comm").read_text().strip()
        self.assertEqual(self.found_holders(run.error_lines), [
            f"zntv-upgrade: {self.port()} is held by another program: {name} (pid {os.getpid()})",
            MODEM_MANAGER_HINT])

    def run_against_holder(self, name, how, crowded=False):
        """A failed run against a port that a program named name holds (by
        flock or by TIOCEXCL alone): the run, the holder's pid and whether
        the line was still exclusive after it. Unless crowded (the caller
        holds the crowd's lock), no crowd of descriptors runs beside it."""
        self.start_sim(expect_image=False)
        holder = PortHolder(self.port(), name, how)
        try:
            with contextlib.nullcontext() if crowded else proc_crowd_lock(exclusive=False):
                run = run_upgrade(self.sim.env)
        finally:
            exclusive = holder.let_go()
        self.assertEqual((run.lines, run.status), (self.connect_failures(), EXIT_FAILURE))
        return run, holder.pid, exclusive

    def held_by(self, holders):
        return [f"zntv-upgrade: {self.port()} is held by another program: {holders}", MODEM_MANAGER_HINT]

    @staticmethod
    def found_holders(error_lines):
        """The lines that name the holders, without the note that the look
        through /proc ran out of its half second: on a loaded machine it may,
        after it has found the holder."""
        return [line for line in error_lines if line != LOOK_CUT_SHORT]

    def test_port_held_by_modem_manager_says_how_to_stop_it_or_set_its_tag(self):
        run, pid, _ = self.run_against_holder("ModemManager", "flock")
        self.assertEqual(self.found_holders(run.error_lines), [
            f"zntv-upgrade: {self.port()} is held by another program: ModemManager (pid {pid})",
            "zntv-upgrade: ModemManager is probing the module: stop it while upgrading (systemctl stop "
            "ModemManager), or make it leave the port alone with the udev rules of zntv-upgrade --udev-rules "
            '(ENV{ID_MM_PORT_IGNORE}="1")'])

    def test_holder_named_with_escape_sequences_is_shown_escaped(self):
        run, pid, _ = self.run_against_holder("\x1b[2J\x1b[H\x1b[32mOK", "flock")
        self.assertEqual(self.found_holders(run.error_lines), self.held_by(f"\\x1b[2J\\x1b[H\\x1b[32mOK (pid {pid})"))

    def test_holder_without_a_name_is_named_by_its_pid(self):
        run, pid, _ = self.run_against_holder("", "flock")
        self.assertEqual(self.found_holders(run.error_lines), self.held_by(f"pid {pid}"))

    def test_port_held_with_tiocexcl_alone_is_refused_even_to_root_and_stays_exclusive(self):
        # Root is let past another program's TIOCEXCL by the kernel; the
        # updater must not share the line all the same, nor clear it.
        self.assertEqual(os.geteuid(), 0, "only root shows what the updater does with another's TIOCEXCL")
        run, pid, exclusive = self.run_against_holder("mm-probe", "tiocexcl")
        self.assertEqual(self.found_holders(run.error_lines), self.held_by(f"mm-probe (pid {pid})"))
        self.assertTrue(exclusive, "the holder's TIOCEXCL survives the run")

    def test_the_look_for_holders_stays_short_among_very_many_descriptors(self):
        # Some 190,000 open descriptors: resolving every one of them, once per
        # phase, made this failed run take 12 s; reading each link once, for
        # at most half a second, keeps it well under 3.
        per_process = min(19000, resource.getrlimit(resource.RLIMIT_NOFILE)[1] - 64)
        with proc_crowd_lock(exclusive=True):
            crowd = [subprocess.Popen([sys.executable, "-c", MANY_DESCRIPTORS, str(per_process)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                     for _ in range(-(-190000 // per_process))]
            try:
                self.assertTrue(all(process.stdout.readline() == "ready\n" for process in crowd))
                run, _, _ = self.run_against_holder("mm-probe", "flock", crowded=True)
            finally:
                for process in crowd:
                    process.communicate(timeout=30)
        self.assertLess(run.elapsed, 3)
        self.assertRegex(run.error_lines[0], rf"^zntv-upgrade: {re.escape(self.port())} is held by another program")
        self.assertEqual(run.error_lines[-1], MODEM_MANAGER_HINT)
        self.assertLessEqual(set(run.error_lines[1:-1]), {LOOK_CUT_SHORT})

    def test_permission_denied_names_the_device_node_its_group_and_how_to_join_it(self):
        # Root opens any node; without the capability to override file
        # permissions it is refused like any user outside the node's group.
        self.start_sim(expect_image=False)
        node = os.path.realpath(self.port())
        shutil.chown(node, "nobody", "dialout")
        os.chmod(node, 0o660)
        run = run_upgrade(self.sim.env, wrapper=["setpriv", "--bounding-set", "-dac_override,-dac_read_search",
                                                 "--clear-groups", "--"])
        self.assertEqual((run.lines, run.status), (self.connect_failures(), EXIT_FAILURE))
        self.assertEqual(run.error_lines, [
            f"zntv-upgrade: permission denied on {self.port()} "
            f"(device node {node}: owner nobody, group dialout, mode crw-rw----)",
            "zntv-upgrade: members of group dialout may use it: sudo usermod -aG dialout $USER, then log in again",
            "zntv-upgrade: or give the module's ports to group dialout and the user at the seat with the udev rules "
            "of zntv-upgrade --udev-rules, in /etc/udev/rules.d/70-zntv-upgrade.rules"])


def read_trace(path, program):
    """The (microseconds, direction, phase, bytes) of every line of a trace,
    checking its header, its line format and that its times never go back."""
    lines = pathlib.Path(path).read_text().splitlines()
    assert lines[0].startswith(f"# {program} traffic trace: microseconds since start"), lines[0]
    frames, last = [], 0
    for line in lines[1:]:
        match = TRACE_LINE.fullmatch(line)
        assert match, f"{path}: {line[:120]!r}"
        when, direction, phase, code, data = match.groups()
        assert int(when) >= last and data[1:3] == code, line[:120]
        last = int(when)
        frames.append((last, direction, phase, bytes.fromhex(data)))
    return frames


def sent(frames, side):
    return [(phase, data, direction.endswith("-bad")) for _, direction, phase, data in frames
            if direction.startswith(side)]


class TrafficTrace(UpgradeTestCase):
    def test_both_ends_trace_the_same_frames_in_the_same_order(self):
        # A damaged parameters answer and noise before the first answer show
        # up in both traces, marked, as what the line carried.
        host_trace, module_trace = pathlib.Path(self.workdir) / "host.trace", pathlib.Path(self.workdir) / "sim.trace"
        sim = self.start_sim("--trace", module_trace, "--bad-fcs", "dl:0x07:1", "--garbage-before", "diag:0x7c")
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(host_trace)))
        self.sim_status, self.sim_output = sim.finish()
        self.assertLines(run, happy_lines(), succeeded=True)
        host, module = read_trace(host_trace, "zntv-upgrade"), read_trace(module_trace, "zntv-module-sim")
        self.assertEqual(sent(host, "tx"), sent(module, "rx"))
        # The module's last answer of a phase may come after the updater let
        # go of the line (the downloader acknowledges the go request).
        module_sent, host_received = sent(module, "tx"), sent(host, "rx")
        for phase in ("DIAG", "DL", "SDL"):
            received = [f for f in host_received if f[0] == phase]
            self.assertEqual(received, [f for f in module_sent if f[0] == phase][:len(received)], phase)
            self.assertLessEqual(len([f for f in module_sent if f[0] == phase]) - len(received), 1, phase)
        damaged = [f for f in host_received if f[2]]
        self.assertEqual([phase for phase, _, _ in damaged], ["DIAG", "DL"])
        self.assertEqual(damaged[1][1][0], 0x08, "the parameters answer with its wrong FCS")
        streamed = b"".join(data[5:] for phase, data, _ in sent(host, "tx") if phase == "SDL" and data[0] == 0x07)
        self.assertTrue(streamed == self.image, "the traced writes carry the image")
        self.assertRegex(self.sim.log_path.read_text(), r"zntv-module-sim: at \d+\.\d{6} s, " +
                         re.escape("dl request 07 #1: answer sent with a wrong FCS (--bad-fcs)"))
        for trace in (host_trace, module_trace):
            self.assertEqual(stat.S_IMODE(trace.stat().st_mode), 0o600, f"{trace.name} is for its owner only")

    def test_a_symbolic_link_in_place_of_the_trace_is_refused_and_what_it_names_left_alone(self):
        victim, link = pathlib.Path(self.workdir) / "victim", pathlib.Path(self.workdir) / "trace.txt"
        victim.write_text("precious\n")
        victim.chmod(0o600)
        link.symlink_to(victim)
        sim = self.start_sim()
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(link)))
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual(run.status, 0, run.lines[-3:])
        self.assertEqual(run.error_lines,
                         [f"zntv-upgrade: refusing to write the traffic trace to {link}: it is a symbolic link"])
        self.assertEqual(victim.read_text(), "precious\n")

    def test_all_writes_no_module_trace_through_a_link_among_its_folders(self):
        # Each module's trace, <trace>.<port name>, goes through the same
        # checks: a link among its folders is refused, and nothing is made
        # where it leads.
        elsewhere, logs = pathlib.Path(self.workdir) / "elsewhere", pathlib.Path(self.workdir) / "logs"
        elsewhere.mkdir()
        logs.symlink_to(elsewhere)
        sim = self.start_sim()
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(logs / "t.txt")), args=["--all"])
        self.sim_status, self.sim_output = sim.finish()
        port = pathlib.Path(sim.env["DEV_PATH"]) / "ttyUSB0"
        self.assertEqual((run.lines[-1], run.status), ("Upgraded 1 of 1 modules", 0))
        self.assertEqual(run.error_lines, [f"{port}: zntv-upgrade: refusing to write the traffic trace to "
                                           f"{logs / 't.txt'}.ttyUSB0: the folder {logs} is a symbolic link"])
        self.assertEqual(list(elsewhere.iterdir()), [])

    def check_upgrade_beside_a_fifo_trace(self, fifo):
        sim = self.start_sim()
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(fifo)), timeout=90)
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual(run.status, 0, run.lines[-3:])
        self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
        self.assertLess(run.elapsed, 30, "an upgrade takes some seconds; a trace that waits costs a minute")
        self.assertEqual(run.error_lines,
                         [f"zntv-upgrade: refusing to write the traffic trace to {fifo}: it is not a regular file"])

    def test_a_fifo_without_a_reader_in_place_of_the_trace_leaves_the_upgrade_alone(self):
        fifo = pathlib.Path(self.workdir) / "trace.fifo"
        os.mkfifo(fifo)
        self.check_upgrade_beside_a_fifo_trace(fifo)

    def test_a_fifo_whose_reader_never_reads_in_place_of_the_trace_leaves_the_upgrade_alone(self):
        fifo = pathlib.Path(self.workdir) / "trace.fifo"
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            self.check_upgrade_beside_a_fifo_trace(fifo)
        finally:
            os.close(reader)

    def test_trace_file_that_cannot_be_written_leaves_the_upgrade_alone(self):
        unwritable = pathlib.Path(self.workdir) / "missing" / "trace.txt"  # in a folder that does not exist
        sim = self.start_sim()
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(unwritable)))
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual(run.status, 0, run.lines[-3:])
        self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
        self.assertRegex("\n".join(run.error_lines),
                         rf"^zntv-upgrade: cannot write the traffic trace to {re.escape(str(unwritable))} "
                         r"\(system error \d+\)$")


    def test_acknowledgements_reach_the_updater_as_they_come_on_a_fast_link(self):
        # 8 KiB writes at 10 MB/s: the module answers about every 0.8 ms,
        # closer than the port's 2 ms read interval. Were reads completed
        # only by that interval, no answer of a window would reach the
        # updater before the window drained: its trace would show each
        # window's answers decoded in one run, then the next window's writes
        # in one run. Reads that end with a frame's closing flag hand each
        # answer over as it comes, and writes and answers take turns.
        window = 16
        host_trace = pathlib.Path(self.workdir) / "host.trace"
        sim = self.start_sim("--link-speed", 10000000, "--sdl-max-write", 8192, "--sdl-window", window)
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(host_trace)))
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual(run.status, 0, run.lines[-3:])
        self.assertSimConfirmed()
        streaming = [(when, direction, data[0]) for when, direction, phase, data in
                     read_trace(host_trace, "zntv-upgrade") if phase == "SDL" and data[0] in (0x07, 0x08)]
        answer_runs, run_length = [], 0
        for _, direction, code in streaming:
            if direction == "rx":
                run_length += 1
            elif run_length:
                answer_runs.append(run_length)
                run_length = 0
        answer_runs.append(run_length)
        self.assertEqual(sum(answer_runs), math.ceil(len(self.image) / 8192))
        # Generous slack for a busy machine: a stalled updater finds several
        # answers waiting at once now and then.
        self.assertLessEqual(statistics.median(answer_runs), 2, answer_runs)
        self.assertLess(max(answer_runs), window, answer_runs)


class ProgressLine(UpgradeTestCase):
    """The status line on standard error while the image streams: drawn on a
    terminal only, never seen by a pipe, and standard output unchanged."""

    # About three seconds of streaming.
    SLOW_LINK = ("--link-speed", 400000)
    STATUS = re.compile(rb"SDL write: (\d+\.\d\d) of (\d+\.\d\d) MB, (\d+)%"
                        rb"(?:, (\d+\.\d\d) MB/s, (\d+):(\d\d) left)?")

    def upgrade_on_terminal(self, **env):
        sim = self.start_sim(*self.SLOW_LINK)
        terminal_env = {name: value for name, value in sim.env.items() if name != "ZNTV_NO_PROGRESS"}
        run, pieces = run_upgrade_on_terminal({**terminal_env, "TERM": "xterm", **env})
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual(run.status, 0, run.lines[-3:])
        self.assertSimConfirmed()
        return run, pieces

    @staticmethod
    def without_elapsed_time(lines):
        return [re.sub(r"^Upgraded in \d+ ms$", "Upgraded in N ms", line) for line in lines]

    def test_a_terminal_sees_the_progress_and_standard_output_is_unchanged(self):
        run, pieces = self.upgrade_on_terminal()
        shown = b"".join(data for _, data in pieces)
        statuses = list(self.STATUS.finditer(shown))
        percentages = [int(m.group(3)) for m in statuses]
        self.assertGreaterEqual(len(set(percentages)), 5, shown[-2000:])
        self.assertEqual(percentages, sorted(percentages))
        self.assertEqual({m.group(2) for m in statuses}, {f"{len(self.image) / 1e6:.2f}".encode()})
        # Rate and time left once some bytes are through; a rate near the link's.
        rates = [float(m.group(4)) for m in statuses if m.group(4)]
        self.assertTrue(rates and 0.1 < rates[-1] < 0.45, rates)
        # Each drawing erases the previous one, and the last one is erased too.
        self.assertEqual(shown.count(b"\r\x1b[K"), len(statuses), shown[-2000:])
        self.assertTrue(shown.endswith(b"\r\x1b[K"), shown[-200:])
        # Every console line erases it and draws it again; what it says
        # changes at most ten times a second.
        changes = [(when, text) for when, data in pieces for text in
                   (m.group(0) for m in self.STATUS.finditer(data))]
        changes = [c for i, c in enumerate(changes) if i == 0 or c[1] != changes[i - 1][1]]
        self.assertLessEqual(len(changes), 10 * (changes[-1][0] - changes[0][0]) + 2, changes)

        second_dir = pathlib.Path(self.workdir) / "second"
        second_dir.mkdir()
        second = Simulator(second_dir, expect_image=self.image_path)
        try:
            piped = run_upgrade(second.env)
        finally:
            second.stop()
        self.assertEqual(piped.status, 0, piped.lines[-3:])
        self.assertEqual(piped.error_lines, [], "a pipe gets no progress")
        self.assertEqual(self.without_elapsed_time(run.lines), self.without_elapsed_time(piped.lines))

    def test_no_progress_when_turned_off(self):
        _, pieces = self.upgrade_on_terminal(ZNTV_NO_PROGRESS="")
        self.assertEqual(b"".join(data for _, data in pieces), b"")

    def test_a_terminal_without_cursor_control_gets_a_percentage_line_a_second(self):
        _, pieces = self.upgrade_on_terminal(TERM="dumb")
        lines = [(when, line) for when, data in pieces for line in data.split(b"\r\n") if line]
        self.assertGreaterEqual(len(lines), 2, lines)
        self.assertTrue(all(re.fullmatch(rb"SDL write: \d+%", line) for _, line in lines), lines)
        times = [when for when, _ in lines]
        self.assertTrue(all(b - a > 0.8 for a, b in zip(times, times[1:])), times)


class SimulatorAfterTheUpdater(UpgradeTestCase):
    """The simulator reports its faults on standard error and ends a few
    seconds after the updater has let go of the line for good."""

    def check_ends_soon(self, *sim_args):
        sim = self.start_sim(*sim_args, expect_image=False)
        run = run_upgrade(sim.env)
        self.assertEqual(run.status, EXIT_FAILURE)
        ended = time.monotonic()
        self.sim_status, self.sim_output = sim.finish(timeout=30)
        waited = time.monotonic() - ended
        self.assertEqual(self.sim_status, 3)
        self.assertEqual(sim.summary()["end"], "host-gone")
        self.assertLess(waited, 5 + 3, "ends about 5 s after the updater let go")
        self.assertGreater(waited, 4, "gives the updater 5 s to open the port again")
        self.assertIn("run ends: host-gone", sim.log_path.read_text())
        return run

    def test_after_a_hello_it_cannot_take(self):
        run = self.check_ends_soon("--sdl-hello-bad-magic")
        self.assertEqual(run.lines[-2:], ["Failed to receive valid SDL hello response", "Download failed"])
        self.assertRegex(self.sim.log_path.read_text(),
                         r"zntv-module-sim: at \d+\.\d{6} s, sdl request 01 #1: hello answered with a damaged magic")

    def test_after_it_stopped_reading(self):
        run = self.check_ends_soon("--stall", "sdl:0x07:20")
        self.assertRegex(run.lines[-2], r"Failed to send SDL write request")
        self.assertRegex(self.sim.log_path.read_text(),
                         r"zntv-module-sim: at \d+\.\d{6} s, sdl request 07 #20: stops reading the line for good")


if __name__ == "__main__":
    unittest.main()
