"""Runs the package's maintainer scripts with stand-in systemctl, udevadm and deb-systemd-* that record their calls.

Each run happens in a private mount namespace with empty /run and /var/lib, so that a running
systemd and udev can be made to appear or not, and the host is untouched."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPTS = Path(sys.argv.pop(1))
TOOLS = ("systemctl", "udevadm", "deb-systemd-helper", "deb-systemd-invoke")
PROM = "/var/lib/prometheus/node-exporter/wex_q40.prom"
TRIGGER = ["udevadm", "trigger", "--action=add", "--subsystem-match=usb",
           "--attr-match=idVendor=0403", "--attr-match=idProduct=fbf9"]
RELOADS = [["systemctl", "--system", "daemon-reload"], ["udevadm", "control", "--reload"], TRIGGER]

# Builds the running system's traces in the fresh /run: $1 systemd, $2 udev, then runs the rest.
SETUP = """set -e
mount -t tmpfs wex-q40-run /run
mount -t tmpfs wex-q40-var /var/lib
mkdir -p /var/lib/prometheus/node-exporter
echo 'wex_q40_read_success 1' > {prom}
[ "$1" = 0 ] || mkdir -p /run/systemd/system
[ "$2" = 0 ] || {{ mkdir -p /run/udev; python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("/run/udev/control")'; }}
shift 2
"$@"
status=$?
[ -e {prom} ] && echo 'prom file kept' >> "$WEX_CALLS"
exit $status
""".format(prom=PROM)


class Scripts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            print("skipped: needs root for unshare -m")
            sys.exit(77)
        for name in ("unshare", "mount"):
            if shutil.which(name) is None:
                raise AssertionError(f"{name} is missing (Debian package util-linux)")

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.bin = Path(self.tmp.name) / "bin"
        self.bin.mkdir()
        self.calls = Path(self.tmp.name) / "calls"

    def tearDown(self):
        self.tmp.cleanup()

    def stand_ins(self, status=0):
        for tool in TOOLS:
            path = self.bin / tool
            path.write_text(f'#!/bin/sh\necho "{tool} $*" >> "$WEX_CALLS"\nexit {status}\n')
            path.chmod(0o755)

    def run_script(self, script, argument, systemd=True, udev=True, env=None, status=0):
        self.stand_ins(status)
        self.calls.write_text("")
        environment = {"PATH": f"{self.bin}:/usr/sbin:/usr/bin:/sbin:/bin", "WEX_CALLS": str(self.calls)}
        environment.update(env or {})
        done = subprocess.run(["unshare", "-m", "sh", "-c", SETUP, "sh", str(int(systemd)), str(int(udev)),
                               "sh", str(SCRIPTS / script), argument],
                              env=environment, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        lines = self.calls.read_text().splitlines()
        kept = "prom file kept" in lines
        return [line.split() for line in lines if line != "prom file kept"], kept

    def test_fresh_install_reloads_systemd_and_udev_and_triggers_the_module(self):
        calls, kept = self.run_script("postinst", "configure")
        self.assertEqual(calls, [["deb-systemd-helper", "update-state", "wex-q40-textfile.timer"], *RELOADS])
        self.assertTrue(kept)

    def test_install_without_a_running_systemd_or_udev_touches_neither(self):
        for systemd, udev, want in ((False, False, []), (True, False, [RELOADS[0]]),
                                    (False, True, RELOADS[1:])):
            with self.subTest(systemd=systemd, udev=udev):
                calls, _ = self.run_script("postinst", "configure", systemd=systemd, udev=udev)
                self.assertEqual(calls, [["deb-systemd-helper", "update-state", "wex-q40-textfile.timer"], *want])

    def test_install_into_another_root_leaves_the_running_system_alone(self):
        calls, _ = self.run_script("postinst", "configure", env={"DPKG_ROOT": str(Path(self.tmp.name) / "root")})
        self.assertEqual(calls, [["deb-systemd-helper", "update-state", "wex-q40-textfile.timer"]])

    def test_removal_stops_and_disables_the_timer_and_undoes_the_reloads(self):
        calls, _ = self.run_script("prerm", "remove")
        self.assertEqual(calls, [["deb-systemd-invoke", "stop", "wex-q40-textfile.timer", "wex-q40-textfile.service"]])
        calls, kept = self.run_script("postrm", "remove")
        self.assertEqual(calls, [["deb-systemd-helper", "disable", "wex-q40-textfile.timer"], *RELOADS])
        self.assertFalse(kept, "the last reading would go on being exported")
        calls, kept = self.run_script("postrm", "purge")
        self.assertEqual(calls, [["deb-systemd-helper", "purge", "wex-q40-textfile.timer"], *RELOADS])
        self.assertFalse(kept)

    def test_upgrade_neither_stops_nor_disables(self):
        for script, argument in (("prerm", "upgrade"), ("postrm", "upgrade"), ("prerm", "failed-upgrade")):
            with self.subTest(script=script, argument=argument):
                calls, kept = self.run_script(script, argument)
                self.assertEqual(calls, [])
                self.assertTrue(kept)

    def test_failing_helpers_do_not_fail_the_package_operation(self):
        for script, argument in (("postinst", "configure"), ("prerm", "remove"), ("postrm", "remove")):
            with self.subTest(script=script):
                calls, _ = self.run_script(script, argument, status=1)
                self.assertGreater(len(calls), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
