"""The updater against a port whose open stalls in the driver for good (an
open of a FIFO that no one writes to, which the kernel would restart after
a signal that asks for restart): no wait of the updater on its worker is
longer than its bound, so each phase prints its connect failure within the
command wait, the stalled open is broken off when the phase shuts its server
down, and the process ends; also when it was started with the interrupt
signal blocked."""
import os
import unittest

from zntv_e2e import BUILD_DIR, EMULATOR_COMMAND, EXIT_FAILURE, UpgradeTestCase, run_upgrade

STALL_LIBRARY = BUILD_DIR / "libzntv-stall-open.so"
INTERRUPT_BLOCKED = BUILD_DIR / "zntv-interrupt-blocked"
COMMAND_WAIT_S = 10.0  # a client's wait for its worker command
WORKER_END_GRACE_S = 2.0  # Shutdown's wait for the worker to end
SLACK_S = 1.5


class StalledPortOpen(UpgradeTestCase):

    def test_each_phase_fails_to_connect_within_the_command_wait_and_the_process_ends(self):
        self.check_stalled_opens()

    def test_started_with_the_interrupt_signal_blocked_it_ends_all_the_same(self):
        self.assertTrue(INTERRUPT_BLOCKED.exists(), f"{INTERRUPT_BLOCKED} is not built")
        # An emulated wrapper needs the emulator too; what it execs is the
        # updater's own command, emulator and all.
        self.check_stalled_opens(wrapper=[*EMULATOR_COMMAND, str(INTERRUPT_BLOCKED)])

    def check_stalled_opens(self, wrapper=()):
        self.assertTrue(STALL_LIBRARY.exists(), f"{STALL_LIBRARY} is not built")
        sim = self.start_sim(expect_image=False)
        fifo = os.path.join(self.workdir, "stalled-open")
        os.mkfifo(fifo)
        env = dict(sim.env)
        env["LD_PRELOAD"] = str(STALL_LIBRARY)
        env["ZNTV_STALL_OPEN_PREFIX"] = sim.env["DEV_PATH"]
        env["ZNTV_STALL_OPEN_FIFO"] = fifo
        # The preloaded library comes before the sanitizer's run time.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        run = run_upgrade(env, timeout=120, wrapper=wrapper)

        self.assertGreater(len(run.lines), 1, run.lines)
        self.assertRegex(run.lines[1], r"^Failed to connect DIAG server to .+$")
        port = run.lines[1][len("Failed to connect DIAG server to "):]
        self.assertTrue(port.startswith(sim.env["DEV_PATH"]))
        failures = [f"Failed to connect {server} server to {port}" for server in ("DIAG", "DL", "SDL")]
        self.assertEqual(run.lines, ["System configured for SimModule"] + failures + ["Download failed"])
        self.assertEqual(run.status, EXIT_FAILURE)
        # Connect's own reason: the open did not end within the command wait.
        self.assertIn(f"zntv-upgrade: cannot open {port} as a serial line (system error 1460)", run.error_lines)
        previous = run.time_of("System configured for SimModule")
        for line in failures:
            took = run.time_of(line) - previous
            self.assertGreaterEqual(took, COMMAND_WAIT_S - 0.1, line)
            self.assertLess(took, COMMAND_WAIT_S + WORKER_END_GRACE_S + SLACK_S, line)
            previous = run.time_of(line)
        self.assertLess(run.elapsed, run.time_of(failures[-1]) + WORKER_END_GRACE_S + SLACK_S)


if __name__ == "__main__":
    unittest.main()
