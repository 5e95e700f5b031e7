"""Installs the build tree with cmake --install and checks what lands where."""
import argparse
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "testsupport" / "python"))
from debian_programs import tool  # noqa: E402

options = argparse.ArgumentParser()
options.add_argument("--build-dir", type=Path, required=True)
options.add_argument("--source-dir", type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest
BUILD, SOURCE = known.build_dir, known.source_dir
PACKAGING = SOURCE / "packaging"
PLUGIN_LINK = "lib/nagios/plugins/check_wex_q40"
COMPLETIONS = "share/bash-completion/completions"
# The links installed, with their targets.
LINKS = {PLUGIN_LINK: "../../../bin/wex-q40", "share/munin/plugins/wex_q40": "../../../bin/wex-q40", f"{COMPLETIONS}/check_wex_q40": "wex-q40"}
# systemd-analyze security rates 0 (safest) to 10; below 5.0 is "OK" or better.
EXPOSURE_BOUND = 5.0
LOCK_FOLDER = "run/wex-q40"
# Not the host's plugdev number, so that a match shows the name was looked up in the root given.
PLUGDEV_GID = 4646

# Configuration outside the prefix, with its mode: /etc for a /usr installation.
CONFIGURATION = {"etc/wex-q40/mqtt": 0o644, "etc/wex-q40/calibration": 0o644}

INSTALLED = {
    "bin/wex_q40_test": 0o755,
    "bin/wex-q40": 0o755,
    "lib/nagios/plugins/check_wex_q40": 0o755,
    "sbin/wex-q40-textfile": 0o755,
    "share/man/man1/wex_q40_test.1.gz": 0o644,
    "share/man/man1/wex-q40.1.gz": 0o644,
    "share/man/man1/wex-q40-check.1.gz": 0o644,
    "share/man/man1/wex-q40-json.1.gz": 0o644,
    "share/man/man1/wex-q40-influx.1.gz": 0o644,
    "share/man/man1/wex-q40-textfile.1.gz": 0o644,
    "share/man/man1/wex-q40-snmp.1.gz": 0o644,
    "share/man/man1/wex-q40-mqtt.1.gz": 0o644,
    "share/man/man1/wex-q40-diagnose.1.gz": 0o644,
    "share/man/man1/wex-q40-munin.1.gz": 0o644,
    "share/man/man1/wex-q40-collectd.1.gz": 0o644,
    "share/man/man8/wex-q40-textfile.8.gz": 0o644,
    "lib/udev/rules.d/60-wex-q40.rules": 0o644,
    "lib/systemd/system/wex-q40-textfile.service": 0o644,
    "lib/systemd/system/wex-q40-textfile.timer": 0o644,
    "lib/tmpfiles.d/wex-q40.conf": 0o644,
    "share/doc/wex-q40/examples/61-wex-q40-unbind-serial.rules": 0o644,
    "share/doc/wex-q40/examples/icinga2-wex-q40.conf": 0o644,
    "share/doc/wex-q40/examples/nagios-wex-q40.cfg": 0o644,
    "share/doc/wex-q40/examples/telegraf-wex-q40.conf": 0o644,
    "share/doc/wex-q40/examples/zabbix-wex-q40.conf": 0o644,
    "share/doc/wex-q40/examples/home-assistant-wex-q40.yaml": 0o644,
    "share/doc/wex-q40/examples/prometheus-wex-q40.rules.yml": 0o644,
    "share/doc/wex-q40/examples/snmpd-wex-q40.conf": 0o644,
    "share/doc/wex-q40/examples/mosquitto-wex-q40.acl": 0o644,
    "share/doc/wex-q40/examples/munin-wex-q40.conf": 0o644,
    "share/doc/wex-q40/examples/collectd-wex-q40.conf": 0o644,
    "share/munin/plugins/wex_q40": 0o755,
    "lib/systemd/system/wex-q40-mqtt.service": 0o644,
    "lib/systemd/system/wex-q40-mqtt.timer": 0o644,
    "share/metainfo/org.example.wex_q40.metainfo.xml": 0o644,
    f"{COMPLETIONS}/wex-q40": 0o644,
    f"{COMPLETIONS}/check_wex_q40": 0o644,
}


def files_under(root):
    return {str(p.relative_to(root)): stat.S_IMODE(p.stat().st_mode)
            for p in root.rglob("*") if p.is_file() or p.is_symlink()}


def install(prefix, destdir=None):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir is not None:
        env["DESTDIR"] = str(destdir)
    subprocess.run([tool("cmake", "cmake"), "--install", str(BUILD), "--prefix", str(prefix)],
                   env=env, check=True, capture_output=True)


class CmakeInstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = Path(cls.tmp.name) / "stage"
        install("/usr", destdir=cls.root)
        cls.usr = cls.root / "usr"

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_destdir_staging_holds_exactly_the_expected_files_and_modes(self):
        self.assertEqual(files_under(self.root), {**{f"usr/{k}": v for k, v in INSTALLED.items()}, **CONFIGURATION})
        for folder in (p for p in self.root.rglob("*") if p.is_dir()):
            self.assertEqual(stat.S_IMODE(folder.stat().st_mode), 0o755, folder)

    def test_virtual_module_is_not_installed(self):
        self.assertEqual([p for p in self.root.rglob("*ftd2xx*")], [])

    def test_paths_inside_the_files_follow_the_prefix_not_the_staging_folder(self):
        unit = (self.usr / "lib/systemd/system/wex-q40-textfile.service").read_text()
        self.assertIn("\nExecStart=/usr/bin/wex-q40 textfile\n", unit)
        wrapper = (self.usr / "sbin/wex-q40-textfile").read_text()
        self.assertEqual(wrapper, '#!/bin/sh\nexec /usr/bin/wex-q40 textfile "$@"\n')
        self.assertNotIn(str(self.root), unit + wrapper)

    def test_plugin_is_a_relative_link_to_the_companion(self):
        link = self.usr / PLUGIN_LINK
        self.assertTrue(link.is_symlink())
        self.assertEqual(os.readlink(link), "../../../bin/wex-q40")
        self.assertEqual(link.resolve(), (self.usr / "bin/wex-q40").resolve())

    def test_bash_completion_loads_by_either_name(self):
        for name in ("wex-q40", "check_wex_q40"):
            with self.subTest(name), tempfile.TemporaryDirectory() as home:
                script = (f". /usr/share/bash-completion/bash_completion && __load_completion {name} && "
                          f"complete -p {name} && shopt -s extdebug && declare -F _wex_q40")
                env = dict(os.environ, XDG_DATA_DIRS=str(self.usr / "share"), BASH_COMPLETION_USER_DIR=home)
                done = subprocess.run([tool("bash", "bash"), "--norc", "--noprofile", "-c", script], env=env,
                                      capture_output=True, text=True)
                lines = done.stdout.splitlines()
                self.assertEqual(len(lines), 2, done.stdout + done.stderr)
                self.assertEqual(lines[0], f"complete -F _wex_q40 {name}")
                # extdebug's declare -F: the function's name, its line and the file it came from.
                self.assertEqual(lines[1].split()[::2], ["_wex_q40", str(self.usr / COMPLETIONS / name)])

    def test_compressed_pages_are_the_sources(self):
        sources = [p.name for p in PACKAGING.glob("*.[18]")]
        self.assertGreaterEqual(len(sources), 12)
        for source in sources:
            page = f"share/man/man{source[-1]}/{source}.gz"
            self.assertEqual(gzip.decompress((self.usr / page).read_bytes()), (PACKAGING / source).read_bytes())

    def test_examples_are_the_sources(self):
        for example in (PACKAGING / "examples").iterdir():
            installed = self.usr / "share/doc/wex-q40/examples" / example.name
            self.assertEqual(installed.read_bytes(), example.read_bytes())

    def test_tmpfiles_entry_makes_a_lock_folder_only_root_and_plugdev_can_write(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to give the folder its owner and group")
        tmpfiles = tool("systemd-tmpfiles", "systemd")
        for before, left in (("missing", None), ("another user's, 0777", (1000, 1000, 0o777))):
            with self.subTest(before=before), tempfile.TemporaryDirectory() as tmp:
                root = Path(tmp)
                (root / "usr/lib/tmpfiles.d").mkdir(parents=True)
                shutil.copy(self.usr / "lib/tmpfiles.d/wex-q40.conf", root / "usr/lib/tmpfiles.d")
                (root / "etc").mkdir()
                (root / "etc/group").write_text(f"root:x:0:\nplugdev:x:{PLUGDEV_GID}:\n")
                folder = root / LOCK_FOLDER
                if left is not None:
                    folder.mkdir(parents=True)
                    os.chown(folder, left[0], left[1])
                    folder.chmod(left[2])
                # By name, as the postinst asks for it.
                done = subprocess.run([tmpfiles, f"--root={root}", "--create", "wex-q40.conf"],
                                      capture_output=True, text=True)
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                made = folder.lstat()
                self.assertTrue(stat.S_ISDIR(made.st_mode))
                self.assertEqual((oct(stat.S_IMODE(made.st_mode)), made.st_uid, made.st_gid),
                                 (oct(0o3770), 0, PLUGDEV_GID))

    def test_installed_wrapper_and_plugin_take_a_reading(self):
        with tempfile.TemporaryDirectory() as tmp:
            prefix = Path(tmp) / "prefix"
            install(prefix)
            fake = Path(tmp) / "fake"
            fake.write_text("#!/bin/sh\nprintf 'Temperature: 21.5C, 70.7F\\nHumidity: 40.0%%\\nDewpoint: 7.5C, 45.5F\\n'\n")
            fake.chmod(0o755)
            out = Path(tmp) / "out"
            out.mkdir()
            env = dict(os.environ, WEX_Q40_LOCK=str(Path(tmp) / "lock"))
            subprocess.run([str(prefix / "sbin/wex-q40-textfile"), "-b", str(fake), "-d", str(out)], check=True, env=env)
            self.assertIn("\nwex_q40_temperature_celsius 21.5\n", (out / "wex_q40.prom").read_text())
            done = subprocess.run([str(prefix / PLUGIN_LINK), "-b", str(fake), "-w", "18:20"], env=env,
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 1, done.stdout)
            first = done.stdout.splitlines()[0]
            self.assertTrue(first.startswith("WEX-Q40 WARNING - "), first)
            self.assertIn(" | temperature=21.5;18:20; ", first)
            # Without -b it finds wex_q40_test beside the binary, through the link.
            done = subprocess.run([str(prefix / PLUGIN_LINK)], env=env, capture_output=True, text=True)
            self.assertNotIn("cannot run", done.stdout)


def exposure(unit):
    done = subprocess.run([tool("systemd-analyze", "systemd"), "security", "--offline=true", str(unit)],
                          capture_output=True, text=True)
    figure = re.search(r"Overall exposure level for \S+: (\d+\.\d+) ", done.stdout)
    assert figure is not None, done.stdout + done.stderr
    return float(figure.group(1)), done.stdout


class SystemdUnits(unittest.TestCase):
    def test_units_verify_against_an_installed_tree(self):
        analyze = tool("systemd-analyze", "systemd")
        with tempfile.TemporaryDirectory() as tmp:
            prefix = Path(tmp) / "prefix"
            install(prefix)
            units = prefix / "lib/systemd/system"
            self.assertIn(f"ExecStart={prefix}/bin/wex-q40 textfile\n",
                          (units / "wex-q40-textfile.service").read_text())
            done = subprocess.run([analyze, "verify", str(units / "wex-q40-textfile.timer"),
                                   str(units / "wex-q40-textfile.service")],
                                  env=dict(os.environ, MANPATH=str(prefix / "share/man")),
                                  capture_output=True, text=True)
            self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_service_is_sandboxed_but_can_reach_the_module_the_folder_and_the_lock(self):
        with tempfile.TemporaryDirectory() as tmp:
            install(Path(tmp) / "prefix")
            unit = Path(tmp) / "prefix/lib/systemd/system/wex-q40-textfile.service"
            level, report = exposure(unit)
            print(f"systemd-analyze security: {level}")
            self.assertLess(level, EXPOSURE_BOUND, report)
            settings = dict(re.findall(r"^(\w+)=(.*)$", unit.read_text(), re.M))
        self.assertEqual(settings["DevicePolicy"], "closed")
        self.assertEqual(settings["DeviceAllow"], "char-usb_device rw")
        self.assertEqual(settings["ReadWritePaths"].split(), ["-/var/lib/prometheus/node-exporter", f"/{LOCK_FOLDER}"])
        self.assertEqual(settings["RestrictAddressFamilies"].split(), ["AF_UNIX", "AF_NETLINK"])
        self.assertNotIn("PrivateDevices", settings)
        self.assertNotIn("PrivateNetwork", settings)
        # The service's own limit bounds a stuck run, a little above the command's 30 s.
        self.assertGreater(int(settings["TimeoutStartSec"]), 30)
        self.assertLessEqual(int(settings["TimeoutStartSec"]), 60)
        page = (PACKAGING / "wex-q40-textfile.8").read_text()
        self.assertIn(f"after {settings['TimeoutStartSec']} seconds", page)

    def test_the_exposure_figure_is_read_from_systemd_analyze(self):
        with tempfile.TemporaryDirectory() as tmp:
            bare = Path(tmp) / "bare.service"
            bare.write_text("[Service]\nExecStart=/bin/true\n")
            level, _ = exposure(bare)
        self.assertGreaterEqual(level, EXPOSURE_BOUND)

    def test_timer_fires_every_minute_and_runs_the_service(self):
        analyze = tool("systemd-analyze", "systemd")
        timer = (PACKAGING / "wex-q40-textfile.timer").read_text()
        calendar = re.search(r"^OnCalendar=(.*)$", timer, re.M).group(1)
        done = subprocess.run([analyze, "calendar", "--iterations=2", calendar], check=True,
                              capture_output=True, text=True)
        times = re.findall(r"\d\d:(\d\d):(\d\d) ", done.stdout)
        self.assertEqual(len(times), 2, done.stdout)
        self.assertEqual([s for _, s in times], ["00", "00"])
        self.assertEqual((int(times[1][0]) - int(times[0][0])) % 60, 1)
        self.assertIn("WantedBy=timers.target", timer)
        self.assertNotIn("Unit=", timer)


if __name__ == "__main__":
    unittest.main(verbosity=2)
