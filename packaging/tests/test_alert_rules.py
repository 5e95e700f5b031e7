"""The example alert rules: promtool's own check and unit test, and the unit test's series held to what
wex-q40 textfile really writes, so that a renamed metric cannot leave the rules silently quiet."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import yaml
from prometheus_client.parser import text_string_to_metric_families

options = argparse.ArgumentParser()
options.add_argument("--rules", type=Path, required=True)
options.add_argument("--unit-test", type=Path, required=True)
options.add_argument("--companion", type=Path, required=True)
options.add_argument("--program", type=Path, required=True)
options.add_argument("--vmodule-lib", type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest

# What the node exporter's scrape adds to the file's unlabelled samples.
SCRAPE_LABELS = {"instance", "job"}
SERIES = re.compile(r"^(\w+)\{(.*)\}$")
LABEL = re.compile(r'\s*(\w+)="[^"]*"\s*')


def promtool(*args):
    path = shutil.which("promtool")
    assert path is not None, "promtool is missing (Debian package prometheus)"
    return subprocess.run([path, *args], capture_output=True, text=True, timeout=60)


def series_of(group):
    """Each input series of a promtool test group as (name, label names, whether it ends)."""
    found = []
    for entry in group["input_series"]:
        match = SERIES.match(entry["series"])
        assert match, entry["series"]
        labels = {LABEL.fullmatch(part).group(1) for part in match.group(2).split(",")}
        found.append((match.group(1), labels, "stale" in entry["values"].split()))
    return found


class AlertRules(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.groups = {group["name"]: group for group in yaml.safe_load(known.unit_test.read_text())["tests"]}
        # A failure after a good reading, as the timer's file goes: the old timestamp stays.
        cls.good = cls.textfile()
        cls.failed = cls.textfile(1, VWEX_ABSENT="1")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    @classmethod
    def textfile(cls, status=0, **settings):
        """The metric names of the file after one run of wex-q40 textfile against the virtual module."""
        folder = Path(cls.tmp.name)
        env = {k: v for k, v in os.environ.items() if not k.startswith("VWEX_")}
        env.update(LD_LIBRARY_PATH=str(known.vmodule_lib.absolute()), WEX_Q40_LOCK=str(folder / "lock"), **settings)
        argv = [str(known.companion), "textfile", "-d", str(folder), "-b", str(known.program), "-r", "0",
                "--max-age", "0"]
        done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == status, done.stderr
        names = set()
        for family in text_string_to_metric_families((folder / "wex_q40.prom").read_text()):
            for sample in family.samples:
                assert sample.labels == {}, sample
                names.add(sample.name)
        return names

    def test_promtool_accepts_the_rules(self):
        done = promtool("check", "rules", str(known.rules))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("SUCCESS: 4 rules found", done.stdout)

    def test_promtool_unit_test_passes(self):
        done = promtool("test", "rules", str(known.unit_test))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_rules_use_only_metrics_the_textfile_writes(self):
        rules = yaml.safe_load(known.rules.read_text())
        used = set(re.findall(r"\bwex_q40_\w+", " ".join(rule["expr"] for group in rules["groups"]
                                                         for rule in group["rules"])))
        self.assertTrue(used)
        self.assertLessEqual(used, self.good)

    def test_input_series_are_shaped_like_the_file_as_scraped(self):
        for name, group in self.groups.items():
            with self.subTest(group=name):
                for metric, labels, _ in series_of(group):
                    self.assertIn(metric, self.good)
                    self.assertEqual(labels, SCRAPE_LABELS)

    def test_a_good_file_and_a_failed_one_as_the_series_have_them(self):
        self.assertEqual({m for m, _, _ in series_of(self.groups["a good reading every minute raises nothing"])},
                         self.good)
        kept = {m for m, _, ends in series_of(self.groups["failed readings"]) if not ends}
        self.assertEqual(kept, self.failed)


if __name__ == "__main__":
    unittest.main(verbosity=2)
