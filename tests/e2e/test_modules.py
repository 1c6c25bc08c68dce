"""Whole upgrades on a host with several modules, or with a module that the
kernel names afresh when it comes back: the updater follows each module by
its USB device, lists the modules, upgrades the one at a named port, or all
of them at once, and never takes another module's port for its own."""
import os
import pathlib
import re
import signal
import tempfile

import test_support
from zntv_e2e import (CONFIGURED, EXIT_FAILURE, SIM_DEFAULTS, UPGRADE_COMMAND, UpgradeTestCase, diag_lines,
                      happy_lines, run_upgrade, write_count)

D = SIM_DEFAULTS
IDENTITY = "vid_0a1b&pid_2c3d&mi_02"
# The re-enumeration wait gives up on the module's leaving after 50 checks
# 200 ms apart.
WAIT_RUNS_OUT = 10.0


class ModulesTestCase(UpgradeTestCase):
    def port(self, entry):
        return self.sim.env["DEV_PATH"] + "/" + entry

    def assertUpgradedLines(self, lines):
        """One module's console lines: those of an unhindered upgrade."""
        self.assertEqual(lines[:-1], [CONFIGURED] + happy_lines())
        self.assertRegex(lines[-1], r"^Upgraded in \d+ ms$")

    def assertOneConversationEach(self, location):
        """One DIAG, one DL and one SDL conversation, nothing asked twice."""
        requests = self.sim.requests(location)
        self.assertEqual([r for r in requests if r.startswith("diag")], ["diag 7c 1", "diag 00 3", "diag 3a 1"])
        self.assertEqual([r for r in requests if r.startswith("dl 07")], ["dl 07 1"])
        self.assertEqual(self.sim.summary(location)["hello_requests"], "1")
        self.assertEqual(self.sim.summary(location)["stages"], "diag,dl,sdl")
        self.assertProgrammerLoaded(self.sim, location)
        self.assertImageFlashed(self.sim, location=location)

    def assertUntouched(self, location):
        self.assertEqual(self.sim.requests(location), [])
        self.assertEqual(self.sim.summary(location)["flash_writes"], "0")

    def assertProgrammerLoaded(self, sim, location=""):
        summary = sim.summary(location)
        self.assertEqual(summary["ram_address"], f"0x{self.programmer.address:08X}")
        self.assertEqual(sim.ram(location), self.programmer.data, f"programmer bytes in RAM {location}")
        self.assertEqual(summary["start_address"], f"0x{self.programmer.start:08X}")

    def finish_sim(self):
        self.sim_status, self.sim_output = self.sim.finish(timeout=60)


class FollowedByUsbDevice(ModulesTestCase):
    def test_module_that_comes_back_as_another_tty_is_followed_there(self):
        # Normal firmware on ttyUSB2, boot downloader and programmer on ttyUSB0.
        run = self.upgrade("--entry", "ttyUSB2", "--dl-entry", "ttyUSB0")
        self.assertUpgradedLines(run.lines)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.error_lines, [f"zntv-upgrade: the module came back as {self.port('ttyUSB0')}"])
        self.assertOneConversationEach("")
        self.assertSimConfirmed()

    def test_second_module_present_is_never_touched_and_no_wait_runs_out(self):
        sim = self.start_sim("--modules", 2)
        run = run_upgrade(sim.env)
        sim.stop()
        self.assertUpgradedLines(run.lines)
        self.assertEqual((run.status, run.error_lines), (0, []))
        for waiting, next_phase in [("Waiting for device to switch to download mode", "Sending DL parameters request"),
                                    ("Waiting for device to switch to program mode", "Sending SDL hello request")]:
            self.assertLess(run.time_of(next_phase) - run.time_of(waiting), WAIT_RUNS_OUT, waiting)
        self.assertOneConversationEach("1-2")
        self.assertUntouched("1-3")
        print(f"\nupgrade with a second module present: {run.elapsed:.2f} s; {run.lines[-1]}")


class FollowedByPlace(ModulesTestCase):
    """The module is followed by the hub port it is plugged into: a new device
    number there tells a return too fast for the checks to see it gone, the
    twin port of a USB 3 socket is the same place, and a port name found
    anywhere else is never opened."""

    def assertNoWaitRanOut(self, run):
        for waiting, next_phase in [("Waiting for device to switch to download mode", "Sending DL parameters request"),
                                    ("Waiting for device to switch to program mode", "Sending SDL hello request")]:
            self.assertLess(run.time_of(next_phase) - run.time_of(waiting), WAIT_RUNS_OUT, waiting)

    def assertUpgradedAndVerified(self, run, error_lines):
        self.assertUpgradedLines(run.lines)
        self.assertEqual((run.status, run.error_lines), (0, error_lines))
        self.assertOneConversationEach("")
        self.assertSimConfirmed()

    def test_name_taken_by_another_modules_downloader_gets_not_one_byte(self):
        # The module never comes back after DIAG; another module's downloader
        # enumerates at 1-5 and the kernel gives it the freed name ttyUSB0.
        sim = self.start_sim("--never-return-after", "diag", "--intruder-at", "1-5", expect_image=False)
        run = run_upgrade(sim.env)
        sim.stop()
        port = self.port("ttyUSB0")
        self.assertEqual(self.sim.summary()["intruder_bytes"], "0")
        self.assertEqual(run.lines, ["System configured for SimModule"] + diag_lines() + [
            f"Failed to connect DL server to {port}", f"Failed to connect SDL server to {port}", "Download failed"])
        self.assertEqual(run.status, EXIT_FAILURE)
        self.assertEqual(run.error_lines, [
            "zntv-upgrade: the module did not come back within 10 s; at its place (usb1-port2): no configured port",
            f"zntv-upgrade: {port} vanished before it could be opened: the module left the bus (unplugged, or "
            "restarting and not back in time)"])
        self.assertEqual(self.sim.summary()["end"], "never-returned")

    def test_usb3_module_back_at_the_twin_port_under_another_name(self):
        # Normal firmware at SuperSpeed on bus 2, the downloader and the
        # programmer at high speed on bus 1, at the other half of the socket.
        run = self.upgrade("--location", "2-1", "--peer", "1-4", "--dl-location", "1-4", "--entry", "ttyUSB2",
                           "--dl-entry", "ttyUSB0")
        self.assertUpgradedAndVerified(run, [f"zntv-upgrade: the module came back as {self.port('ttyUSB0')}"])
        self.assertNoWaitRanOut(run)

    def test_return_of_20_ms_under_a_new_name_is_seen_by_its_device_number(self):
        # Off the bus for 20 ms, between two checks 200 ms apart.
        run = self.upgrade("--offline-delay", 20, "--entry", "ttyUSB2", "--dl-entry", "ttyUSB0")
        self.assertUpgradedAndVerified(run, [f"zntv-upgrade: the module came back as {self.port('ttyUSB0')}"])
        self.assertNoWaitRanOut(run)

    def test_programmer_started_without_leaving_the_bus_after_a_late_go_answer(self):
        # The go request's answer (a DL acknowledgement, code 0x02 as the SDL
        # hello response's) comes once the DL phase has let go of the line,
        # and stays in the port: the SDL phase must receive none of it. The
        # trace shows what each phase received.
        trace = pathlib.Path(self.workdir) / "trace.txt"
        sim = self.start_sim("--stay-after", "dl", "--late", "dl:0x05", "--late-ms", 300)
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(trace)))
        self.finish_sim()
        sdl = [(direction, data) for _, direction, phase, data in test_support.read_trace(trace, "zntv-upgrade")
               if phase == "SDL"]
        self.assertEqual(sdl[0], ("tx", bytes.fromhex("01") + b"ZNTV fast download protocol host\x02\x02\x01"))
        self.assertEqual(len([data for direction, data in sdl if direction == "rx" and data[0] == 0x02]), 1)
        self.assertUpgradedLines(run.lines)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.error_lines, [
            "zntv-upgrade: the module did not leave the bus within 10 s; at its place (usb1-port2): "
            f"{self.port('ttyUSB0')} (vid_0a1b&pid_2c3d&mi_02, USB device 1-2, bus and device number 1-3)"])
        self.assertOneConversationEach("")
        self.assertEqual(self.sim.summary()["stages"], "diag,dl,sdl")
        self.assertSimConfirmed()

    def test_port_refusing_opens_for_300_ms_after_the_return(self):
        # As a node is until udev has given it its group: the updater runs as
        # root without the capabilities that pass over file permissions.
        sim = self.start_sim("--deny-open", 300, "--entry", "ttyUSB2", "--dl-entry", "ttyUSB0")
        run = run_upgrade(sim.env, wrapper=["setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"])
        self.finish_sim()
        self.assertUpgradedAndVerified(run, [f"zntv-upgrade: the module came back as {self.port('ttyUSB0')}"])
        self.assertNoWaitRanOut(run)

    def test_module_found_in_its_boot_downloader_is_upgraded(self):
        # Left there by an upgrade that was cut off; it comes back as the
        # programmer under another name.
        run = self.upgrade("--start-stage", "dl", "--dl-entry", "ttyUSB3", "--sdl-entry", "ttyUSB0")
        self.assertEqual(run.lines[:3], ["System configured for SimModule", "Sending DIAG build ID request",
                                         "Failed to receive valid DIAG build ID response"])
        self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
        self.assertEqual((run.status, run.error_lines),
                         (0, [f"zntv-upgrade: the module came back as {self.port('ttyUSB0')}"]))
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)
        self.assertSimConfirmed()

    def test_module_found_running_its_programmer_is_upgraded(self):
        run = self.upgrade("--start-stage", "sdl", "--sdl-entry", "ttyUSB1")
        self.assertEqual(run.lines[1:5], ["Sending DIAG build ID request",
                                          "Failed to receive valid DIAG build ID response",
                                          "Sending DL parameters request", "Failed to receive DL parameters response"])
        self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
        self.assertEqual((run.status, run.error_lines), (0, []))
        self.assertImageFlashed(self.sim)
        self.assertSimConfirmed()


class ListModules(ModulesTestCase):
    def test_no_module_gives_the_failure_line_and_the_hints(self):
        program_files = pathlib.Path(self.workdir) / "programs"
        (program_files / "Zantrova/Images/Alpha").mkdir(parents=True)
        (program_files / "Zantrova/Images/Alpha/0A1B2C3D.did").write_text("a,b,mi_02,c\n")
        (pathlib.Path(self.workdir) / "sys/class/tty").mkdir(parents=True)
        (pathlib.Path(self.workdir) / "dev").mkdir()
        env = dict(os.environ, PROGRAMFILES=str(program_files), SYSFS_PATH=f"{self.workdir}/sys",
                   DEV_PATH=f"{self.workdir}/dev")
        run = run_upgrade(env, args=["--list"])
        self.assertEqual((run.lines, run.status),
                         (["System configured for Alpha", "Unable to locate device"], EXIT_FAILURE))
        self.assertEqual(run.error_lines, [f"zntv-upgrade: looked for a serial port of USB interface {IDENTITY}",
                                           "zntv-upgrade: USB serial interfaces present: none"])

    def test_one_module_is_listed_and_left_alone(self):
        sim = self.start_sim(expect_image=False)
        run = run_upgrade(sim.env, args=["--list"])
        sim.stop()
        self.assertEqual((run.lines, run.status, run.error_lines),
                         (["System configured for SimModule", f"{self.port('ttyUSB0')}\t{IDENTITY}\t1-2"], 0, []))
        self.assertEqual(sim.requests(), [])

    def test_two_modules_are_listed_in_the_order_the_lookup_takes_them(self):
        sim = self.start_sim("--modules", 2, "--entry", "ttyUSB2,ttyUSB0", "--location", "1-4.2,1-3",
                             expect_image=False)
        run = run_upgrade(sim.env, args=["--list"])
        sim.stop()
        self.assertEqual((run.lines, run.status), (["System configured for SimModule",
                                                    f"{self.port('ttyUSB0')}\t{IDENTITY}\t1-3",
                                                    f"{self.port('ttyUSB2')}\t{IDENTITY}\t1-4.2"], 0))
        self.assertUntouched("1-3")
        self.assertUntouched("1-4.2")


class ChosenPort(ModulesTestCase):
    def test_each_of_two_modules_by_bare_name_and_by_full_path(self):
        sim = self.start_sim("--modules", 2)
        second = run_upgrade(sim.env, args=["--port", "ttyUSB1"])
        first = run_upgrade(sim.env, args=["--port", self.port("ttyUSB0")])
        self.finish_sim()
        for run in (second, first):
            self.assertUpgradedLines(run.lines)
            self.assertEqual((run.status, run.error_lines), (0, []))
        self.assertOneConversationEach("1-3")
        self.assertOneConversationEach("1-2")
        self.assertEqual(self.sim_status, 0, self.sim_output)

    def test_module_named_by_a_by_id_link(self):
        sim = self.start_sim("--modules", 2)
        link = pathlib.Path(sim.env["DEV_PATH"]) / "serial/by-id/usb-Zantrova_Modem_0002-if02-port0"
        link.parent.mkdir(parents=True)
        link.symlink_to("../../ttyUSB1")
        run = run_upgrade(sim.env, args=["--port", link])
        sim.stop()
        self.assertUpgradedLines(run.lines)
        self.assertEqual(run.status, 0)
        self.assertOneConversationEach("1-3")
        self.assertUntouched("1-2")

    def test_unconfigured_or_absent_port_names_the_ports_there_are(self):
        sim = self.start_sim("--modules", 2, expect_image=False)
        # The serial console the simulator leaves in sysfs, given a node.
        (pathlib.Path(sim.env["DEV_PATH"]) / "ttyS0").write_text("")
        for port in ["ttyS0", "ttyUSB7", self.port("ttyUSB9")]:
            run = run_upgrade(sim.env, args=["--port", port])
            self.assertEqual((run.lines, run.status), (["System configured for SimModule", "Unable to locate device",
                                                        "Download failed"], EXIT_FAILURE), port)
            self.assertEqual(run.error_lines, [f"zntv-upgrade: no configured module at {port}; configured modules "
                                               f"present: {self.port('ttyUSB0')}, {self.port('ttyUSB1')}"])
        sim.stop()
        self.assertUntouched("1-2")
        self.assertUntouched("1-3")


class AllModules(ModulesTestCase):
    def lines_of(self, run, port):
        prefix = port + ": "
        return [line[len(prefix):] for line in run.lines if line.startswith(prefix)]

    def assertEveryLinePrefixed(self, run, ports):
        pattern = re.compile("^(" + "|".join(re.escape(p) for p in ports) + "): ")
        self.assertEqual([line for line in run.lines[:-1] if not pattern.match(line)], [])
        self.assertEqual([line for line in run.error_lines if not pattern.match(line)], [])

    def test_two_modules_are_upgraded_at_once_each_with_its_own_trace(self):
        trace = pathlib.Path(self.workdir) / "trace.txt"
        run = self.upgrade("--modules", 2, env={"ZNTV_TRACE": str(trace)})
        ports = [self.port("ttyUSB0"), self.port("ttyUSB1")]
        self.assertEveryLinePrefixed(run, ports)
        for port in ports:
            self.assertUpgradedLines(self.lines_of(run, port))
        self.assertEqual((run.lines[-1], run.status), ("Upgraded 2 of 2 modules", 0))
        self.assertEqual(run.error_lines, [])
        self.assertOneConversationEach("1-2")
        self.assertOneConversationEach("1-3")
        self.assertEqual(self.sim_status, 0, self.sim_output)
        self.assertFalse(trace.exists())
        for name in ["ttyUSB0", "ttyUSB1"]:
            frames = test_support.read_trace(f"{trace}.{name}", "zntv-upgrade")
            acknowledgements = [data for _, direction, phase, data in frames if (direction, phase) == ("rx", "SDL")
                                and data[0] == 0x08]
            self.assertEqual(len(acknowledgements), write_count(len(self.image), D["sdl_max_write"]), name)

    def upgrade(self, *sim_args, env=None):
        sim = self.start_sim(*sim_args)
        run = run_upgrade(dict(sim.env, **(env or {})), args=["--all"], timeout=200)
        self.finish_sim()
        return run

    def test_module_that_comes_back_under_the_others_old_name_stays_apart(self):
        # Both leave the bus together; the first comes back as ttyUSB1, the
        # name the second had, and the second as ttyUSB2.
        run = self.upgrade("--modules", 2, "--dl-entry", "ttyUSB1,ttyUSB2")
        first, second = self.port("ttyUSB0"), self.port("ttyUSB1")
        self.assertEveryLinePrefixed(run, [first, second])
        self.assertUpgradedLines(self.lines_of(run, first))
        self.assertUpgradedLines(self.lines_of(run, second))
        self.assertEqual((run.lines[-1], run.status), ("Upgraded 2 of 2 modules", 0))
        self.assertEqual(sorted(run.error_lines),
                         [f"{first}: zntv-upgrade: the module came back as {self.port('ttyUSB1')}",
                          f"{second}: zntv-upgrade: the module came back as {self.port('ttyUSB2')}"])
        self.assertOneConversationEach("1-2")
        self.assertOneConversationEach("1-3")
        self.assertEqual(self.sim_status, 0, self.sim_output)

    def test_silent_module_fails_alone(self):
        run = self.upgrade("--modules", 2, "--faults-at", "1-3", "--silent", "diag", "--silent", "dl",
                           "--silent", "sdl")
        good, silent = self.port("ttyUSB0"), self.port("ttyUSB1")
        self.assertUpgradedLines(self.lines_of(run, good))
        self.assertEqual(self.lines_of(run, silent)[-2:],
                         ["Failed to receive SDL hello response", "Download failed"])
        self.assertEqual((run.lines[-1], run.status), ("Upgraded 1 of 2 modules", EXIT_FAILURE))
        self.assertOneConversationEach("1-2")
        self.assertEqual(self.sim.summary("1-3")["flash_writes"], "0")
        self.assertNotEqual(self.sim_status, 0)


    def notice(self, port):
        return f"{port}: zntv-upgrade: the upgrade of {port} is finishing; a second interrupt abandons it"

    def test_terminate_to_the_parent_mid_flash_lets_both_flashes_finish(self):
        # Slowed down, so that each flash takes seconds.
        sim = self.start_sim("--modules", 2, "--link-speed", 200000)
        first_writes = {f"{self.port(name)}: Sent SDL write request (0x{D['sdl_base']:08X}, {D['sdl_max_write']})"
                        for name in ["ttyUSB0", "ttyUSB1"]}

        def terminate_once_both_write(process, line):
            first_writes.discard(line)
            if not first_writes:
                first_writes.add(None)  # sent: never again
                process.send_signal(signal.SIGTERM)

        run = run_upgrade(sim.env, args=["--all"], timeout=200, on_line=terminate_once_both_write)
        self.finish_sim()
        ports = [self.port("ttyUSB0"), self.port("ttyUSB1")]
        for port in ports:
            self.assertUpgradedLines(self.lines_of(run, port))
        self.assertEqual((run.lines[-1], run.status), ("Upgraded 2 of 2 modules", 0))
        self.assertEqual(sorted(run.error_lines), [self.notice(port) for port in ports])
        self.assertImageFlashed(self.sim, location="1-2")
        self.assertImageFlashed(self.sim, location="1-3")
        self.assertEqual(self.sim_status, 0, self.sim_output)

    def test_parent_output_cut_short_by_head_lets_both_flashes_finish(self):
        sim = self.start_sim("--modules", 2)
        run = run_upgrade(sim.env, args=["--all"], timeout=200,
                          wrapper=["bash", "-c", '"$@" | head -n 1; exit "${PIPESTATUS[0]}"', "bash"])
        self.finish_sim()
        self.assertEqual(len(run.lines), 1, run.lines)
        self.assertIn(run.lines[0], [f"{self.port(name)}: System configured for SimModule"
                                     for name in ["ttyUSB0", "ttyUSB1"]])
        self.assertEqual(run.status, 0)
        self.assertImageFlashed(self.sim, location="1-2")
        self.assertImageFlashed(self.sim, location="1-3")
        self.assertEqual(self.sim_status, 0, self.sim_output)

    def test_instances_are_the_running_program_after_its_file_is_replaced(self):
        # The updater is started from a copy through a descriptor of its own,
        # after the copy's name has been given to another program; another
        # one waits under the name the kernel shows for the removed file.
        work = pathlib.Path(self.workdir)
        program, marker = work / "zntv-upgrade", work / "others-ran.txt"
        program.write_bytes(pathlib.Path(UPGRADE_COMMAND[-1]).read_bytes())
        program.chmod(0o755)
        other = work / "other"
        other.write_text(f"#!/bin/sh\necho \"$0 $*\" >> '{marker}'\necho 'Upgraded in 1 ms'\n")
        other.chmod(0o755)
        (work / "zntv-upgrade (deleted)").write_bytes(other.read_bytes())
        (work / "zntv-upgrade (deleted)").chmod(0o755)
        replace_and_run = 'exec 9<"$1" && mv "$2" "$1" && shift 3 && exec /proc/self/fd/9 "$@"'
        sim = self.start_sim("--modules", 2)
        run = run_upgrade(sim.env, args=["--all"], timeout=200,
                          wrapper=["sh", "-c", replace_and_run, "sh", program, other])
        self.finish_sim()
        self.assertFalse(marker.exists(), marker.read_text() if marker.exists() else "")
        for port in [self.port("ttyUSB0"), self.port("ttyUSB1")]:
            self.assertUpgradedLines(self.lines_of(run, port))
        self.assertEqual((run.lines[-1], run.status), ("Upgraded 2 of 2 modules", 0))
        self.assertOneConversationEach("1-2")
        self.assertOneConversationEach("1-3")

    def test_one_interface_with_two_ttys_is_one_module(self):
        run = self.upgrade("--second-tty", "ttyUSB5")
        port = self.port("ttyUSB0")
        self.assertEveryLinePrefixed(run, [port])
        self.assertUpgradedLines(self.lines_of(run, port))
        self.assertEqual((run.lines[-1], run.status, run.error_lines), ("Upgraded 1 of 1 modules", 0, []))
        self.assertOneConversationEach("")
        self.assertSimConfirmed()


class RefusedOption(ModulesTestCase):
    def test_bare_port_name_is_refused_and_nothing_touched(self):
        sim = self.start_sim(expect_image=False)
        for argument in ["ttyUSB1", "COM5", self.port("ttyUSB0")]:
            run = run_upgrade(sim.env, args=[argument])
            self.assertEqual((run.lines, run.status), ([], 2), argument)
            self.assertEqual(run.error_lines, [
                f"zntv-upgrade: did you mean --port {argument}?",
                "Usage: zntv-upgrade [--list | --port PORT | --all | --watch [--new-only] [--jobs N] | --udev-rules | --help | --version]"])
        sim.stop()
        self.assertEqual(sim.requests(), [])

    def test_other_bare_arguments_are_still_ignored(self):
        sim = self.start_sim(expect_image=False)
        run = run_upgrade(sim.env, args=["upgrade", "--list", "now"])
        sim.stop()
        self.assertEqual((run.lines, run.status), (["System configured for SimModule",
                                                    f"{self.port('ttyUSB0')}\t{IDENTITY}\t1-2"], 0))

    def test_unknown_option_touches_nothing(self):
        sim = self.start_sim(expect_image=False)
        trace = pathlib.Path(self.workdir) / "trace.txt"
        run = run_upgrade(dict(sim.env, ZNTV_TRACE=str(trace)), args=["-h"])
        sim.stop()
        self.assertEqual((run.lines, run.status), ([], 2))
        self.assertEqual(run.error_lines, [
            "zntv-upgrade: unknown option -h",
            "Usage: zntv-upgrade [--list | --port PORT | --all | --watch [--new-only] [--jobs N] | --udev-rules | --help | --version]"])
        self.assertFalse(trace.exists())
        self.assertEqual(sim.requests(), [])


if __name__ == "__main__":
    import unittest
    unittest.main()
