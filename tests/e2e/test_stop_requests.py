"""A single upgrade asked to stop from outside (SIGHUP from a dropped ssh
session, SIGINT from an interrupt key, SIGTERM from a kill) and one whose
console has gone away: once the module has been ordered out of its firmware
the first request lets the flash finish and the second abandons it at once;
before that a request ends the run at once with the module untouched; a
closed standard output costs the lines, never the flash."""
import signal
import time

from zntv_e2e import EXIT_FAILURE, SIM_DEFAULTS, UpgradeTestCase, run_upgrade

D = SIM_DEFAULTS
# Slow enough that the image takes seconds to stream: a signal sent at a
# write lands while the flash is being written.
LINK_SPEED = 200000
FIRST_WRITE = f"Sent SDL write request (0x{D['sdl_base']:08X}, {D['sdl_max_write']})"
TWENTIETH_ANSWER = f"Received SDL write response (0x{D['sdl_base'] + 19 * D['sdl_max_write']:08X})"
# "About a second", on a loaded machine.
ABANDON_WITHIN = 1.0


class SignalsAt:
    """An on_line handler that sends each signal when its line arrives, and
    keeps the time it was sent."""

    def __init__(self, *line_signals):
        self.pending = list(line_signals)
        self.sent_at = []

    def __call__(self, process, line):
        if self.pending and line == self.pending[0][0]:
            process.send_signal(self.pending.pop(0)[1])
            self.sent_at.append(time.monotonic())


class StopRequests(UpgradeTestCase):
    def notice(self):
        return (f"zntv-upgrade: the upgrade of {self.sim.env['DEV_PATH']}/ttyUSB0 is finishing; "
                "a second interrupt abandons it")

    def run_with(self, handler, *sim_args):
        sim = self.start_sim("--link-speed", LINK_SPEED, *sim_args)
        run = run_upgrade(sim.env, on_line=handler)
        return sim, run

    def test_hangup_mid_flash_lets_the_flash_finish(self):
        sim, run = self.run_with(SignalsAt((FIRST_WRITE, signal.SIGHUP)))
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual(run.error_lines, [self.notice()])
        self.assertRegex(run.lines[-1], r"^Upgraded in \d+ ms$")
        self.assertEqual(run.status, 0)
        self.assertImageFlashed(sim)
        self.assertSimConfirmed()

    def test_second_interrupt_abandons_the_flash_within_a_second(self):
        signals = SignalsAt((FIRST_WRITE, signal.SIGINT), (TWENTIETH_ANSWER, signal.SIGINT))
        sim, run = self.run_with(signals)
        ended = time.monotonic()
        sim.stop()
        self.assertEqual(len(signals.sent_at), 2, run.lines[-3:])
        print(f"\nended {ended - signals.sent_at[1]:.3f} s after the second interrupt")
        self.assertLess(ended - signals.sent_at[1], ABANDON_WITHIN)
        self.assertEqual((run.lines[-1], run.status), ("Download failed", EXIT_FAILURE))
        self.assertEqual(run.error_lines, [self.notice()])
        self.assertNotIn("Sending SDL reset request", run.lines)

    def test_terminate_before_the_download_mode_request_leaves_the_module_untouched(self):
        signals = SignalsAt(("Waiting for device to go offline", signal.SIGTERM))
        sim, run = self.run_with(signals)
        ended = time.monotonic()
        sim.stop()
        self.assertEqual(run.lines[-1], "Waiting for device to go offline")
        self.assertEqual((run.status, run.error_lines), (EXIT_FAILURE, []))
        self.assertLess(ended - signals.sent_at[0], ABANDON_WITHIN)
        self.assertEqual([r for r in sim.requests() if r.startswith("diag")], ["diag 7c 1", "diag 00 3"])
        self.assertEqual(sim.summary()["flash_writes"], "0")

    def test_closed_standard_output_costs_the_lines_not_the_flash(self):
        sim = self.start_sim()
        run = run_upgrade(sim.env, wrapper=["sh", "-c", 'exec "$@" >&-', "sh"])
        self.sim_status, self.sim_output = sim.finish()
        self.assertEqual((run.lines, run.error_lines, run.status), ([], [], 0))
        self.assertImageFlashed(sim)
        self.assertSimConfirmed()


if __name__ == "__main__":
    import unittest
    unittest.main()
