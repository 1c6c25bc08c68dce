"""--udev-rules: the rules file for the installed configurations, its exact
text, and udev's own reading of it (udevadm test, with the file in a private
mount namespace's /etc/udev/rules.d, so that the host's rules stay as they
are). Needs root, as the test command runs: without it the test fails."""
import subprocess

from zntv_e2e import EXIT_FAILURE, UpgradeTestCase, run_upgrade

RULES_FILE = "/etc/udev/rules.d/70-zntv-upgrade.rules"

EXPECTED_RULES = """\
# Written by zntv-upgrade --udev-rules, for /etc/udev/rules.d/70-zntv-upgrade.rules.
# The configured modules' serial ports belong to the group dialout and to
# the user at the seat; ModemManager leaves alone the port the upgrade
# talks to and keeps the modem's others. Reload with: udevadm control --reload
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ATTRS{bInterfaceNumber}=="?*", ENV{.ZNTV_INTERFACE}="$attr{bInterfaceNumber}"

# SimModule (vid_0a1b&pid_2c3d&mi_02)
SUBSYSTEM=="tty", ATTRS{idVendor}=="0a1b", ATTRS{idProduct}=="2c3d", TAG+="uaccess", GROUP="dialout"
SUBSYSTEM=="tty", ATTRS{idVendor}=="0a1b", ATTRS{idProduct}=="2c3d", ENV{.ZNTV_INTERFACE}=="02", \
ENV{ID_MM_PORT_IGNORE}="1"
"""

# In a mount namespace of its own: the rules folder holds only the file, and
# what udevadm test writes of a device's state (its database in /run, links
# and modes in /dev) goes to scratch folders, never to the host's.
UDEVADM_TEST = """\
set -e
mount -t tmpfs zntv-rules /etc/udev/rules.d
mount -t tmpfs zntv-run /run
mount -t tmpfs zntv-dev /dev
cp "$1" /etc/udev/rules.d/70-zntv-upgrade.rules
udevadm test /sys/class/tty/tty0 2>&1
"""


class UdevRules(UpgradeTestCase):
    def rules(self):
        self.start_sim(expect_image=False)
        run = run_upgrade(self.sim.env, args=["--udev-rules"])
        self.assertEqual(run.error_lines, [])
        self.assertEqual(run.status, 0)
        return run.output.decode()

    def test_rules_give_the_ports_to_dialout_and_the_seat_and_keep_modem_manager_off_the_diag_port(self):
        text = self.rules()
        self.assertEqual(text, EXPECTED_RULES)
        self.assertNotIn("ID_MM_DEVICE_IGNORE", text)

    def test_without_configurations_there_are_no_rules(self):
        self.start_sim(expect_image=False)
        env = dict(self.sim.env, PROGRAMFILES=self.workdir)
        run = run_upgrade(env, args=["--udev-rules"])
        self.assertEqual((run.lines, run.status), (["Required software not found"], EXIT_FAILURE))

    def test_udev_reads_the_rules_file_without_an_error(self):
        rules = f"{self.workdir}/70-zntv-upgrade.rules"
        with open(rules, "w") as file:
            file.write(self.rules())
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", UDEVADM_TEST,
                               "udevadm-test", rules], capture_output=True, text=True, timeout=60)
        output = done.stdout + done.stderr
        # udevadm test ends with 0 whatever it found in the rules: what it
        # says of them is what counts.
        self.assertEqual(done.returncode, 0, output)
        self.assertIn(f"Reading rules file: {RULES_FILE}\n", output)
        self.assertEqual([line for line in output.splitlines() if line.startswith(RULES_FILE + ":")], [], output)
