"""wex-q40 as Munin's plugin and collectd's exec program, judged by their own programs: munin-run and
munin-node-configure run it as munin-node does, munin-update stores what it fetched in RRD files, and collectd
writes what it accepted; rrdtool and the csv files say what arrived."""
import argparse
import os
import shutil
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

options = argparse.ArgumentParser()
for name in ("--companion", "--program", "--vmodule-lib", "--examples"):
    options.add_argument(name, type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest

ROOM = {"VWEX_TEMP": "22.4", "VWEX_HUM": "41.5"}
HOST = "testhost"


def tool(name, package):
    path = shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin:/usr/share/munin")
    if path is None:
        raise AssertionError(f"{name} is missing (Debian package {package})")
    return path


class Munin(unittest.TestCase):
    """The plugin's link and plugin-conf.d file in folders of the test's own, as an administrator sets them up."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)
        for folder in ("plugins", "available", "conf", "db", "www", "log", "run"):
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
        done = subprocess.run([tool("munin-run", "munin-node"), "--servicedir", self.dir / "plugins",
                               "--sconfdir", self.dir / "conf", "wex_q40", *words],
                              capture_output=True, text=True, timeout=60)
        return done

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
        node = FakeNode(self.munin_run)
        try:
            (self.dir / "munin.conf").write_text(
                f"dbdir {self.dir}/db\nhtmldir {self.dir}/www\nlogdir {self.dir}/log\nrundir {self.dir}/run\n"
                f"[{HOST}]\n    address 127.0.0.1\n    port {node.port}\n    use_node_name yes\n")
            command = [tool("munin-update", "munin"), "--config_file", self.dir / "munin.conf"]
            # munin-update refuses to run as root, as munin-cron runs it: as the user munin.
            if os.geteuid() == 0:
                os.chmod(self.dir, 0o755)
                for folder in ("db", "www", "log", "run"):
                    shutil.chown(self.dir / folder, "munin", "munin")
                command = [tool("runuser", "util-linux"), "-u", "munin", "--", *command]
            done = subprocess.run(command, capture_output=True, text=True, timeout=120)
            self.assertEqual(done.returncode, 0, done.stderr)
        finally:
            node.stop()
        expected = {"wex_q40_temperature-temperature-g": 22.4, "wex_q40_temperature-dewpoint-g": 8.7,
                    "wex_q40_humidity-humidity-g": 41.5}
        for name, value in expected.items():
            rrd = next(self.dir.glob(f"db/*/{HOST}-{name}.rrd"), None)
            self.assertIsNotNone(rrd, f"no RRD file for {name}: {sorted(self.dir.glob('db/**/*'))}")
            last = subprocess.run([tool("rrdtool", "rrdtool"), "lastupdate", rrd], capture_output=True, text=True,
                                  check=True).stdout
            self.assertAlmostEqual(float(last.split()[-1]), value, places=3, msg=last)


class FakeNode:
    """munin-node's side of the master's protocol on a free loopback port, each plugin run by munin-run: the
    node's own runner of plugins, which munin-node takes no other folder for."""

    def __init__(self, munin_run):
        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                self.wfile.write(f"# munin node at {HOST}\n".encode())
                for line in self.rfile:
                    words = line.decode().split()
                    if not words or words[0] == "quit":
                        return
                    if words[0] == "cap":
                        answer = "cap multigraph\n"
                    elif words[0] == "list":
                        answer = "wex_q40\n"
                    elif words[0] in ("config", "fetch") and words[1:] == ["wex_q40"]:
                        answer = munin_run(*(["config"] if words[0] == "config" else [])).stdout + ".\n"
                    else:
                        answer = "# Unknown command.\n"
                    self.wfile.write(answer.encode())

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


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
