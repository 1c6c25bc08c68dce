"""What a person gets when an upgrade does not happen: explanations on
standard error beside unchanged console lines (no configuration, no module,
a port that cannot be opened), the traffic trace of both ends of the line,
and a simulator that says which faults it injected and does not outlive a
failed updater by long."""
import fcntl
import os
import pathlib
import re
import shutil
import time
import unittest

from zntv_e2e import (EXIT_FAILURE, SIM_DEFAULTS, UpgradeTestCase, diag_lines, dl_lines, run_upgrade,
                      sdl_hello_lines, sdl_stream_lines)

D = SIM_DEFAULTS
DESCRIPTION_HINT = ("zntv-upgrade: a description file is named after the module's USB vendor and product "
                    "(VVVVPPPP.did, in hex), and the third field of its first line names the serial interface "
                    "(e.g. modem,mi_00,mi_02,diag)")
MODEM_MANAGER_HINT = ("zntv-upgrade: usually a modem manager probing the newly attached module; the section "
                      "Modem managers of zntv-upgrade(1) shows a udev rule that makes it leave the module alone")
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
            run = run_upgrade(self.sim.env)
        finally:
            os.close(holder)
        self.assertEqual((run.lines, run.status), (self.connect_failures(), EXIT_FAILURE))
        name = pathlib.Path("/proc/self/comm").read_text().strip()
        self.assertEqual(run.error_lines, [
            f"zntv-upgrade: {self.port()} is held by another program: {name} (pid {os.getpid()})",
            MODEM_MANAGER_HINT])

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
            "zntv-upgrade: members of group dialout may use it: sudo usermod -aG dialout $USER, then log in again"])


def read_trace(path, program):
    """The (direction, phase, bytes) of every line of a trace, checking its
    header, its line format and that its times never go back."""
    lines = pathlib.Path(path).read_text().splitlines()
    assert lines[0].startswith(f"# {program} traffic trace: microseconds since start"), lines[0]
    frames, last = [], 0
    for line in lines[1:]:
        match = TRACE_LINE.fullmatch(line)
        assert match, f"{path}: {line[:120]!r}"
        when, direction, phase, code, data = match.groups()
        assert int(when) >= last and data[1:3] == code, line[:120]
        last = int(when)
        frames.append((direction, phase, bytes.fromhex(data)))
    return frames


def sent(frames, side):
    return [(phase, data, direction.endswith("-bad")) for direction, phase, data in frames
            if direction.startswith(side)]


class TrafficTrace(UpgradeTestCase):
    def test_both_ends_trace_the_same_frames_in_the_same_order(self):
        # A damaged parameters answer and noise before the first answer show
        # up in both traces, marked, as what the line carried.
        host_trace, module_trace = pathlib.Path(self.workdir) / "host.trace", pathlib.Path(self.workdir) / "sim.trace"
        sim = self.start_sim("--trace", module_trace, "--bad-fcs", "dl:0x07:1", "--garbage-before", "diag:0x7c")
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(host_trace)))
        self.sim_status, self.sim_output = sim.finish()
        self.assertLines(run, diag_lines() + dl_lines() + sdl_hello_lines() +
                         sdl_stream_lines(len(self.image), D["sdl_max_write"], D["sdl_base"], D["sdl_window"]) +
                         ["Sending SDL reset request"], succeeded=True)
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

    def test_trace_file_that_cannot_be_written_leaves_the_upgrade_alone(self):
        unwritable = pathlib.Path(self.workdir)  # a directory
        sim = self.start_sim()
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(unwritable)))
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual(run.status, 0, run.lines[-3:])
        self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
        self.assertRegex("\n".join(run.error_lines),
                         rf"^zntv-upgrade: cannot write the traffic trace to {re.escape(str(unwritable))} "
                         r"\(system error \d+\)$")


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
