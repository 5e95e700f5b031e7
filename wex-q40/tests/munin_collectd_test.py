"""wex-q40 as Munin's plugin and collectd's exec program, judged by their own programs: munin-run and
munin-node-configure run it as munin-node does, munin-update stores what it fetched in RRD files, and collectd
writes what it accepted; rrdtool and the csv files say what arrived."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "testsupport" / "python"))
from debian_programs import tool  # noqa: E402
from munin_node import FakeNode, as_munin, master_config, munin_run  # noqa: E402

options = argparse.ArgumentParser()
for name in ("--companion", "--program", "--vmodule-lib", "--examples"):
    options.add_argument(name, type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest

ROOM = {"VWEX_TEMP": "22.4", "VWEX_HUM": "41.5"}
HOST = "testhost"


class Munin(unittest.TestCase):
    """The plugin's link and plugin-conf.d file in folders of the test's own, as an administrator sets them up."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)
        for folder in ("plugins", "available", "conf"):
            (self.dir / folder).mkdir()
        for folder in ("plugins", "available"):
            (self.dir / folder / "wex_q40").symlink_to(known.companion)
        self.configure(ROOM)

    def tearDown(self):
        self.tmp.cleanup()

    def configure(self, module, thresholds="", lock="lock"):
        env = {"LD_LIBRARY_PATH": known.vmodule_lib, "WEX_Q40_TEST": known.program,
               "WEX_Q40_LOCK": self.dir / lock, **module}
        lines = "".join(f"env.{name} {value}\n" for name, value in env.items())
        # The shipped drop-in, then the test's own settings, which munin-node reads after it.
        shutil.copy(known.examples / "munin-wex-q40.conf", self.dir / "conf" / "wex-q40")
        (self.dir / "conf" / "zz-test").write_text(f"[wex_q40]\nuser root\n{lines}{thresholds}")

    def munin_run(self, *words):
        return munin_run(self.dir / "plugins", self.dir / "conf", "wex_q40", *words)

    def test_config_values_and_autoconf_as_munin_node_runs_them(self):
        self.configure(ROOM, "env.temperature_warning 18:27\nenv.critical :45\nenv.humidity_warning junk\n")
        config = self.munin_run("config")
        self.assertEqual(config.returncode, 0, config.stderr)
        lines = config.stdout.splitlines()
        for line in ("multigraph wex_q40_temperature", "graph_category sensors", "temperature.warning 18:27",
                     "temperature.critical :45", "dewpoint.critical :45", "humidity.critical :45",
                     "multigraph wex_q40_humidity", "humidity.min 0", "humidity.max 100"):
            self.assertIn(line, lines)
        self.assertFalse(any(line.startswith(("humidity.warning", "dewpoint.warning")) for line in lines), lines)
        self.assertIn("humidity_warning is not a Munin threshold", config.stderr)

        fetch = self.munin_run()
        self.assertEqual((fetch.returncode, fetch.stdout), (0, "multigraph wex_q40_temperature\ntemperature.value "
                         "22.4\ndewpoint.value 8.7\nmultigraph wex_q40_humidity\nhumidity.value 41.5\n"))
        self.assertEqual(self.munin_run("autoconf").stdout, "yes\n")

        # A failed reading, the good one not shared: unknown values, never the last good ones; autoconf says why.
        self.configure({"VWEX_ABSENT": "1"}, lock="other-lock")
        fetch = self.munin_run()
        self.assertEqual(fetch.stdout.count(".value U\n"), 3, fetch.stdout)
        self.assertNotEqual(fetch.stderr, "")
        autoconf = self.munin_run("autoconf")
        self.assertEqual(autoconf.returncode, 0)
        self.assertTrue(autoconf.stdout.startswith("no (") and autoconf.stdout.endswith(")\n"), autoconf.stdout)

    def test_munin_node_configure_suggests_it(self):
        (self.dir / "plugins" / "wex_q40").unlink()
        done = subprocess.run([tool("munin-node-configure", "munin-node"), "--libdir", self.dir / "available",
                               "--servicedir", self.dir / "plugins", "--sconfdir", self.dir / "conf",
                               "--suggest", "--shell"], capture_output=True, text=True, timeout=120)
        self.assertEqual(done.stdout, f"ln -s '{self.dir}/available/wex_q40' '{self.dir}/plugins/wex_q40'\n",
                         done.stderr)

    def test_munin_update_stores_what_it_fetched(self):
        with FakeNode(HOST, self.dir / "plugins", self.dir / "conf", "wex_q40") as node:
            command = [tool("munin-update", "munin"), "--config_file", master_config(self.dir, HOST, node.port)]
            done = subprocess.run(as_munin(self.dir, command), capture_output=True, text=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stderr)
        expected = {"wex_q40_temperature-temperature-g": 22.4, "wex_q40_temperature-dewpoint-g": 8.7,
                    "wex_q40_humidity-humidity-g": 41.5}
        for name, value in expected.items():
            rrd = next(self.dir.glob(f"db/*/{HOST}-{name}.rrd"), None)
            self.assertIsNotNone(rrd, f"no RRD file for {name}: {sorted(self.dir.glob('db/**/*'))}")
            last = subprocess.run([tool("rrdtool", "rrdtool"), "lastupdate", rrd], capture_output=True, text=True,
                                  check=True).stdout
            self.assertAlmostEqual(float(last.split()[-1]), value, places=3, msg=last)

    def test_the_readme_graphs_can_be_drawn_again(self):
        script = Path(__file__).resolve().parents[2] / "tools" / "munin-graphs.py"
        done = subprocess.run([sys.executable, script, "--build", known.companion.parents[1], "--hours", "0.5",
                               "--out", self.dir / "drawn"], capture_output=True, text=True, timeout=180)
        self.assertEqual(done.returncode, 0, done.stderr)
        for graph in ("temperature", "humidity"):
            self.assertEqual((self.dir / "drawn" / f"munin-{graph}-day.png").read_bytes()[:8], b"\x89PNG\r\n\x1a\n")


class Collectd(unittest.TestCase):
    def test_collectd_takes_its_values_from_the_exec_plugin(self):
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            # collectd starts its exec programs with a clean environment of its own; a wrapper brings the module.
            wrapper = folder / "wex-q40-collectd"
            # The exec plugin's user may not see the build folder (a clone in /root): copies it may run.
            for built in (known.companion, known.program, known.vmodule_lib / "libftd2xx.so"):
                shutil.copy(built, folder / built.name)
            env = " ".join(f"{k}={v}" for k, v in {"LD_LIBRARY_PATH": folder, **ROOM}.items())
            wrapper.write_text(f"#!/bin/sh\nexec env {env} {folder / known.companion.name} collectd "
                               f"-b {folder / known.program.name} -l {folder}/lock/lock\n")
            wrapper.chmod(0o755)
            os.chmod(folder, 0o755)
            # The exec plugin never runs a program as root; the user it runs as takes the lock.
            (folder / "lock").mkdir()
            if os.geteuid() == 0:
                shutil.chown(folder / "lock", "nobody")
            # The shipped drop-in, running the wrapper in place of the installed command.
            drop_in = (known.examples / "collectd-wex-q40.conf").read_text()
            self.assertIn('"/usr/bin/wex-q40" "collectd"', drop_in)
            (folder / "collectd.conf").write_text(
                f'Hostname "{HOST}"\nFQDNLookup false\nInterval 1\nTypesDB "/usr/share/collectd/types.db"\n'
                f'LoadPlugin csv\n<Plugin csv>\n  DataDir "{folder}/csv"\n</Plugin>\n' +
                drop_in.replace('"/usr/bin/wex-q40" "collectd"', f'"{wrapper}"'))
            daemon = subprocess.Popen([tool("collectd", "collectd-core"), "-f", "-C", folder / "collectd.conf"],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            try:
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline and len(list(folder.glob("csv/*/*/*"))) < 3:
                    time.sleep(0.2)
            finally:
                daemon.terminate()
                log = daemon.communicate(timeout=30)[0]
            expected = {"temperature-air": 22.4, "humidity-relative": 41.5, "temperature-dewpoint": 8.7}
            for name, value in expected.items():
                files = list(folder.glob(f"csv/{HOST}/wex_q40-module/{name}-*"))
                self.assertEqual(len(files), 1, f"{name}: {sorted(folder.rglob('*'))}\n{log}")
                epoch, last = files[0].read_text().splitlines()[-1].split(",")
                self.assertAlmostEqual(float(last), value, places=3)
                self.assertLess(abs(float(epoch) - time.time()), 60)


if __name__ == "__main__":
    unittest.main(verbosity=2)
