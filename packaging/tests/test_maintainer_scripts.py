"""Runs the package's own parts of its maintainer scripts (debhelper adds the units' and the tmpfiles' parts)
with stand-in systemctl, udevadm, systemd-tmpfiles and deb-systemd-* that record their calls.

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
TOOLS = ("systemctl", "udevadm", "systemd-tmpfiles", "deb-systemd-helper", "deb-systemd-invoke")
# Needed beside the stand-ins when the system's folders are off PATH; this python, as python3 may be a shim.
BASICS = {name: shutil.which(name) for name in ("unshare", "sh", "mount", "mkdir")} | {"python3": sys.executable}
PROM = "/var/lib/prometheus/node-exporter/wex_q40.prom"
TRIGGER = ["udevadm", "trigger", "--action=add", "--subsystem-match=usb",
           "--attr-match=idVendor=0403", "--attr-match=idProduct=fbf9"]
RELOAD = ["udevadm", "control", "--reload"]
POSTINST, POSTRM = "wex-q40.postinst", "wex-q40.postrm"

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

    def stand_ins(self, status, tools):
        for tool in TOOLS:
            path = self.bin / tool
            path.unlink(missing_ok=True)
            if tool in tools:
                # Tab-separated, so that an argument with a space in it stays one.
                path.write_text(f'#!/bin/sh\n{{ printf %s {tool}; for a; do printf "\\t%s" "$a"; done; echo; }}'
                                f' >> "$WEX_CALLS"\nexit {status}\n')
                path.chmod(0o755)

    def run_script(self, script, argument, systemd=True, udev=True, env=None, status=0, tools=TOOLS):
        self.stand_ins(status, tools)
        self.calls.write_text("")
        path = f"{self.bin}:/usr/sbin:/usr/bin:/sbin:/bin"
        if set(tools) != set(TOOLS):
            # The real tool on the system's PATH would stand in for a missing one.
            for basic, target in BASICS.items():
                if not (self.bin / basic).exists():
                    (self.bin / basic).symlink_to(target)
            path = str(self.bin)
        environment = {"PATH": path, "WEX_CALLS": str(self.calls)}
        environment.update(env or {})
        done = subprocess.run(["unshare", "-m", "sh", "-c", SETUP, "sh", str(int(systemd)), str(int(udev)),
                               "sh", str(SCRIPTS / script), argument],
                              env=environment, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.output = done.stdout + done.stderr
        lines = self.calls.read_text().splitlines()
        kept = "prom file kept" in lines
        return [line.split("\t") for line in lines if line != "prom file kept"], kept

    def test_install_on_a_running_udev_applies_the_rule_to_an_attached_module(self):
        for systemd, udev, want in ((True, True, [RELOAD, TRIGGER]), (True, False, []), (False, True, [RELOAD, TRIGGER])):
            with self.subTest(systemd=systemd, udev=udev):
                calls, kept = self.run_script(POSTINST, "configure", systemd=systemd, udev=udev)
                self.assertEqual(calls, want)
                self.assertTrue(kept)

    def test_install_into_another_root_or_without_udevadm_leaves_the_running_system_alone(self):
        root = Path(self.tmp.name) / "other root"
        calls, _ = self.run_script(POSTINST, "configure", env={"DPKG_ROOT": str(root)})
        self.assertEqual(calls, [])
        calls, _ = self.run_script(POSTINST, "configure", tools=set(TOOLS) - {"udevadm"})
        self.assertEqual((calls, self.output), ([], ""))

    def test_removal_and_purge_delete_the_last_reading_and_reload_udev(self):
        for argument in ("remove", "purge"):
            with self.subTest(argument=argument):
                calls, kept = self.run_script(POSTRM, argument)
                self.assertEqual(calls, [RELOAD])
                self.assertFalse(kept, "the last reading would go on being exported")

    def test_upgrade_and_other_steps_touch_nothing(self):
        for script, argument in ((POSTRM, "upgrade"), (POSTRM, "failed-upgrade"), (POSTINST, "abort-upgrade"),
                                 (POSTINST, "triggered")):
            with self.subTest(script=script, argument=argument):
                calls, kept = self.run_script(script, argument)
                self.assertEqual(calls, [])
                self.assertTrue(kept)

    def test_failing_helpers_do_not_fail_the_package_operation(self):
        for script, argument in ((POSTINST, "configure"), (POSTRM, "remove")):
            with self.subTest(script=script):
                calls, _ = self.run_script(script, argument, status=1)
                self.assertGreater(len(calls), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
