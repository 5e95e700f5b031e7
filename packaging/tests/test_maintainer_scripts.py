"""Runs the package's maintainer scripts with stand-in systemctl, udevadm, systemd-tmpfiles and deb-systemd-*
that record their calls.

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
RELOADS = [["systemctl", "--system", "daemon-reload"], ["udevadm", "control", "--reload"], TRIGGER]
UPDATE_STATE = ["deb-systemd-helper", "update-state", "wex-q40-textfile.timer"]
TMPFILES = ["systemd-tmpfiles", "--create", "wex-q40.conf"]

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

    def test_fresh_install_makes_the_lock_folder_reloads_systemd_and_udev_and_triggers_the_module(self):
        calls, kept = self.run_script("postinst", "configure")
        self.assertEqual(calls, [UPDATE_STATE, TMPFILES, *RELOADS])
        self.assertTrue(kept)

    def test_install_without_a_running_systemd_or_udev_touches_neither_but_makes_the_lock_folder(self):
        for systemd, udev, want in ((False, False, []), (True, False, [RELOADS[0]]),
                                    (False, True, RELOADS[1:])):
            with self.subTest(systemd=systemd, udev=udev):
                calls, _ = self.run_script("postinst", "configure", systemd=systemd, udev=udev)
                self.assertEqual(calls, [UPDATE_STATE, TMPFILES, *want])

    def test_every_configure_step_makes_the_lock_folder_and_nothing_else_does(self):
        for script, argument, made in (("postinst", "configure", True), ("postinst", "abort-upgrade", True),
                                       ("postinst", "abort-remove", True), ("postinst", "triggered", False),
                                       ("prerm", "remove", False), ("postrm", "remove", False),
                                       ("postrm", "purge", False)):
            with self.subTest(script=script, argument=argument):
                calls, _ = self.run_script(script, argument)
                self.assertEqual(TMPFILES in calls, made, calls)

    def test_install_without_systemd_tmpfiles_still_configures(self):
        calls, _ = self.run_script("postinst", "configure", tools=set(TOOLS) - {"systemd-tmpfiles"})
        self.assertEqual(calls, [UPDATE_STATE, *RELOADS])
        self.assertEqual(self.output, "")

    def test_install_into_another_root_makes_the_folder_there_and_leaves_the_running_system_alone(self):
        root = Path(self.tmp.name) / "other root"
        calls, _ = self.run_script("postinst", "configure", env={"DPKG_ROOT": str(root)})
        self.assertEqual(calls, [UPDATE_STATE, ["systemd-tmpfiles", f"--root={root}", *TMPFILES[1:]]])

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
