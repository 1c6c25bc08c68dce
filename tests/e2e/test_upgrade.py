"""Whole upgrades: zntv-upgrade against zntv-module-sim. Every test checks
the updater's exact console lines and exit status and what the module was
left holding: the programmer at its load address with its start address, and
the image byte for byte at the flash base address. The flows whose output is
fixed compare it with their golden transcript; where a test's knobs change
the write schedule (window, write size, base address, log and error
packets), the expected lines come from the model of it in zntv_e2e, which
the golden transcripts pin down for the default module."""
import unittest

from zntv_e2e import (EXIT_FAILURE, SIM_DEFAULTS, UpgradeTestCase, diag_lines, dl_lines, golden_lines, happy_lines,
                      sdl_hello_lines, sdl_stream_lines, write_count)

D = SIM_DEFAULTS


class HappyPath(UpgradeTestCase):
    def test_default_module_gets_programmer_and_image(self):
        run = self.upgrade()
        self.assertGoldenOutput(run, "happy", 0)
        self.assertEqual(diag_lines() + dl_lines() + sdl_hello_lines() +
                         sdl_stream_lines(len(self.image), D["sdl_max_write"], D["sdl_base"], D["sdl_window"]) +
                         ["Sending SDL reset request"], happy_lines(), "the model of the lines")
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)
        self.assertSimConfirmed()
        self.assertEqual(self.sim.summary()["stages"], "diag,dl,sdl")
        self.assertEqual(self.sim.summary()["rejected_requests"], "0")
        self.assertEqual([r for r in self.sim.requests() if r.startswith("diag")],
                         ["diag 7c 1", "diag 00 3", "diag 3a 1"])
        self.report_phase_times(run)

    def report_phase_times(self, run):
        marks = [("DIAG", "Sending DIAG build ID request"), ("DL", "Sending DL parameters request"),
                 ("SDL", "Sending SDL hello request"), ("end", run.lines[-1])]
        times = [(name, run.time_of(line)) for name, line in marks]
        print("\nphase times: " + ", ".join(f"{a} {t2 - t1:.2f} s" for (a, t1), (_, t2) in zip(times, times[1:])) +
              f"; {run.lines[-1]}")


class Windows(UpgradeTestCase):
    def check_window(self, window):
        run = self.upgrade("--sdl-window", window)
        self.assertLines(run, diag_lines() + dl_lines() + sdl_hello_lines(window=window) +
                         sdl_stream_lines(len(self.image), D["sdl_max_write"], D["sdl_base"], window) +
                         ["Sending SDL reset request"], succeeded=True)
        self.assertImageFlashed(self.sim)

    def test_window_of_one_acknowledges_each_write_before_the_next(self):
        self.check_window(1)

    def test_window_larger_than_the_write_count_sends_everything_first(self):
        self.check_window(1000)

    def test_window_of_zero_waits_for_an_acknowledgement_that_never_comes(self):
        run = self.upgrade("--sdl-window", 0)
        total = write_count(len(self.image), D["sdl_max_write"])
        self.assertLines(run, diag_lines() + dl_lines() + sdl_hello_lines(window=0) +
                         [f"Failed to receive SDL response [0 of {total}]"], succeeded=False)
        self.assertEqual(self.sim.summary()["flash_writes"], "0")


class WriteSizes(UpgradeTestCase):
    def test_large_limits_are_cut_to_8192_and_small_ones_cut_the_image_finely(self):
        run = self.upgrade("--dl-max-write", 0x4000, "--sdl-max-write", 512)
        self.assertLines(run, diag_lines() + dl_lines(max_write=16384) + sdl_hello_lines(max_write=512) +
                         sdl_stream_lines(len(self.image), 512, D["sdl_base"], D["sdl_window"]) +
                         ["Sending SDL reset request"], succeeded=True)
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)
        dl_writes = [int(r.split()[4]) for r in self.sim.requests() if r.startswith("dl 0f")]
        self.assertEqual(len(dl_writes), write_count(len(self.programmer.data), 8192))
        self.assertEqual(set(dl_writes[:-1]), {8192})

    def test_small_downloader_limit_and_largest_programmer_writes(self):
        run = self.upgrade("--dl-max-write", 100, "--sdl-max-write", 8192)
        self.assertLines(run, diag_lines() + dl_lines(max_write=100) + sdl_hello_lines(max_write=8192) +
                         sdl_stream_lines(len(self.image), 8192, D["sdl_base"], D["sdl_window"]) +
                         ["Sending SDL reset request"], succeeded=True)
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)
        self.assertEqual(int(self.sim.summary()["ram_writes"]), write_count(len(self.programmer.data), 100))

    def test_programmer_write_limit_above_8192_cannot_be_streamed(self):
        run = self.upgrade("--sdl-max-write", 8193)
        self.assertLines(run, diag_lines() + dl_lines() + sdl_hello_lines(max_write=8193) +
                         ["Failed to build SDL write requests"], succeeded=False)

    def test_other_base_address_and_versions_are_reported_and_used(self):
        run = self.upgrade("--sdl-base", 0x90000000, "--dl-version", 7, "--dl-min-version", 5,
                           "--sdl-max-version", 9, "--sdl-min-version", 4, "--sdl-feature-mask", 0xA5,
                           "--sdl-id", "", "--sdl-table-entries", 5)
        self.assertLines(run, diag_lines() + dl_lines(version=7, min_version=5) +
                         sdl_hello_lines(max_version=9, min_version=4, base=0x90000000, feature_mask=0xA5) +
                         sdl_stream_lines(len(self.image), D["sdl_max_write"], 0x90000000, D["sdl_window"]) +
                         ["Sending SDL reset request"], succeeded=True)
        self.assertImageFlashed(self.sim, base=0x90000000)


class LineTrouble(UpgradeTestCase):
    def test_unsolicited_diag_packets_before_every_answer_are_not_answers(self):
        # 0x79 is always unsolicited; 0x80 with 0x8001 at offset 10 too.
        run = self.upgrade("--diag-unsolicited", "79", "--diag-unsolicited", "790102",
                           "--diag-unsolicited", "800000000000000001000180")
        self.assertLines(run, happy_lines(), succeeded=True)
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)

    def test_damaged_copies_and_answers_split_over_many_writes_are_survived(self):
        run = self.upgrade("--damaged-before", "diag", "--damaged-before", "dl", "--damaged-before", "sdl",
                           "--split-frames", 3, "--split-gap", 3, "--sdl-max-write", 8192)
        self.assertLines(run, diag_lines() + dl_lines() + sdl_hello_lines(max_write=8192) +
                         sdl_stream_lines(len(self.image), 8192, D["sdl_base"], D["sdl_window"]) +
                         ["Sending SDL reset request"], succeeded=True)
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)

    def test_lost_parameters_answer_is_retried(self):
        run = self.upgrade("--bad-fcs", "dl:0x07:1")
        self.assertLines(run, happy_lines(), succeeded=True)
        self.assertEqual([r for r in self.sim.requests() if r.startswith("dl 07")], ["dl 07 1", "dl 07 1"])
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)

    def test_slow_line(self):
        run = self.upgrade("--link-speed", 400000)
        self.assertLines(run, happy_lines(), succeeded=True)
        self.assertImageFlashed(self.sim)


class ProgrammerPackets(UpgradeTestCase):
    def test_log_packets_are_printed_and_not_counted(self):
        run = self.upgrade("--sdl-log-every", 3)
        self.assertLines(run, diag_lines() + dl_lines() + sdl_hello_lines() +
                         sdl_stream_lines(len(self.image), D["sdl_max_write"], D["sdl_base"], D["sdl_window"],
                                          log_every=3) +
                         ["Sending SDL reset request"], succeeded=True)
        self.assertImageFlashed(self.sim)

    def test_error_packet_ends_the_stream_with_the_count_so_far(self):
        run = self.upgrade("--sdl-error-at", 40, "--sdl-error-code", 1234, "--sdl-log-every", 7)
        self.assertGoldenOutput(run, "sdl-phase-fails", EXIT_FAILURE)
        self.assertEqual(diag_lines() + dl_lines() + sdl_hello_lines() +
                         sdl_stream_lines(len(self.image), D["sdl_max_write"], D["sdl_base"], D["sdl_window"],
                                          log_every=7, error_at=40, error_code=1234),
                         golden_lines("sdl-phase-fails"), "the model of the lines")
        self.assertEqual(self.sim.summary()["reset"], "no")

    def test_error_packet_too_short_for_its_code(self):
        run = self.upgrade("--sdl-error-at", 3, "--sdl-error-bare")
        self.assertLines(run, diag_lines() + dl_lines() + sdl_hello_lines() +
                         sdl_stream_lines(len(self.image), D["sdl_max_write"], D["sdl_base"], D["sdl_window"],
                                          error_at=3), succeeded=False)

    def test_reset_answered_with_an_error_still_succeeds(self):
        run = self.upgrade("--reset-answer", "0d")
        self.assertLines(run, happy_lines(), succeeded=True)
        self.assertImageFlashed(self.sim)
        self.assertSimConfirmed()

    def test_unanswered_reset_fails(self):
        run = self.upgrade("--reset-answer", "none")
        self.assertLines(run, happy_lines() + ["Failed to receive SDL reset response"], succeeded=False)
        self.assertImageFlashed(self.sim)


class InvalidHello(UpgradeTestCase):
    def check_rejected(self, *sim_args):
        run = self.upgrade(*sim_args)
        self.assertLines(run, diag_lines() + dl_lines() +
                         ["Sending SDL hello request", "Failed to receive valid SDL hello response"], succeeded=False)
        self.assertEqual(self.sim.summary()["flash_writes"], "0")
        self.assertEqual(self.sim.summary()["hello_requests"], "1")

    def test_lowest_version_below_two(self):
        self.check_rejected("--sdl-min-version", 1)

    def test_damaged_target_magic(self):
        self.check_rejected("--sdl-hello-bad-magic")

    def test_no_table_and_nothing_after_the_feature_mask(self):
        self.check_rejected("--sdl-table-entries", 0)

    def test_no_table_but_one_more_byte_is_valid(self):
        run = self.upgrade("--sdl-table-entries", 0, "--sdl-hello-padding", 1)
        self.assertEqual(run.status, 0, run.lines)
        self.assertImageFlashed(self.sim)


class ModuleStartsInDownloadMode(UpgradeTestCase):
    def test_diag_phase_fails_and_the_upgrade_goes_on(self):
        # The downloader refuses the build ID request with a NAK, which the
        # DIAG phase takes as a wrong answer; the module is already where the
        # DL phase needs it.
        run = self.upgrade("--start-stage", "dl")
        self.assertGoldenOutput(run, "diag-phase-fails", 0)
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)
        self.assertEqual(self.sim.summary()["stages"], "dl,sdl")


class SlowFailures(UpgradeTestCase):
    """Paths that run into the fixed time-outs; each runs once."""

    def test_module_that_never_comes_back(self):
        run = self.upgrade("--never-return-after", "diag")
        port = self.sim.env["DEV_PATH"] + "/ttyUSB0"
        self.assertLines(run, diag_lines() + [f"Failed to connect DL server to {port}",
                                              f"Failed to connect SDL server to {port}"], succeeded=False,
                         error_lines=["zntv-upgrade: the module did not come back within 10 s; at its place "
                                      "(usb1-port2): no configured port",
                                      f"zntv-upgrade: {port} vanished before it could be opened: the module left "
                                      "the bus (unplugged, or restarting and not back in time)"])
        self.assertEqual(self.sim.summary()["end"], "never-returned")

    def test_unanswered_download_mode_request_fails_diag_but_not_the_upgrade(self):
        run = self.upgrade("--silent", "diag:0x3a")
        self.assertLines(run, happy_lines(), succeeded=True)
        self.assertProgrammerLoaded(self.sim)
        self.assertImageFlashed(self.sim)


class DownloaderPhaseFails(UpgradeTestCase):
    def test_programmer_already_running_fails_diag_and_dl_but_the_upgrade_succeeds(self):
        # Five unanswered parameters requests (the programmer's error packets
        # are no DL answers), then the programmer takes the image.
        run = self.upgrade("--start-stage", "sdl")
        self.assertGoldenOutput(run, "dl-phase-fails", 0)
        self.assertEqual([r for r in self.sim.requests() if r == "sdl 07 1"], ["sdl 07 1"] * 5)
        self.assertImageFlashed(self.sim)
        self.assertEqual(self.sim.summary()["ram_writes"], "0")


if __name__ == "__main__":
    unittest.main()
