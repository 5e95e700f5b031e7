"""Installs the build tree (cmake --install, and CPack's .deb) and checks what lands where."""
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

options = argparse.ArgumentParser()
options.add_argument("--build-dir", type=Path, required=True)
options.add_argument("--source-dir", type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest
BUILD, SOURCE = known.build_dir, known.source_dir
PACKAGING = SOURCE / "packaging"

INSTALLED = {
    "bin/wex_q40_test": 0o755,
    "sbin/wex-q40-textfile": 0o755,
    "share/man/man1/wex_q40_test.1.gz": 0o644,
    "share/man/man8/wex-q40-textfile.8.gz": 0o644,
    "lib/udev/rules.d/60-wex-q40.rules": 0o644,
    "lib/systemd/system/wex-q40-textfile.service": 0o644,
    "lib/systemd/system/wex-q40-textfile.timer": 0o644,
    "share/doc/wex-q40/examples/61-wex-q40-unbind-serial.rules": 0o644,
    "share/doc/wex-q40/copyright": 0o644,
    "share/doc/wex-q40/changelog.gz": 0o644,
}


def tool(name, package):
    path = shutil.which(name)
    if path is None:
        raise AssertionError(f"{name} is missing (Debian package {package})")
    return path


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
        self.assertEqual(files_under(self.root), {f"usr/{k}": v for k, v in INSTALLED.items()})
        for folder in (p for p in self.root.rglob("*") if p.is_dir()):
            self.assertEqual(stat.S_IMODE(folder.stat().st_mode), 0o755, folder)

    def test_virtual_module_is_not_installed(self):
        self.assertEqual([p for p in self.root.rglob("*ftd2xx*")], [])

    def test_paths_inside_the_files_follow_the_prefix_not_the_staging_folder(self):
        unit = (self.usr / "lib/systemd/system/wex-q40-textfile.service").read_text()
        self.assertIn("\nExecStart=/usr/sbin/wex-q40-textfile\n", unit)
        script = (self.usr / "sbin/wex-q40-textfile").read_text()
        self.assertIn("program=${WEX_Q40_TEST:-/usr/bin/wex_q40_test}", script)
        self.assertNotIn("@", script.split("\n", 1)[1].replace("$@", "").replace("@ONLY", ""))
        self.assertNotIn(str(self.root), unit + script)

    def test_compressed_pages_are_the_sources(self):
        for page, source in (("share/man/man1/wex_q40_test.1.gz", "wex_q40_test.1"),
                             ("share/man/man8/wex-q40-textfile.8.gz", "wex-q40-textfile.8")):
            self.assertEqual(gzip.decompress((self.usr / page).read_bytes()), (PACKAGING / source).read_bytes())

    def test_installed_script_takes_a_reading(self):
        fake = Path(self.tmp.name) / "fake"
        fake.write_text("#!/bin/sh\nprintf 'Temperature: 21.5C, 70.7F\\nHumidity: 40.0%%\\nDewpoint: 7.5C, 45.5F\\n'\n")
        fake.chmod(0o755)
        out = Path(self.tmp.name) / "out"
        out.mkdir()
        subprocess.run([str(self.usr / "sbin/wex-q40-textfile"), "-b", str(fake), "-d", str(out)], check=True)
        self.assertIn("\nwex_q40_temperature_celsius 21.5\n", (out / "wex_q40.prom").read_text())


class SystemdUnits(unittest.TestCase):
    def test_units_verify_against_an_installed_tree(self):
        analyze = tool("systemd-analyze", "systemd")
        with tempfile.TemporaryDirectory() as tmp:
            prefix = Path(tmp) / "prefix"
            install(prefix)
            units = prefix / "lib/systemd/system"
            self.assertIn(f"ExecStart={prefix}/sbin/wex-q40-textfile",
                          (units / "wex-q40-textfile.service").read_text())
            done = subprocess.run([analyze, "verify", str(units / "wex-q40-textfile.timer"),
                                   str(units / "wex-q40-textfile.service")],
                                  env=dict(os.environ, MANPATH=str(prefix / "share/man")),
                                  capture_output=True, text=True)
            self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

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


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        out = Path(cls.tmp.name)
        done = subprocess.run([tool("cpack", "cmake"), "-G", "DEB", "--config", str(BUILD / "CPackConfig.cmake"),
                               "-B", str(out)], capture_output=True, text=True, cwd=out)
        assert done.returncode == 0, done.stdout + done.stderr
        debs = sorted(out.glob("wex-q40_*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def dpkg_deb(self, *args):
        return subprocess.run([tool("dpkg-deb", "dpkg"), *args, str(self.deb)], check=True,
                              capture_output=True, text=True).stdout

    def test_name_version_and_file_list(self):
        self.assertRegex(self.deb.name, r"^wex-q40_1\.0\.0_[a-z0-9]+\.deb$")
        listing = {}
        for line in self.dpkg_deb("-c").splitlines():
            mode, _, _, _, _, path = line.split(None, 5)
            if not mode.startswith("d"):
                listing[path.lstrip(".")] = mode
        self.assertEqual(set(listing), {f"/usr/{k}" for k in INSTALLED})
        for path, mode in listing.items():
            want = "-rwxr-xr-x" if INSTALLED[path[len("/usr/"):]] == 0o755 else "-rw-r--r--"
            self.assertEqual(mode, want, path)

    def test_dependencies_come_from_the_shared_libraries(self):
        depends = self.dpkg_deb("--field")
        fields = dict(re.findall(r"^([A-Za-z-]+): (.*)$", depends, re.M))
        self.assertEqual(fields["Package"], "wex-q40")
        self.assertIn("libc6", fields["Depends"])
        needed = subprocess.run(["objdump", "-p", str(BUILD / "app/wex_q40_test")], check=True,
                                capture_output=True, text=True).stdout
        if "libftdi1.so" in needed:
            self.assertRegex(fields["Depends"], r"libftdi1-2 \(>= ")
        else:
            self.assertNotIn("libftdi", fields["Depends"])

    def test_binary_is_stripped(self):
        with tempfile.TemporaryDirectory() as tmp:
            subprocess.run([tool("dpkg-deb", "dpkg"), "-x", str(self.deb), tmp], check=True)
            described = subprocess.run([tool("file", "file"), str(Path(tmp) / "usr/bin/wex_q40_test")],
                                       check=True, capture_output=True, text=True).stdout
            self.assertIn(", stripped", described)

    def test_lintian_reports_no_error(self):
        done = subprocess.run([tool("lintian", "lintian"), "--tag-display-limit", "0", str(self.deb)],
                              capture_output=True, text=True)
        errors = [line for line in done.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], done.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
