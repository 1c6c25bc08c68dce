"""Whole upgrades on a host that runs ModemManager: a mock of it (python-dbusmock,
modem_manager_mock.py) on a private bus of the test's own, which the updater
takes for the system bus (DBUS_SYSTEM_BUS_ADDRESS). The updater inhibits the
simulated module's USB device before its first DIAG byte and gives it back
after its outcome line; a ModemManager that refuses costs a note and nothing
else; a bus without ModemManager costs no time."""
import json
import os
import pathlib
import re
import signal
import subprocess
import time

from zntv_e2e import CONFIGURED, UPGRADE_COMMAND, UpgradeTestCase, happy_lines, run_upgrade

# python3-dbusmock is a package of Debian's own Python: the mock runs under
# it, whichever Python runs the tests.
MOCK_PYTHON = "/usr/bin/python3"
MOCK_TEMPLATE = pathlib.Path(__file__).resolve().parent / "modem_manager_mock.py"
SERVICE = "org.freedesktop.ModemManager1"
# An upgrade of the default module varies by a few tenths of a second from
# run to run; a call that waited for its time-out would add two seconds.
TIME_TOLERANCE_S = 1.5


class ModemManagerTestCase(UpgradeTestCase):
    def setUp(self):
        super().setUp()
        self.processes = []
        self.work = pathlib.Path(self.workdir)
        self.calls_path = self.work / "inhibit-calls.jsonl"

    def tearDown(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            if process.stdout:
                process.stdout.close()
        super().tearDown()

    def start_bus(self):
        """A private message bus; returns its address."""
        # Its complaints (it may not raise its descriptor limit) go to a log.
        with open(self.work / "bus.log", "w") as log:
            bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address",
                                    f"--address=unix:path={self.work / 'bus'}"],
                                   stdout=subprocess.PIPE, stderr=log, text=True)
        self.processes.append(bus)
        address = bus.stdout.readline().strip()
        self.assertTrue(address.startswith("unix:"), f"dbus-daemon did not start: {address!r}")
        return address

    def start_modem_manager(self, address, devices, fail=False, hang=0):
        """The mock on the bus at address, owning ModemManager's name before
        this returns."""
        parameters = {"devices": devices, "calls": str(self.calls_path), "fail": fail, "hang": hang,
                      "watch": [str(self.sim.log_path), str(self.output_path)]}
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        self.processes.append(subprocess.Popen([MOCK_PYTHON, "-m", "dbusmock", "--template", str(MOCK_TEMPLATE),
                                                "--parameters", json.dumps(parameters)], env=env))
        subprocess.run(["gdbus", "wait", "--system", "--timeout", "20", SERVICE], env=env, check=True)

    def module_usb_device(self, tty="ttyUSB0"):
        """The real sysfs path of the USB device of the simulated module at
        tty: from the tty's device upwards, the first directory with an
        idVendor."""
        device = (pathlib.Path(self.sim.env["SYSFS_PATH"]) / "class" / "tty" / tty / "device").resolve()
        while not (device / "idVendor").exists():
            self.assertNotEqual(device, device.parent, "the simulator's tty has no USB device")
            device = device.parent
        return str(device)

    @property
    def output_path(self):
        return self.work / "upgrade-output.txt"

    def upgrade_into_file(self, address):
        """One upgrade with standard output into a file (which the mock looks
        at when it is called); returns (status, stdout lines, stderr lines)."""
        env = dict(self.sim.env, DBUS_SYSTEM_BUS_ADDRESS=address)
        with open(self.output_path, "wb") as output:
            done = subprocess.run(UPGRADE_COMMAND, env=env, stdout=output, stderr=subprocess.PIPE, timeout=120)
        return (done.returncode, self.output_path.read_text().splitlines(),
                done.stderr.decode(errors="replace").splitlines())

    def calls(self):
        if not self.calls_path.exists():
            return []
        return [json.loads(line) for line in self.calls_path.read_text().splitlines()]

    def assertUpgraded(self, status, lines):
        self.assertEqual(lines[:-1], [CONFIGURED] + happy_lines())
        self.assertRegex(lines[-1], r"^Upgraded in \d+ ms$")
        self.assertEqual(status, 0)
        self.sim_status, self.sim_output = self.sim.finish()
        self.assertImageFlashed(self.sim)


class Inhibition(ModemManagerTestCase):
    def test_module_is_inhibited_before_its_first_diag_byte_and_given_back_after_the_outcome(self):
        self.start_sim()
        address = self.start_bus()
        device = self.module_usb_device()
        self.start_modem_manager(address, ["/sys/devices/pci0000:00/0000:00:14.0/usb3/3-9", device])
        status, lines, errors = self.upgrade_into_file(address)
        self.assertUpgraded(status, lines)
        self.assertEqual(errors, [])
        calls = self.calls()
        self.assertEqual([(call["uid"], call["inhibit"]) for call in calls], [(device, True), (device, False)])
        sim_log, output = (str(self.sim.log_path), str(self.output_path))
        inhibit, uninhibit = calls
        # Inhibited: the module has not yet received a byte, and the updater
        # has printed only its configuration.
        self.assertEqual(inhibit["seen"][sim_log], "")
        self.assertEqual(inhibit["seen"][output], CONFIGURED + "\n")
        # Given back: after the reset request and the outcome line.
        self.assertIn("zntv-module-sim: sdl <- 0b", uninhibit["seen"][sim_log])
        self.assertRegex(uninhibit["seen"][output], r"\nUpgraded in \d+ ms\n\Z")

    def test_module_that_modem_manager_does_not_manage_is_left_out_of_it(self):
        self.start_sim()
        address = self.start_bus()
        self.start_modem_manager(address, ["/sys/devices/pci0000:00/0000:00:14.0/usb3/3-9"])
        status, lines, errors = self.upgrade_into_file(address)
        self.assertUpgraded(status, lines)
        self.assertEqual(errors, [])
        self.assertEqual(self.calls(), [])

    def test_refused_inhibition_is_a_note_and_the_upgrade_goes_on(self):
        self.start_sim()
        address = self.start_bus()
        device = self.module_usb_device()
        self.start_modem_manager(address, [device], fail=True)
        status, lines, errors = self.upgrade_into_file(address)
        self.assertUpgraded(status, lines)
        self.assertEqual(errors, [
            f"zntv-upgrade: ModemManager could not inhibit {device} (org.freedesktop.ModemManager1.Error.Core.Failed: "
            "the device cannot be inhibited now\\x1b[2J); going on"])
        self.assertEqual([(call["uid"], call["inhibit"]) for call in self.calls()], [(device, True)])


    def test_modem_manager_that_does_not_answer_costs_the_upgrade_only_the_call_time_out(self):
        self.start_sim()
        address = self.start_bus()
        device = self.module_usb_device()
        self.start_modem_manager(address, [device], hang=60)
        status, lines, errors = self.upgrade_into_file(address)
        self.assertUpgraded(status, lines)
        self.assertEqual(errors, [
            f"zntv-upgrade: ModemManager could not inhibit {device} (org.freedesktop.DBus.Error.Timeout: "
            "Connection timed out); going on"])
        # An unhindered upgrade takes about 4 s, the call's time-out adds 2 s;
        # waiting for the mock would add a minute.
        self.assertLess(int(re.fullmatch(r"Upgraded in (\d+) ms", lines[-1]).group(1)), 15000)

    def test_each_module_of_all_is_inhibited_by_its_own_instance(self):
        self.start_sim("--modules", 2)
        address = self.start_bus()
        devices = [self.module_usb_device("ttyUSB0"), self.module_usb_device("ttyUSB1")]
        self.assertNotEqual(devices[0], devices[1])
        self.start_modem_manager(address, devices)
        run = run_upgrade(dict(self.sim.env, DBUS_SYSTEM_BUS_ADDRESS=address), args=["--all"], timeout=200)
        self.sim.finish(timeout=60)
        self.assertEqual((run.lines[-1], run.status), ("Upgraded 2 of 2 modules", 0))
        self.assertEqual(run.error_lines, [])
        for device in devices:
            self.assertEqual([call["inhibit"] for call in self.calls() if call["uid"] == device], [True, False])
        self.assertEqual(len(self.calls()), 4)


class WithoutModemManager(ModemManagerTestCase):
    def elapsed_ms(self, address):
        """The milliseconds an upgrade reports, with the bus at address."""
        self.start_sim()
        run = run_upgrade(dict(self.sim.env, DBUS_SYSTEM_BUS_ADDRESS=address))
        self.sim.finish()
        self.assertEqual(run.status, 0, run.lines)
        self.assertEqual(run.error_lines, [])
        return int(re.fullmatch(r"Upgraded in (\d+) ms", run.lines[-1]).group(1))

    def test_a_bus_without_modem_manager_costs_the_upgrade_no_time(self):
        address = self.start_bus()
        without_bus = f"unix:path={self.work / 'no-bus-here'}"
        # The faster of two runs each, against the machine's own hiccups.
        with_bus_ms = min(self.elapsed_ms(address) for _ in range(2))
        without_bus_ms = min(self.elapsed_ms(without_bus) for _ in range(2))
        print(f"\nupgrade with a bus and no ModemManager: {with_bus_ms} ms; without a bus: {without_bus_ms} ms")
        self.assertLess(abs(with_bus_ms - without_bus_ms), TIME_TOLERANCE_S * 1000)
