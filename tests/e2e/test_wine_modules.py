"""The Windows build under Wine with two modules, each a COM-port device
interface with its PortName that the simulator registers in the Wine prefix:
the list names both with their device instance ids, a named port is upgraded
while the other module is left alone, and both are upgraded at once. Windows keeps a module's COM
name across its modes, so the named port is followed by its name."""
import os
import re
import subprocess

from zntv_e2e import EXIT_FAILURE, SIMULATOR, happy_lines, run_upgrade
from test_modules import IDENTITY, ModulesTestCase

FIRST_COM = 20
INSTANCE_ID = r"USB\\VID_0A1B&PID_2C3D&MI_02\\7&1D2A3B4C&[01]&2"


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


if __name__ == "__main__":
    import unittest
    unittest.main()
