"""Runs the textfile hook, wex-q40-textfile with its old options and wex-q40 textfile, against stand-in
programs and the virtual module, and parses what it writes with the Prometheus client's own parser.
What wex-q40 textfile judges (the report's form, retries, time limits, unwritable folders) its own
tests cover; here is what the wrapper and the exporter's side add."""
import argparse
import hashlib
import math
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from prometheus_client.parser import text_string_to_metric_families

options = argparse.ArgumentParser()
options.add_argument("--script", type=Path, required=True)
options.add_argument("--companion", type=Path, required=True)
options.add_argument("--program", type=Path)
options.add_argument("--vmodule-lib", type=Path)
known, rest = options.parse_known_args()
sys.argv[1:] = rest
SCRIPT, COMPANION, PROGRAM, VMODULE_LIB = known.script, known.companion, known.program, known.vmodule_lib

GOOD_REPORT = "Temperature: 30.0C, 86.0F\nHumidity: 50.6%\nDewpoint: 18.6C, 65.5F\n"
READINGS = ("wex_q40_temperature_celsius", "wex_q40_relative_humidity_percent", "wex_q40_dewpoint_celsius")


def parse(text):
    """Parses the exposition format strictly: every sample is a finite number in a gauge with help."""
    metrics = {}
    for family in text_string_to_metric_families(text):
        assert family.type == "gauge", f"{family.name} is a {family.type}"
        assert family.documentation, f"{family.name} has no HELP"
        assert f"# TYPE {family.name} gauge\n" in text, f"{family.name} has no TYPE line"
        assert len(family.samples) == 1, family.samples
        sample = family.samples[0]
        assert sample.labels == {}, sample
        assert math.isfinite(sample.value), f"{sample.name} is {sample.value}"
        metrics[sample.name] = sample.value
    return metrics


def promtool_lint(path):
    promtool = shutil.which("promtool")
    assert promtool is not None, "promtool is missing (Debian package prometheus)"
    with open(path, "rb") as text:
        done = subprocess.run([promtool, "check", "metrics"], stdin=text, capture_output=True, text=True)
    assert (done.returncode, done.stdout + done.stderr) == (0, ""), done.stdout + done.stderr


class Hook(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name) / "textfile"
        self.dir.mkdir()
        self.prom = self.dir / "wex_q40.prom"
        # Readers take turns through this lock; the tests keep theirs away from the system's.
        os.environ["WEX_Q40_LOCK"] = str(Path(self.tmp.name) / "wex-q40.lock")

    def tearDown(self):
        self.tmp.cleanup()

    def fake(self, body):
        path = Path(self.tmp.name) / "fake_wex_q40_test"
        path.write_text("#!/bin/sh\n" + body + "\n")
        path.chmod(0o755)
        return path

    def printing(self, text, status=0):
        return self.fake(f"printf '%s' '{text}'\nexit {status}")

    def run_hook(self, program, env=None, args=()):
        done = subprocess.run([str(SCRIPT), "-b", str(program), "-d", str(self.dir), *args],
                              env=dict(os.environ, **(env or {})), capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(done.stdout, "")
        return done

    def metrics(self):
        self.assertEqual([p.name for p in self.dir.iterdir()], ["wex_q40.prom"], "temporary file left")
        self.assertEqual(stat.S_IMODE(self.prom.stat().st_mode), 0o644)
        promtool_lint(self.prom)
        return parse(self.prom.read_text())

    def assert_good(self, done, temperature, humidity, dewpoint):
        self.assertEqual(done.returncode, 0, done.stderr)
        metrics = self.metrics()
        self.assertEqual(metrics["wex_q40_read_success"], 1)
        self.assertEqual(metrics["wex_q40_temperature_celsius"], temperature)
        self.assertEqual(metrics["wex_q40_relative_humidity_percent"], humidity)
        if dewpoint is None:
            self.assertNotIn("wex_q40_dewpoint_celsius", metrics)
        else:
            self.assertEqual(metrics["wex_q40_dewpoint_celsius"], dewpoint)
        self.assertLessEqual(abs(metrics["wex_q40_last_success_timestamp_seconds"] - time.time()), 5)
        return metrics

    def assert_failed_keeping(self, done, last_success):
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("reading failed", done.stderr)
        metrics = self.metrics()
        self.assertEqual(metrics["wex_q40_read_success"], 0)
        for name in READINGS:
            self.assertNotIn(name, metrics)
        self.assertEqual(metrics.get("wex_q40_last_success_timestamp_seconds"), last_success)
        return metrics


class StandInProgram(Hook):
    def test_good_report_becomes_five_gauges(self):
        metrics = self.assert_good(self.run_hook(self.printing(GOOD_REPORT)), 30.0, 50.6, 18.6)
        self.assertEqual(len(metrics), 5)

    def test_negative_and_zero_values_are_kept_exactly(self):
        report = "Temperature: -0.0C, 32.0F\nHumidity: 0.0%\nDewpoint: -40.0C, -40.0F\n"
        self.assert_good(self.run_hook(self.printing(report)), 0.0, 0.0, -40.0)

    def test_dewpoint_that_is_not_a_number_is_left_out(self):
        for nan in ("nanC, nanF", "-nanC, -nanF"):
            with self.subTest(nan):
                report = f"Temperature: 30.0C, 86.0F\nHumidity: -0.0%\nDewpoint: {nan}\n"
                self.assert_good(self.run_hook(self.printing(report)), 30.0, 0.0, None)
                self.assertNotIn("nan", self.prom.read_text().lower())

    def test_failure_before_any_success_writes_no_timestamp(self):
        self.assert_failed_keeping(self.run_hook(self.printing("wex_init failed!\n", 255)), None)

    def test_old_timestamp_survives_repeated_failures(self):
        self.prom.write_text("wex_q40_last_success_timestamp_seconds 1700000000\n")
        failing = self.printing("wex_read_hum failed!\n", 255)
        for _ in range(3):
            self.assert_failed_keeping(self.run_hook(failing), 1700000000)

    def test_variables_and_bad_options(self):
        done = subprocess.run([str(SCRIPT)], capture_output=True, text=True,
                              env=dict(os.environ, WEX_Q40_TEST=str(self.printing(GOOD_REPORT)),
                                       WEX_Q40_TEXTFILE_DIR=str(self.dir)))
        self.assert_good(done, 30.0, 50.6, 18.6)
        for args in (["-x"], ["-t", "soon"]):
            with self.subTest(args=args):
                done = subprocess.run([str(SCRIPT), "-d", str(self.dir), *args], capture_output=True, text=True)
                self.assertEqual(done.returncode, 2)
                self.assertIn("Usage" if args[0] != "-t" else "-t", done.stderr)


class Command(Hook):
    """wex-q40 textfile itself, with the options the old script did not have."""

    def test_long_options_and_a_folder_with_spaces(self):
        spaced = Path(self.tmp.name) / "node exporter"
        spaced.mkdir()
        lock = Path(self.tmp.name) / "other.lock"
        done = subprocess.run([str(COMPANION), "textfile", "--program", str(self.printing(GOOD_REPORT)),
                               "--directory", str(spaced), "--timeout", "5", "--retries", "0", "--lock", str(lock)],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual((done.returncode, done.stdout), (0, ""), done.stderr)
        promtool_lint(spaced / "wex_q40.prom")
        self.assertEqual(parse((spaced / "wex_q40.prom").read_text())["wex_q40_temperature_celsius"], 30.0)
        self.assertTrue(lock.exists())

    def test_wrapper_passes_every_argument_on_unchanged(self):
        spaced = Path(self.tmp.name) / "a b"
        spaced.mkdir()
        done = subprocess.run([str(SCRIPT), "-b", str(self.printing(GOOD_REPORT)), "-d", str(spaced), "-r", "0"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue((spaced / "wex_q40.prom").exists())
        self.assertEqual(SCRIPT.read_text().splitlines(), ["#!/bin/sh", f'exec {COMPANION.absolute()} textfile "$@"'])

    def test_help_exits_0_and_names_the_old_options(self):
        for command in ([str(SCRIPT), "-h"], [str(COMPANION), "textfile", "-h"]):
            with self.subTest(command=command):
                done = subprocess.run(command, capture_output=True, text=True)
                self.assertEqual(done.returncode, 0)
                for option in ("-b PROGRAM", "-d FOLDER", "-t SECONDS"):
                    self.assertIn(option, done.stdout)


@unittest.skipIf(PROGRAM is None, "needs wex_q40_test and the virtual module")
class VirtualModule(Hook):
    def module_env(self, **settings):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VWEX_")}
        env["LD_LIBRARY_PATH"] = str(VMODULE_LIB)
        # Each setting of the module stands for another module, with a lock and a shared reading of its own.
        name = hashlib.sha256(repr(sorted(settings.items())).encode()).hexdigest()[:16]
        env["WEX_Q40_LOCK"] = str(Path(self.tmp.name) / f"wex-q40-{name}.lock")
        env.update(settings)
        return env

    def run_module(self, **settings):
        done = subprocess.run([str(SCRIPT), "-b", str(PROGRAM), "-d", str(self.dir)],
                              env=self.module_env(**settings), capture_output=True, text=True, timeout=60)
        self.assertEqual(done.stdout, "")
        return done

    def test_default_reading(self):
        self.assert_good(self.run_module(), 30.0, 50.6, 18.6)

    def program_values(self, **settings):
        done = subprocess.run([str(PROGRAM)], env=self.module_env(**settings), capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout)
        lines = done.stdout.splitlines()
        return (float(lines[0].split()[1].rstrip("C,")), float(lines[1].split()[1].rstrip("%")),
                lines[2].split()[1].rstrip("C,"))

    def test_what_the_program_prints_is_what_the_hook_writes(self):
        for settings in ({"VWEX_RAW_TEMP": "3000"}, {"VWEX_RAW_TEMP": "0"}, {"VWEX_RAW_HUM": "3300"}):
            with self.subTest(settings=settings):
                temperature, humidity, dewpoint = self.program_values(**settings)
                self.assert_good(self.run_module(**settings), temperature, humidity, float(dewpoint))
        self.assertEqual(self.program_values(VWEX_RAW_TEMP="3000")[0], -10.0)

    def test_failing_readings_keep_the_last_good_timestamp(self):
        self.assert_good(self.run_module(), 30.0, 50.6, 18.6)
        last = self.metrics()["wex_q40_last_success_timestamp_seconds"]
        for settings in ({"VWEX_ABSENT": "1"}, {"VWEX_MUTE": "1"}, {"VWEX_BAD_CRC": "temp"},
                         {"VWEX_BAD_CRC": "hum"}, {"VWEX_STUCK": "high"}):
            with self.subTest(settings=settings):
                done = self.run_module(**settings)
                self.assert_failed_keeping(done, last)
                self.assertIn("failed!", done.stderr)

    def test_not_a_number_dewpoint_is_not_written(self):
        temperature, humidity, dewpoint = self.program_values(VWEX_HUM="0")
        self.assertIn(dewpoint, ("nan", "-nan"))
        metrics = self.assert_good(self.run_module(VWEX_HUM="0"), temperature, humidity, None)
        self.assertNotIn("wex_q40_dewpoint_celsius", metrics)
        self.assertNotIn("nan", self.prom.read_text().lower())


if __name__ == "__main__":
    unittest.main(verbosity=2)
