"""The Windows build under Wine with two modules, each a COM-port device
interface with its PortName that the simulator registers in the Wine prefix:
the list names both with their device instance ids, a named port is upgraded
while the other module is left alone, and both are upgraded at once. Windows keeps a module's COM
name across its modes, so the named port is followed by its name. The station
mode upgrades each of two COM ports once as they appear one after the other."""
import os
import pathlib
import re
import signal
import subprocess

from zntv_e2e import EXIT_FAILURE, SIMULATOR, happy_lines, run_upgrade
from test_modules import IDENTITY, ModulesTestCase
from test_watch import WATCHING, Watcher

FIRST_COM = 20
INSTANCE_ID = r"USB\\VID_0A1B&PID_2C3D&MI_02\\7&1D2A3B4C&[01]&2"


def windows_process(command, environment):
    """The process that runs a Windows program under Wine: one whose command
    line holds command (the words, NUL-separated, as ps shows them) and whose
    environment holds the variable given. Wine starts a program given by its
    path through a launcher, and the program's process is not the
    launcher's child."""
    found = []
    for proc in pathlib.Path("/proc").iterdir():
        try:
            if (proc.name.isdigit() and command in (proc / "cmdline").read_bytes()
                    and environment in (proc / "environ").read_bytes().split(b"\0")):
                found.append(int(proc.name))
        except OSError:  # a process that has ended meanwhile
            pass
    assert len(found) == 1, f"{len(found)} processes run {command!r}"
    return found[0]


class WineModules(ModulesTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        assert SIMULATOR.exists(), f"the Linux build's simulator is needed: {SIMULATOR}"
        if not os.path.exists(os.path.join(os.environ["WINEPREFIX"], "system.reg")):
            subprocess.run(["wineboot", "-i"], capture_output=True, check=True)
        # One server for the whole test, as for the other Windows tests.
        subprocess.run(["wineserver", "-p"], capture_output=True)

    def start_two(self, expect_image=True):
        return self.start_sim("--modules", 2, "--wine-prefix", os.environ["WINEPREFIX"], "--com", FIRST_COM,
                              expect_image=expect_image)

    def test_list_names_both_com_ports_with_their_instance_ids(self):
        sim = self.start_two(expect_image=False)
        run = run_upgrade(sim.env, args=["--list"])
        sim.stop()
        self.assertEqual((run.status, run.lines[0], len(run.lines)), (0, "System configured for SimModule", 3),
                         run.lines)
        listed = sorted(line.split("\t") for line in run.lines[1:])
        self.assertEqual([(port, identity) for port, identity, _ in listed],
                         [(f"COM{FIRST_COM}", IDENTITY), (f"COM{FIRST_COM + 1}", IDENTITY)])
        for _, _, instance in listed:
            self.assertRegex(instance, re.compile(INSTANCE_ID, re.IGNORECASE))
        self.assertNotEqual(listed[0][2], listed[1][2])
        self.assertUntouched("1-2")
        self.assertUntouched("1-3")

    def test_port_upgrades_that_module_and_no_other(self):
        sim = self.start_two()
        absent = run_upgrade(sim.env, args=["--port", "COM7"])
        run = run_upgrade(sim.env, args=["--port", f"com{FIRST_COM + 1}"], timeout=200)
        sim.stop()
        self.assertEqual((absent.lines, absent.status), (["System configured for SimModule",
                                                          "Unable to locate device", "Download failed"],
                                                         EXIT_FAILURE))
        self.assertEqual(absent.error_lines, [f"zntv-upgrade: no configured module at COM7; configured modules "
                                              f"present: COM{FIRST_COM}, COM{FIRST_COM + 1}"])
        self.assertUpgradedLines(run.lines)
        self.assertEqual(run.status, 0)
        self.assertOneConversationEach("1-3")
        self.assertUntouched("1-2")

    def test_all_upgrades_both_at_once(self):
        # One instance per COM port, started by the Windows build itself.
        sim = self.start_two()
        run = run_upgrade(sim.env, args=["--all"], timeout=200)
        self.finish_sim()
        ports = [f"COM{FIRST_COM}", f"COM{FIRST_COM + 1}"]
        for port in ports:
            self.assertUpgradedLines([line[len(port) + 2:] for line in run.lines if line.startswith(port + ": ")])
        # Each module's configuration, upgrade and outcome lines, and the summary.
        self.assertEqual(len(run.lines), 2 * (1 + len(happy_lines()) + 1) + 1)
        self.assertEqual((run.lines[-1], run.status, run.error_lines), ("Upgraded 2 of 2 modules", 0, []))
        self.assertOneConversationEach("1-2")
        self.assertOneConversationEach("1-3")
        self.assertEqual(self.sim_status, 0, self.sim_output)

    def test_watch_upgrades_two_com_ports_registered_one_after_the_other_once_each(self):
        control = pathlib.Path(self.workdir) / "control"
        sim = self.start_sim("--modules", 2, "--wine-prefix", os.environ["WINEPREFIX"], "--com", FIRST_COM,
                             "--control", control, "--unplugged", "all")
        watcher = self.watcher = Watcher(sim.env)
        watcher.wait_for(WATCHING, stream="err")
        ports = {"1-2": f"COM{FIRST_COM}", "1-3": f"COM{FIRST_COM + 1}"}
        for location, port in ports.items():  # the second COM port appears once the first has gone
            control.write_text(f"plug {location}\n")
            watcher.wait_for(f"{port}: plugged")
            # The module leaves the bus at its reset; its place is idle 2 s later.
            watcher.wait_for(f"{port}: unplugged", timeout=200)
        # Ctrl+C: Wine makes SIGINT the console's Ctrl+C event.
        os.kill(windows_process(b"zntv-upgrade.exe\0--watch\0", f"PROGRAMFILES={sim.env['PROGRAMFILES']}".encode()),
                signal.SIGINT)
        status = watcher.finish(timeout=60)
        control.write_text("quit\n")
        self.finish_sim()
        self.assertEqual((watcher.lines[-1], status), ("Upgraded 2 of 2 modules", 0), watcher.lines)
        for location, port in ports.items():
            lines = [line[len(port) + 2:] for line in watcher.lines if line.startswith(port + ": ")]
            self.assertEqual(lines[:2], ["plugged", "upgrading"], location)
            self.assertUpgradedLines([line for line in lines if line not in ("plugged", "upgrading", "unplugged")])
            self.assertOneConversationEach(location)

    watcher = None

    def tearDown(self):
        if self.watcher:
            self.watcher.kill()
        super().tearDown()


if __name__ == "__main__":
    import unittest
    unittest.main()
