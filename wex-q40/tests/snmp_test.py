"""wex-q40 snmp: its pass_persist answers, read by a real snmpd with the packaged example, and the MIB."""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

options = argparse.ArgumentParser()
for name in ("--companion", "--program", "--vmodule-lib", "--example", "--mib", "--smi"):
    options.add_argument(name, type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest

# Debian's own, as the snmpd package installs it; the example is a drop-in for it.
STOCK_SNMPD_CONF = "/etc/snmp/snmpd.conf"
BASE = ".1.3.6.1.4.1.8072.9999.9999.1"
ROOM = {"VWEX_TEMP": "22.4", "VWEX_HUM": "41.5"}
# Humidity 0.0 %: the dew point is not a number.
BONE_DRY = {"VWEX_TEMP": "-22.4", "VWEX_HUM": "0"}
ABSENT = {"VWEX_ABSENT": "1"}


def tool(name, package):
    path = shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin")
    if path is None:
        raise AssertionError(f"{name} is missing (Debian package {package})")
    return path


def now_as_word(text):
    """NOW for a Unix time within a minute of now."""
    return "NOW" if text.isdigit() and abs(int(text) - time.time()) < 60 else text


def answer(oid, kind, value):
    return [BASE + oid, kind, value]


class Companion(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)
        self.runs = self.dir / "runs"
        # Counts the readings, and fails them while the file "fail" exists.
        self.program = self.dir / "program"
        self.program.write_text(f'#!/bin/sh\necho >>"{self.runs}"\n'
                                f'[ -e "{self.dir}/fail" ] && {{ echo "wex_open failed!"; exit 255; }}\n'
                                f'exec "{known.program.absolute()}"\n')
        self.program.chmod(0o755)

    def tearDown(self):
        self.tmp.cleanup()

    def env(self, module):
        # Each module the test sets up is another one, with a lock and a shared reading of its own.
        self.modules = getattr(self, "modules", 0) + 1
        env = {k: v for k, v in os.environ.items() if not k.startswith(("VWEX_", "WEX_Q40_"))}
        env.update(module, LD_LIBRARY_PATH=str(known.vmodule_lib.absolute()), WEX_Q40_TEST=str(self.program),
                   WEX_Q40_LOCK=str(self.dir / f"lock{self.modules}"))
        return env

    def readings(self):
        return len(self.runs.read_text().splitlines()) if self.runs.exists() else 0


class Protocol(Companion):
    def converse(self, lines, module=ROOM, args=()):
        done = subprocess.run([known.companion, "snmp", *args], input="".join(f"{l}\n" for l in lines),
                              env=self.env(module), capture_output=True, text=True, timeout=30)
        return done.returncode, done.stdout.splitlines(), done.stderr

    def test_requests_and_their_answers(self):
        cases = [
            (ROOM, ["PING"], ["PONG"]),
            (ROOM, ["get", BASE + ".1.0", "get", BASE + ".2.0", "get", BASE + ".3.0", "get", BASE + ".4.0"],
             answer(".1.0", "integer", "224") + answer(".2.0", "integer", "415") +
             answer(".3.0", "integer", "87") + answer(".4.0", "integer", "0")),
            (ROOM, ["get", BASE + ".1", "get", BASE + ".6.0", "get", ".1.3.6.1.4.1.8072.9999.9999.2.1.0",
                    "get", "nonsense"], ["NONE"] * 4),
            (ROOM, ["getnext", BASE, "getnext", BASE + ".1", "getnext", BASE + ".1.0", "getnext", ".1.3.6"],
             answer(".1.0", "integer", "224") * 2 + answer(".2.0", "integer", "415") +
             answer(".1.0", "integer", "224")),
            (ROOM, ["getnext", BASE + ".4.0", "get", BASE + ".5.0"], answer(".5.0", "gauge", "NOW") * 2),
            (ROOM, ["getnext", BASE + ".5.0", "getnext", BASE + ".10", "getnext", BASE + ".5.0.0"], ["NONE"] * 3),
            (BONE_DRY, ["get", BASE + ".1.0", "get", BASE + ".3.0", "getnext", BASE + ".2.0"],
             answer(".1.0", "integer", "-224") + ["NONE"] + answer(".4.0", "integer", "0")),
            (ABSENT, ["getnext", BASE, "get", BASE + ".5.0", "getnext", BASE + ".4.0"],
             answer(".4.0", "integer", "1") + ["NONE", "NONE"]),
            (ROOM, ["set", BASE + ".1.0", "integer 5", "PING"], ["not-writable", "PONG"]),
        ]
        for module, request, expected in cases:
            with self.subTest(request=request):
                status, out, _ = self.converse(request, module, ["-r", "0"])
                self.assertEqual((status, [now_as_word(line) for line in out]), (0, expected))

    def test_a_failed_reading_says_why_on_standard_error(self):
        _, out, err = self.converse(["get", BASE + ".4.0", "bogus"], ABSENT, ["-r", "0"])
        self.assertEqual(out, answer(".4.0", "integer", "1"))
        self.assertIn("wex-q40 snmp: reading failed: wex_open failed!\n", err)
        self.assertIn("wex-q40 snmp: unknown request ignored: bogus\n", err)

    def test_an_overlong_line_is_refused_and_the_next_served(self):
        longest_oid = BASE[:-2] + ".0" + ".4294967295" * 118
        cases = [
            (["x" * 2048, "PING"], ["PONG"], "unknown request ignored: xxx"),
            (["x" * 2049, "PING"], ["PONG"], "request line longer than 2048 bytes refused"),
            (["getnext", longest_oid], answer(".1.0", "integer", "224"), None),
            (["get", "." + "1" * 3000, "PING"], ["NONE", "PONG"], "request line longer than 2048 bytes refused"),
            (["set", BASE + ".1.0", "integer " + "5" * 5000, "PING"], ["not-writable", "PONG"], "refused"),
        ]
        for request, expected, note in cases:
            with self.subTest(request=[line[:20] for line in request]):
                status, out, err = self.converse(request, args=["-r", "0"])
                self.assertEqual((status, out), (0, expected))
                if note:
                    self.assertIn(note, err)

    def test_a_line_without_end_does_not_grow_the_process(self):
        chunk = b"1" * (1 << 20)
        with subprocess.Popen([known.companion, "snmp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, env=self.env(ROOM)) as snmp:
            for _ in range(300):
                snmp.stdin.write(chunk)
            snmp.stdin.write(b"\nPING\n")
            snmp.stdin.flush()
            self.assertEqual(snmp.stdout.readline(), b"PONG\n")
            status = Path(f"/proc/{snmp.pid}/status").read_text()
            snmp.stdin.close()
            self.assertEqual(snmp.wait(timeout=30), 0)
        peak_kib = int(re.search(r"^VmHWM:\s+(\d+) kB", status, re.M).group(1))
        self.assertLess(peak_kib, 64 * 1024)

    def test_base_oid_moves_the_subtree(self):
        for given in (".1.3.6.1.4.1.99999.7", "1.3.6.1.4.1.99999.7"):
            with self.subTest(given=given):
                _, out, _ = self.converse(["getnext", ".1.3.6.1.4.1.99999", "get", BASE + ".1.0"],
                                          args=["--base-oid", given])
                self.assertEqual(out, [".1.3.6.1.4.1.99999.7.1.0", "integer", "224", "NONE"])

    def test_bad_arguments(self):
        for args, message in ((["--base-oid", "1.3.six"], "--base-oid needs a numeric OID"),
                              (["--base-oid", "1"], "--base-oid needs a numeric OID"),
                              (["--base-oid", ".1.3.4294967296"], "--base-oid needs a numeric OID"),
                              (["--cache", "-1"], "--cache needs a whole number of seconds from 0 to 3600"),
                              (["--cache", "3601"], "--cache needs a whole number of seconds from 0 to 3600")):
            with self.subTest(args=args):
                status, out, err = self.converse(["PING"], args=args)
                self.assertEqual((status, out), (2, []))
                self.assertTrue(err.startswith("wex-q40 snmp: " + message), err)

    def test_one_reading_serves_a_walk_within_the_cache_time(self):
        walk = [line for oid in ("", ".1.0", ".2.0", ".3.0", ".4.0", ".5.0") for line in ("getnext", BASE + oid)]
        # Without another reader's reading (--max-age 0), so that only the cache spares the module.
        for args, readings in ((["--cache", "60", "--max-age", "0"], 1), (["--cache", "0", "--max-age", "0"], 6),
                               (["--max-age", "0"], 1)):
            with self.subTest(args=args):
                self.runs.unlink(missing_ok=True)
                status, out, _ = self.converse(walk, args=args)
                self.assertEqual((status, len(out)), (0, 16))
                self.assertEqual(self.readings(), readings)

    def test_stale_cache_reads_again_and_a_failure_keeps_the_last_good_time(self):
        with subprocess.Popen([known.companion, "snmp", "--cache", "1", "-r", "0", "--max-age", "0"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=self.env(ROOM),
                              text=True) as agent:
            def ask(oid):
                agent.stdin.write(f"get\n{BASE}{oid}\n")
                agent.stdin.flush()
                first = agent.stdout.readline().strip()
                return first if first == "NONE" else [agent.stdout.readline().strip() for _ in range(2)][1]

            good_time = ask(".5.0")
            self.assertEqual((ask(".1.0"), self.readings()), ("224", 1))
            (self.dir / "fail").touch()
            time.sleep(1.5)
            self.assertEqual([ask(".4.0"), ask(".1.0"), ask(".5.0")], ["1", "NONE", good_time])
            self.assertEqual(self.readings(), 2)
            agent.stdin.close()
            self.assertEqual(agent.wait(timeout=10), 0)


class Snmpd(Companion):
    """Debian's stock snmpd.conf with the packaged example dropped in, adapted only in the agent's port, its
    AgentX socket, the drop-in folder and the companion's path."""

    def start_snmpd(self, module):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        stock = Path(STOCK_SNMPD_CONF)
        if not stock.exists():
            self.fail(f"{stock} is missing (Debian package snmpd)")
        config, count = re.subn(r"(?m)^agentaddress\s.*$", f"agentaddress udp:127.0.0.1:{self.port}",
                                stock.read_text())
        self.assertEqual(count, 1, "the stock file names its own address once")
        config = re.sub(r"(?m)^master\s+agentx\s*$", "", config)
        config, count = re.subn(r"(?m)^includeDir\s.*$", f"includeDir {self.dir / 'snmpd.conf.d'}", config)
        self.assertEqual(count, 1, "the stock file includes a drop-in folder")
        (self.dir / "snmpd.conf.d").mkdir(exist_ok=True)
        (self.dir / "snmpd.conf.d" / known.example.name).write_text(
            known.example.read_text().replace("/usr/bin/wex-q40", str(known.companion.absolute())))
        (self.dir / "snmpd.conf").write_text(config)
        agent = subprocess.Popen([tool("snmpd", "snmpd"), "-f", "-Lo", "-C", "-c", str(self.dir / "snmpd.conf"),
                                  "-p", str(self.dir / "snmpd.pid"), "-M", "/dev/null"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env(module), text=True)
        self.addCleanup(agent.stdout.close)
        self.addCleanup(agent.wait, 10)
        self.addCleanup(agent.terminate)
        for line in agent.stdout:
            if line.startswith("NET-SNMP version"):
                return
        self.fail("snmpd ended before it listened")

    def snmp(self, command, *oids, mibs=("-On", "-M", "/dev/null")):
        done = subprocess.run([tool(command, "snmp"), "-v2c", "-c", "public", *mibs, f"127.0.0.1:{self.port}", *oids],
                              capture_output=True, text=True, timeout=30)
        return done.returncode, done.stdout.splitlines()

    def test_snmpwalk_and_snmpget_read_the_module(self):
        cases = [
            (ROOM, [".1.0 = INTEGER: 224", ".2.0 = INTEGER: 415", ".3.0 = INTEGER: 87", ".4.0 = INTEGER: 0",
                    ".5.0 = Gauge32: "]),
            (BONE_DRY, [".1.0 = INTEGER: -224", ".2.0 = INTEGER: 0", ".4.0 = INTEGER: 0", ".5.0 = Gauge32: "]),
            (ABSENT, [".4.0 = INTEGER: 1"]),
        ]
        for module, walk in cases:
            with self.subTest(module=module):
                self.start_snmpd(module)
                status, out = self.snmp("snmpwalk", BASE)
                self.assertEqual(status, 0)
                # The community's view ends with the subtree.
                walk = walk + [walk[-1].split(" = ")[0] + " = No more variables left in this MIB View"]
                self.assertEqual([line[:len(BASE + e)] for line, e in zip(out, walk)], [BASE + e for e in walk])
                self.assertEqual(len(out), len(walk))
                if walk[-2].endswith("Gauge32: "):
                    self.assertLess(abs(int(out[-2].split()[-1]) - time.time()), 60)
                status, out = self.snmp("snmpget", BASE + ".3.0", BASE + ".4.0")
                self.assertEqual(status, 0)
                self.assertEqual(out[0], BASE + ".3.0 = " + (
                    "INTEGER: 87" if module is ROOM else "No Such Instance currently exists at this OID"))

    def test_the_mib_names_the_objects_and_places_the_decimal(self):
        mibs = self.dir / "mibs"
        mibs.mkdir()
        for mib in (*known.smi.iterdir(), known.mib, Path("/usr/share/snmp/mibs/NET-SNMP-MIB.txt")):
            shutil.copy(mib, mibs)
        self.start_snmpd(ROOM)
        status, out = self.snmp("snmpget", "WEX-Q40-MIB::wexQ40Temperature.0", "WEX-Q40-MIB::wexQ40Humidity.0",
                                "WEX-Q40-MIB::wexQ40Dewpoint.0", "WEX-Q40-MIB::wexQ40Status.0",
                                mibs=("-M", str(mibs), "-m", "WEX-Q40-MIB"))
        self.assertEqual((status, out), (0, ["WEX-Q40-MIB::wexQ40Temperature.0 = INTEGER: 22.4 0.1 degrees Celsius",
                                             "WEX-Q40-MIB::wexQ40Humidity.0 = INTEGER: 41.5 0.1 percent",
                                             "WEX-Q40-MIB::wexQ40Dewpoint.0 = INTEGER: 8.7 0.1 degrees Celsius",
                                             "WEX-Q40-MIB::wexQ40Status.0 = INTEGER: good(0)"]))

    def test_the_stock_community_sees_its_own_view_and_the_subtree_only(self):
        self.start_snmpd(ROOM)
        status, out = self.snmp("snmpget", ".1.3.6.1.2.1.1.1.0", ".1.3.6.1.2.1.2.1.0", BASE + ".1.0")
        self.assertEqual(status, 0)
        self.assertTrue(out[0].startswith(".1.3.6.1.2.1.1.1.0 = STRING: "), out)
        self.assertEqual(out[1:], [".1.3.6.1.2.1.2.1.0 = No Such Object available on this agent at this OID",
                                   BASE + ".1.0 = INTEGER: 224"])


class Mib(unittest.TestCase):
    def test_smilint_level_3_finds_nothing(self):
        env = dict(os.environ, SMIPATH=f"{known.smi.absolute()}:/usr/share/snmp/mibs")
        done = subprocess.run([tool("smilint", "smitools"), "-l", "3", str(known.mib)], env=env,
                              capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_objects_are_where_the_companion_serves_them(self):
        env = dict(os.environ, SMIPATH=f"{known.smi.absolute()}:/usr/share/snmp/mibs")
        done = subprocess.run([tool("smidump", "smitools"), "-f", "identifiers", str(known.mib)], env=env,
                              capture_output=True, text=True, check=True)
        found = dict(re.findall(r"^\S+\s+(wexQ40\w+)\s+\S+\s+([0-9.]+)\s*$", done.stdout, re.M))
        expected = {"wexQ40MIB": BASE[1:], "wexQ40Temperature": BASE[1:] + ".1", "wexQ40Humidity": BASE[1:] + ".2",
                    "wexQ40Dewpoint": BASE[1:] + ".3", "wexQ40Status": BASE[1:] + ".4",
                    "wexQ40LastGoodReading": BASE[1:] + ".5"}
        self.assertEqual({k: found.get(k) for k in expected}, expected)


if __name__ == "__main__":
    unittest.main(verbosity=2)
