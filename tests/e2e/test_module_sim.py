"""The simulator on its own, driven by a small host written here with an
independent, bit-by-bit CRC-16/X-25: the layout it leaves for the device lookup,
its three stages with drop-off and return, its records, and the shape of its
misbehaviour on the wire. When the simulator is wrong, every whole-upgrade
test is wrong with it."""
import os
import pathlib
import select
import signal
import subprocess
import tempfile
import time
import tty
import unittest

from zntv_e2e import CONFIGURED, EXIT_FAILURE, SIMULATOR, Simulator, embedded_inputs, run_upgrade



def FCS(data):
    register = 0xFFFF
    for byte in data:
        register ^= byte
        for _ in range(8):
            register = (register >> 1) ^ 0x8408 if register & 1 else register >> 1
    return register ^ 0xFFFF


assert FCS(b"123456789") == 0x906E
HOST_MAGIC = b"ZNTV fast download protocol host"
TARGET_MAGIC = b"ZNTV fast download protocol targ"


def frame(payload):
    raw = payload + FCS(payload).to_bytes(2, "little")
    body = b"".join(bytes([0x7D, b ^ 0x20]) if b in (0x7D, 0x7E) else bytes([b]) for b in raw)
    return b"\x7e" + body + b"\x7e"


def unframe(wire):
    """Payloads of the intact frames in wire, and how many were damaged."""
    payloads, damaged = [], 0
    for chunk in wire.split(b"\x7e"):
        if not chunk:
            continue
        raw, escape = bytearray(), False
        for b in chunk:
            if escape:
                raw.append(b ^ 0x20)
                escape = False
            elif b == 0x7D:
                escape = True
            else:
                raw.append(b)
        if len(raw) > 2 and FCS(bytes(raw[:-2])) == int.from_bytes(raw[-2:], "little"):
            payloads.append(bytes(raw[:-2]))
        else:
            damaged += 1
    return payloads, damaged


class Port:
    """The host's end: the port name opened raw."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.reads = []

    def close(self):
        os.close(self.fd)

    def hung_up(self):
        try:
            return os.read(self.fd, 1) == b""
        except OSError:
            return True

    def exchange(self, payload, frames=1, timeout=3.0):
        """Sends one request and reads until `frames` frames (intact or not)
        have arrived; returns (intact payloads, damaged count)."""
        os.write(self.fd, frame(payload))
        wire, self.reads = b"", []
        deadline = time.monotonic() + timeout
        while wire.count(b"\x7e") < 2 * frames and time.monotonic() < deadline:
            if select.select([self.fd], [], [], deadline - time.monotonic())[0]:
                chunk = os.read(self.fd, 65536)
                self.reads.append(chunk)
                wire += chunk
        return unframe(wire)


def wait_for(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class SimulatorTestCase(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="zntv-sim-test-")

    def start(self, *args, expect_image=None, control=False):
        self.sim = Simulator(self.workdir, *args, expect_image=expect_image, control=control)
        self.addCleanup(self.sim.stop)
        self.port_name = pathlib.Path(self.sim.env["DEV_PATH"]) / "ttyUSB0"
        return self.sim

    def open_port(self):
        self.assertTrue(wait_for(self.port_name.exists), "port did not (re)appear")
        return Port(self.port_name)

    def leave_and_return(self, port):
        """The module drops off (line hung up, port link and sysfs entry gone)
        and comes back on a new terminal under the same name. The link and the
        entry go one after the other, as the kernel's do, so both are waited
        for; the offline time given to the simulator keeps the gap wide enough
        to be seen on a loaded machine."""
        sysfs_entry = pathlib.Path(self.sim.env["SYSFS_PATH"]) / "class/tty/ttyUSB0"
        self.assertTrue(wait_for(lambda: not self.port_name.exists() and not sysfs_entry.exists()),
                        "module did not leave the bus")
        self.assertTrue(port.hung_up())
        port.close()
        port = self.open_port()
        self.assertTrue((pathlib.Path(self.sim.env["SYSFS_PATH"]) / "class/tty/ttyUSB0/device").exists())
        return port


class Layout(SimulatorTestCase):
    def test_sysfs_entry_leads_to_a_usb_interface_and_the_port_is_a_terminal(self):
        self.start("--vid", "1D2E", "--pid", "0F0A", "--interface", 3, "--config-name", "Beta")
        sysfs = pathlib.Path(self.sim.env["SYSFS_PATH"])
        interface = (sysfs / "class/tty/ttyUSB0/device").resolve().parent
        self.assertEqual((interface / "bInterfaceNumber").read_text().strip(), "03")
        self.assertEqual((interface.parent / "idVendor").read_text().strip(), "1d2e")
        self.assertEqual((interface.parent / "idProduct").read_text().strip(), "0f0a")
        decoy = (sysfs / "class/tty/ttyS0/device").resolve()
        self.assertFalse(any((d / "bInterfaceNumber").exists() for d in [decoy, *decoy.parents]))
        self.assertTrue(os.isatty(Port(self.port_name).fd))
        description = pathlib.Path(self.sim.env["PROGRAMFILES"]) / "Zantrova/Images/Beta/1D2E0F0A.did"
        self.assertEqual(description.read_text().splitlines()[0].split(",")[2], "mi_03")


class Stages(SimulatorTestCase):
    def test_whole_upgrade_by_hand_is_recorded_and_verified(self):
        image = os.urandom(3000)
        expected = pathlib.Path(self.workdir) / "image.bin"
        expected.write_bytes(image)
        sim = self.start("--dl-max-write", 0x0200, "--sdl-base", 0x1000, "--sdl-window", 9, "--offline-delay", 1000,
                         expect_image=expected)
        port = self.open_port()
        self.assertEqual(port.exchange(b"\x7c")[0][0][:1], b"\x7c")
        self.assertEqual(len(port.exchange(b"\x00\x01\x02")[0]), 1)
        self.assertEqual(len(port.exchange(b"\x3a")[0]), 1)
        port = self.leave_and_return(port)

        self.assertEqual(port.exchange(b"\x07")[0], [bytes([0x08, 2, 1, 0x02, 0x00, 0, 0, 0])])
        self.assertEqual(port.exchange(b"\x0f\x12\x34\x00\x00\x00\x03abc")[0], [b"\x02"])
        self.assertEqual(port.exchange(b"\x0f\x12\x34\x00\x03\x02\x01" + b"x" * 0x201)[0][0][:1], b"\x03")
        port.exchange(b"\x05\x12\x34\x00\x00")
        port = self.leave_and_return(port)

        hello = port.exchange(b"\x01" + HOST_MAGIC + b"\x02\x02\x01")[0][0]
        n = hello[43]
        self.assertEqual((hello[0], hello[1:33], hello[33], hello[34]), (0x02, TARGET_MAGIC, 3, 2))
        self.assertEqual(int.from_bytes(hello[39:43], "little"), 0x1000)
        self.assertEqual(int.from_bytes(hello[44 + n:46 + n], "little"), 9)
        self.assertEqual(len(hello), 49 + n + 4 * int.from_bytes(hello[46 + n:48 + n], "little"))
        for offset in range(0, len(image), 1000):
            address = (0x1000 + offset).to_bytes(4, "little")
            self.assertEqual(port.exchange(b"\x07" + address + image[offset:offset + 1000])[0], [b"\x08" + address])
        self.assertEqual(port.exchange(b"\x0b")[0], [b"\x0c"])
        status, output = sim.finish()
        self.assertEqual(status, 0, output)
        self.assertEqual(output, [f"Flash verified: 3000 bytes at 0x00001000 match {expected}"])
        summary = sim.summary()
        self.assertEqual((summary["stages"], summary["ram_address"], summary["start_address"], summary["reset"]),
                         ("diag,dl,sdl", "0x12340000", "0x12340000", "yes"))
        self.assertEqual(sim.ram(), b"abc")
        self.assertEqual(summary["rejected_requests"], "1")

    def test_image_mismatch_is_reported_with_its_first_difference(self):
        expected = pathlib.Path(self.workdir) / "image.bin"
        expected.write_bytes(b"abcd")
        sim = self.start("--start-stage", "sdl", "--sdl-base", 0, expect_image=expected)
        port = self.open_port()
        port.exchange(b"\x07\x00\x00\x00\x00abXd")
        port.exchange(b"\x0b")
        status, output = sim.finish()
        self.assertEqual((status, output), (1, [f"Flash differs from {expected}: first difference at 0x00000002"]))


class Misbehaviour(SimulatorTestCase):
    def test_bad_fcs_damaged_copy_split_and_unsolicited_answers(self):
        self.start("--diag-unsolicited", "79aa", "--bad-fcs", "diag:0x7c:1", "--damaged-before", "diag:0x00",
                   "--split-frames", 2)
        port = self.open_port()
        self.assertEqual(port.exchange(b"\x7c", frames=2), ([b"\x79\xaa"], 1))
        self.assertGreater(len(port.reads), 3)
        payloads, damaged = port.exchange(b"\x7c", frames=2)
        self.assertEqual((payloads[0], payloads[1][:1], damaged), (b"\x79\xaa", b"\x7c", 0))
        self.assertEqual(port.exchange(b"\x00\x00\x00", frames=3), ([b"\x79\xaa", b"\x00\x00\x00"], 1))

    def test_programmer_log_error_and_silence(self):
        self.start("--start-stage", "sdl", "--sdl-log-every", 2, "--sdl-error-at", 3, "--silent", "sdl:0x07:4")
        port = self.open_port()
        write = b"\x07\x00\x00\x20\x00" + b"z" * 10
        self.assertEqual(port.exchange(write)[0], [b"\x08\x00\x00\x20\x00"])
        payloads = port.exchange(write, frames=2)[0]
        self.assertEqual([p[:1] for p in payloads], [b"\x0e", b"\x08"])
        error = port.exchange(write)[0][0]
        self.assertEqual((error[:1], int.from_bytes(error[1:5], "little")), (b"\x0d", 7))
        self.assertEqual(port.exchange(write, timeout=0.5)[0], [])


class PlacesOutsideTheRoot(SimulatorTestCase):
    """Names the simulator joins to its root, and the root itself, are
    checked before anything is made or removed."""

    def refused(self, *args):
        run = subprocess.run([str(SIMULATOR), *map(str, args)], capture_output=True, text=True, timeout=20)
        self.assertEqual((run.returncode, run.stdout), (2, ""), run.stderr)
        return run.stderr

    def test_names_that_are_not_one_plain_component_are_refused(self):
        victim = pathlib.Path(self.workdir) / "victim"
        victim.write_text("keep me")
        root = pathlib.Path(self.workdir) / "root"
        for option in ["--entry", "--dl-entry", "--sdl-entry", "--location", "--config-name"]:
            for name in [victim, "..", ".", "a/b", "ttyUSB0,../victim"]:
                self.assertIn(option, self.refused("--root", root, option, name))
        self.assertEqual(victim.read_text(), "keep me")
        self.assertFalse(root.exists())

    def test_root_that_holds_something_is_refused(self):
        root = pathlib.Path(self.workdir) / "root"
        (root / "dev").mkdir(parents=True)
        (root / "dev" / "ttyUSB0").write_text("keep me")
        self.assertIn("--root", self.refused("--root", root))
        self.assertIn("--root", self.refused("--root", root / "dev" / "ttyUSB0"))
        self.assertEqual((root / "dev" / "ttyUSB0").read_text(), "keep me")


class PlacesOfAnotherUser(SimulatorTestCase):
    """Run as root, the simulator makes and removes entries below its root and
    writes its records: a place another user can change must not lead it to
    make or remove anything of root's elsewhere."""

    def run_sim(self, *args):
        return subprocess.run([str(SIMULATOR), "--idle-timeout", "300", *map(str, args)], capture_output=True,
                              text=True, timeout=20)

    def test_root_that_another_user_could_change_is_refused(self):
        self.assertEqual(os.geteuid(), 0, "only root can give the test a directory of another user")
        workdir = pathlib.Path(self.workdir)
        others, open_to_all = workdir / "others", workdir / "open"
        others.mkdir(mode=0o700)
        os.chown(others, 65534, 65534)
        open_to_all.mkdir()
        open_to_all.chmod(0o755)
        shared = workdir / "shared"
        shared.mkdir()
        os.chown(shared, 65534, 65534)
        for root, why in [(others, f"--root {others}: it belongs to another user (uid 65534)"),
                          (open_to_all, f"--root {open_to_all}: it has mode 0755, not 0700"),
                          (shared / "root", f"--root {shared / 'root'}: the folder {shared} belongs to another user "
                                            "(uid 65534)")]:
            run = self.run_sim("--root", root)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (2, "", f"zntv-module-sim: {why}\n"))
        self.assertEqual(list(others.iterdir()) + list(open_to_all.iterdir()) + list(shared.iterdir()), [])

    def test_records_are_not_written_through_planted_links(self):
        workdir = pathlib.Path(self.workdir)
        elsewhere = workdir / "elsewhere"
        elsewhere.mkdir()
        (elsewhere / "summary.txt").write_text("keep me")
        (workdir / "linked").symlink_to(elsewhere)
        records = workdir / "records"
        records.mkdir()
        (records / "summary.txt").symlink_to(elsewhere / "summary.txt")
        for record_dir, why in [(workdir / "linked", f"the folder {workdir / 'linked'} is a symbolic link"),
                                (records, "summary.txt: it is a symbolic link")]:
            run = self.run_sim("--root", workdir / f"root-{record_dir.name}", "--record-dir", record_dir)
            self.assertEqual(sorted(p.name for p in elsewhere.iterdir()), ["summary.txt"])
            self.assertEqual((elsewhere / "summary.txt").read_text(), "keep me")
            self.assertEqual(run.returncode, 2, run.stderr)
            self.assertIn(f"cannot write the records to {record_dir}: {why}", run.stderr)


class SeveralModules(SimulatorTestCase):
    def test_each_module_has_its_own_place_and_comes_back_under_its_stage_entry(self):
        sim = self.start("--modules", 2, "--entry", "ttyUSB2,ttyUSB3", "--dl-entry", "ttyUSB0,ttyUSB1",
                         "--location", "1-4.2,2-1", "--offline-delay", 100)
        sysfs, dev = pathlib.Path(sim.env["SYSFS_PATH"]), pathlib.Path(sim.env["DEV_PATH"])
        for entry, location in [("ttyUSB2", "1-4.2"), ("ttyUSB3", "2-1")]:
            device = (sysfs / "class/tty" / entry / "device").resolve().parent.parent
            self.assertEqual(device.name, location)
            self.assertEqual((device / "idVendor").read_text().strip(), "0a1b")
        first, second = Port(dev / "ttyUSB2"), Port(dev / "ttyUSB3")
        self.assertNotEqual(os.ttyname(first.fd), os.ttyname(second.fd))
        self.assertEqual(first.exchange(b"\x7c")[0][0][:1], b"\x7c")
        first.exchange(b"\x00\x01\x02")
        first.exchange(b"\x3a")
        self.assertTrue(wait_for(lambda: (dev / "ttyUSB0").exists()), "first module not back as ttyUSB0")
        self.assertEqual((sysfs / "class/tty/ttyUSB0/device").resolve().parent.parent.name, "1-4.2")
        self.assertFalse((dev / "ttyUSB2").exists())
        self.assertTrue((dev / "ttyUSB3").exists(), "the second module left the bus with the first")
        first.close()
        second.close()


IDENTITY = "vid_0a1b&pid_2c3d&mi_02"


class Station(SimulatorTestCase):
    """Modules that are plugged in and out on command and serve one upgrade
    after another, with the timeline of their events."""

    def listed(self):
        """The updater's --list: (its lines after the configuration line, its
        exit status)."""
        run = run_upgrade(self.sim.env, 30, args=["--list"])
        self.assertEqual(run.lines[:1], [CONFIGURED], run.error_lines)
        return run.lines[1:], run.status

    def devnum(self, location):
        return (pathlib.Path(self.sim.env["SYSFS_PATH"]) / "devices/pci0000:00/0000:00:14.0/usb1" / location /
                "devnum").read_text()

    def test_module_started_unplugged_appears_on_plug_and_goes_on_unplug(self):
        sim = self.start("--unplugged", "all", control=True)
        sysfs_entry = pathlib.Path(sim.env["SYSFS_PATH"]) / "class/tty/ttyUSB0"
        self.assertFalse(self.port_name.exists() or sysfs_entry.exists())
        self.assertEqual(self.listed(), (["Unable to locate device"], EXIT_FAILURE))

        sim.control.send("plug 1-2")
        self.assertTrue(wait_for(self.port_name.exists), "module did not appear on plug")
        self.assertTrue((sysfs_entry / "device").exists())
        self.assertEqual(self.listed(), ([f"{self.port_name}\t{IDENTITY}\t1-2"], 0))
        first_devnum = self.devnum("1-2")
        sim.control.send("plug 1-2", "bogus 1-2")
        sim.control.send("unplug 1-2")
        self.assertTrue(wait_for(lambda: not self.port_name.exists() and not sysfs_entry.exists()),
                        "module did not leave on unplug")
        self.assertEqual(self.listed(), (["Unable to locate device"], EXIT_FAILURE))

        sim.control.send("plug 1-2")
        self.assertTrue(wait_for(self.port_name.exists), "module did not come back on plug")
        self.assertNotEqual(self.devnum("1-2"), first_devnum)
        sim.control.send("quit")
        self.assertEqual(sim.finish(), (0, []))
        self.assertEqual(sim.events(), ["plugged", "unplugged", "plugged", "unplugged"])
        self.assertIn("zntv-module-sim: unknown command ignored: bogus 1-2\n", sim.log_path.read_text())

    def test_module_back_in_its_firmware_after_the_reset_is_upgraded_again(self):
        _, image_path = embedded_inputs()
        image = image_path.read_bytes()
        sim = self.start("--return-after-reset", "--offline-delay", 100, expect_image=image_path)
        cycle = ["upgrade-start", "reset", "back-normal"]
        for upgrade in (1, 2):
            run = run_upgrade(sim.env, 60, args=["--port", "ttyUSB0"])
            self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
            self.assertEqual(run.status, 0)
            # The next run waits until the module is back in its firmware.
            self.assertEqual(sim.wait_for_events(1 + 3 * upgrade), ["plugged"] + cycle * upgrade)
            summary = sim.summary(upgrade=upgrade)
            self.assertEqual((summary["stages"], summary["reset"], summary["end"]), ("diag,dl,sdl", "yes", "reset"))
            self.assertTrue(sim.flash(upgrade=upgrade) == image, f"image in flash after upgrade {upgrade}")
        self.assertFalse(sim.record("summary.txt", upgrade=3).exists())
        status, output = sim.stop()
        verified = f"Flash verified: {len(image)} bytes at 0x00200000 match {image_path}"
        self.assertEqual((status, output), (0, [verified, verified]))
        timeline = sim.timeline()
        self.assertEqual([event for _, event in timeline], ["plugged"] + cycle * 2 + ["unplugged"])
        self.assertEqual([ms for ms, _ in timeline], sorted(ms for ms, _ in timeline))
        self.assertLessEqual(timeline[-1][0] - timeline[0][0], 60000)

    def test_failed_upgrade_is_recorded_and_the_fault_strikes_again_after_a_replug(self):
        sim = self.start("--sdl-error-at", 2, "--host-gone-timeout", 300, "--offline-delay", 100, control=True)
        for upgrade in (1, 2):
            run = run_upgrade(sim.env, 60, args=["--port", "ttyUSB0"])
            self.assertIn("Received SDL error (7)", run.lines)
            self.assertEqual((run.lines[-1], run.status), ("Download failed", EXIT_FAILURE))
            self.assertEqual(sim.wait_for_events(4 * upgrade - 1)[-2:], ["upgrade-start", "failed"])
            summary = sim.summary(upgrade=upgrade)
            self.assertEqual((summary["stages"], summary["rejected_requests"], summary["end"]),
                             ("diag,dl,sdl", "1", "host-gone"))
            sim.control.send("unplug 1-2", "plug 1-2")
            self.assertEqual(sim.wait_for_events(4 * upgrade + 1)[-2:], ["unplugged", "plugged"])
        sim.control.send("quit")
        self.assertEqual(sim.finish(), (3, []))
        self.assertEqual(sim.events(), ["plugged"] + ["upgrade-start", "failed", "unplugged", "plugged"] * 2 +
                         ["unplugged"])

    def test_module_unplugged_mid_flash_comes_back_in_its_firmware_and_is_upgraded(self):
        _, image_path = embedded_inputs()
        sim = self.start("--offline-delay", 100, expect_image=image_path, control=True)
        unplugged = []

        def unplug_at_first_write(_, line):
            if line.startswith("Sent SDL write request") and not unplugged:
                unplugged.append(line)
                sim.control.send("unplug 1-2")

        run = run_upgrade(sim.env, 60, args=["--port", "ttyUSB0"], on_line=unplug_at_first_write)
        self.assertEqual((run.lines[-1], run.status), ("Download failed", EXIT_FAILURE))
        self.assertEqual(sim.wait_for_events(3), ["plugged", "upgrade-start", "unplugged"])
        self.assertFalse(self.port_name.exists())
        summary = sim.summary()
        self.assertEqual((summary["stages"], summary["reset"], summary["end"]), ("diag,dl,sdl", "no", "unplugged"))

        sim.control.send("plug 1-2")
        self.assertEqual(sim.wait_for_events(4)[-1], "plugged")
        run = run_upgrade(sim.env, 60, args=["--port", "ttyUSB0"])
        self.assertEqual(run.lines[1], "Sending DIAG build ID request")
        self.assertEqual(run.status, 0)
        self.assertEqual(sim.wait_for_events(6)[-2:], ["upgrade-start", "reset"])
        self.assertEqual(sim.summary(upgrade=2)["end"], "reset")
        sim.control.send("quit")
        # The first upgrade ended without its reset.
        self.assertEqual(sim.finish(), (3, [f"Flash verified: {len(image_path.read_bytes())} bytes at 0x00200000 "
                                            f"match {image_path}"]))
        self.assertEqual(sim.events()[6:], [])

    def test_interrupt_mid_flash_ends_every_module_and_writes_the_records(self):
        sim = self.start("--modules", 2, "--return-after-reset", control=True)
        interrupted = []

        def interrupt_at_first_write(_, line):
            if line.startswith("Sent SDL write request") and not interrupted:
                interrupted.append(line)
                sim.process.send_signal(signal.SIGINT)

        run = run_upgrade(sim.env, 60, args=["--port", "ttyUSB1"], on_line=interrupt_at_first_write)
        self.assertEqual((run.lines[-1], run.status), ("Download failed", EXIT_FAILURE))
        self.assertEqual(sim.finish(), (3, []))
        summary = sim.summary("1-3")
        self.assertEqual((summary["stages"], summary["end"]), ("diag,dl,sdl", "signal"))
        self.assertEqual(sim.events("1-3"), ["plugged", "upgrade-start", "unplugged"])
        self.assertEqual(sim.events("1-2"), ["plugged", "unplugged"])
        self.assertFalse((sim.records / "1-2" / "summary.txt").exists())
        self.assertEqual(list(pathlib.Path(sim.env["DEV_PATH"]).iterdir()), [])

    def test_thirty_two_modules_come_up_in_one_tree_and_leave_one_by_one(self):
        sim = self.start("--modules", 32, control=True)
        dev = pathlib.Path(sim.env["DEV_PATH"])
        every = [f"{dev}/ttyUSB{index}\t{IDENTITY}\t1-{index + 2}" for index in range(32)]
        lines, status = self.listed()
        self.assertEqual((sorted(lines), status), (sorted(every), 0))
        sim.control.send("unplug 1-18")
        sysfs_entry = pathlib.Path(sim.env["SYSFS_PATH"]) / "class/tty/ttyUSB16"
        self.assertTrue(wait_for(lambda: not (dev / "ttyUSB16").exists() and not sysfs_entry.exists()),
                        "module 1-18 did not leave")
        lines, status = self.listed()
        self.assertEqual((sorted(lines), status), (sorted(every[:16] + every[17:]), 0))
        sim.control.send("quit")
        self.assertEqual(sim.finish(), (0, []))
        self.assertEqual(sim.events("1-18"), ["plugged", "unplugged"])
        self.assertEqual(sim.events("1-33"), ["plugged", "unplugged"])


if __name__ == "__main__":
    unittest.main()
