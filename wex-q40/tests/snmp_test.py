"""wex-q40 snmp: its pass_persist answers, read by a real snmpd with the packaged example, by number and by the
standard MIBs' names."""
import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "testsupport" / "python"))
from debian_programs import tool  # noqa: E402

options = argparse.ArgumentParser()
for name in ("--companion", "--program", "--vmodule-lib", "--example", "--smi"):
    options.add_argument(name, type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest

# Debian's own, as the snmpd package installs it; the example is a drop-in for it.
STOCK_SNMPD_CONF = "/etc/snmp/snmpd.conf"
# The former scalars' subtree, still served under --base-oid.
BASE = ".1.3.6.1.4.1.8072.9999.9999.1"
# ENTITY-MIB's entPhysicalEntry and ENTITY-SENSOR-MIB's entPhySensorEntry.
PHYSICAL = ".1.3.6.1.2.1.47.1.1.1.1"
SENSOR = ".1.3.6.1.2.1.99.1.1.1"
ROOM = {"VWEX_TEMP": "22.4", "VWEX_HUM": "41.5"}
# Humidity 0.0 %: the dew point is not a number.
BONE_DRY = {"VWEX_TEMP": "-22.4", "VWEX_HUM": "0"}
ABSENT = {"VWEX_ABSENT": "1"}
# The module answers, but not as a working sensor does.
MUTE = {"VWEX_MUTE": "1"}
SOAKED = {"VWEX_HUM": "150"}


def now_as_word(text):
    """NOW for a Unix time within a minute of now."""
    return "NOW" if text.isdigit() and abs(int(text) - time.time()) < 60 else text


def answer(oid, kind, value):
    return [BASE + oid, kind, value]


def physical(column, index=1000):
    return f"{PHYSICAL}.{column}.{index}"


def sensor(column, index):
    return f"{SENSOR}.{column}.{index}"


def gets(*oids):
    return [line for oid in oids for line in ("get", oid)]


def since_parent_started():
    """Hundredths of a second since this process started, as the companion, its child, counts snmpd's uptime."""
    start = int(Path("/proc/self/stat").read_text().rsplit(")", 1)[1].split()[19])
    return (time.clock_gettime(time.CLOCK_BOOTTIME) - start / os.sysconf("SC_CLK_TCK")) * 100


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


def ask(agent, request, oid):
    """One get or getnext: its answer's lines."""
    agent.stdin.write(f"{request}\n{oid}\n")
    agent.stdin.flush()
    first = agent.stdout.readline().strip()
    return [first] if first == "NONE" else [first] + [agent.stdout.readline().strip() for _ in range(2)]


def option(args, name, default):
    return args[args.index(name) + 1] if name in args else default


class Protocol(Companion):
    def settle(self, agent, module, args):
        """Waits for the first reading, which a thread takes beside the answers: until then no sensor has a time
        stamp, nor the scalars a good status. A failed reading changes no scalar, so there is nothing to wait for."""
        base = option(args, "--base-oid", None)
        if base is not None and module in (ABSENT, MUTE, SOAKED):
            return
        probe = (f".{base.lstrip('.')}.4.0" if base is not None
                 else sensor(7, int(option(args, "--entity-index", "1000")) + 1))
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            answer = ask(agent, "get", probe)
            if answer[-1] != "NONE" and (base is None or answer[-1] == "0"):
                return
            time.sleep(0.02)
        self.fail(f"no reading within 15 s: {answer}")

    def converse(self, lines, module=ROOM, args=(), env=None, settle=True):
        with subprocess.Popen([known.companion, "snmp", *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env or self.env(module), text=True) as agent:
            if settle:
                self.settle(agent, module, list(args))
            out, err = agent.communicate("".join(f"{l}\n" for l in lines), timeout=30)
        return agent.returncode, out.splitlines(), err

    def test_standard_tables_requests_and_their_answers(self):
        cases = [
            (ROOM, [], gets(sensor(4, 1001), sensor(4, 1002), sensor(4, 1003), sensor(5, 1001), sensor(1, 1002),
                            sensor(2, 1001), sensor(3, 1003), sensor(6, 1002), sensor(8, 1001)),
             [sensor(4, 1001), "integer", "224", sensor(4, 1002), "integer", "415", sensor(4, 1003), "integer", "87",
              sensor(5, 1001), "integer", "1", sensor(1, 1002), "integer", "9", sensor(2, 1001), "integer", "9",
              sensor(3, 1003), "integer", "1", sensor(6, 1002), "string", "%RH", sensor(8, 1001), "gauge", "10000"]),
            (ROOM, [], gets(physical(2), physical(3, 1001), physical(4), physical(4, 1003), physical(5),
                            physical(5, 1002), physical(6), physical(6, 1003), physical(7, 1001), physical(11, 1002)),
             [physical(2), "string", "WEX-Q40 USB temperature and humidity module", physical(3, 1001), "objectid",
              ".0.0", physical(4), "integer", "0", physical(4, 1003), "integer", "1000", physical(5), "integer", "9",
              physical(5, 1002), "integer", "8", physical(6), "integer", "-1", physical(6, 1003), "integer", "3",
              physical(7, 1001), "string", "WEX-Q40 temperature", physical(11, 1002), "string", ""]),
            # Across rows, columns and tables in OID order, from outside them too.
            (ROOM, [], ["getnext", ".1.3.6", "getnext", ".1.3.6.1.2.1.47", "getnext", physical(2, 1003),
                        "getnext", physical(13, 1003), "getnext", physical(99), "getnext", sensor(4, 1003),
                        "getnext", sensor(3, 999999)],
             [physical(2), "string", "WEX-Q40 USB temperature and humidity module"] * 2 +
             [physical(3), "objectid", ".0.0", sensor(1, 1001), "integer", "8", sensor(1, 1001), "integer", "8",
              sensor(5, 1001), "integer", "1", sensor(4, 1001), "integer", "224"]),
            # Bad indices, columns the tables do not have or wex-q40 does not serve, the module's missing sensor row.
            (ROOM, [], gets(physical(2, 999), physical(2, 1004), physical(1), physical(8), physical(14, 1001),
                            sensor(4, 1000), sensor(9, 1001), sensor(4, 1001) + ".0", PHYSICAL, SENSOR),
             ["NONE"] * 10),
            (ROOM, [], ["getnext", sensor(8, 1003), "getnext", ".1.3.6.1.2.1.100", "getnext", ".2"], ["NONE"] * 3),
            # An arc written with a leading zero is no instance of ours, but has its place in the order; so has any
            # OID before the tables, however short.
            (ROOM, [], gets(f"{SENSOR}.4.01001", f"{PHYSICAL}.02.1000", sensor(4, 1001)[1:]) +
             ["getnext", f"{SENSOR}.4.01001", "getnext", f"{SENSOR}.4.0999", "getnext", ".1", "getnext", "0",
              "getnext", ".1.3.6.1.2.1.47.0"],
             ["NONE", "NONE", sensor(4, 1001), "integer", "224", sensor(4, 1002), "integer", "415", sensor(4, 1001),
              "integer", "224"] + [physical(2), "string", "WEX-Q40 USB temperature and humidity module"] * 3),
            # A failed reading: no values, each sensor's state, the rows still there.
            (ABSENT, [], gets(sensor(4, 1001), sensor(5, 1001), sensor(5, 1003), physical(5, 1001)) +
             ["getnext", sensor(3, 1003)],
             ["NONE", sensor(5, 1001), "integer", "2", sensor(5, 1003), "integer", "2", physical(5, 1001), "integer",
              "8", sensor(5, 1001), "integer", "2"]),
            (MUTE, [], gets(sensor(4, 1002), sensor(5, 1002)), ["NONE", sensor(5, 1002), "integer", "3"]),
            (SOAKED, [], gets(sensor(4, 1002), sensor(5, 1001)), ["NONE", sensor(5, 1001), "integer", "3"]),
            (BONE_DRY, [], gets(sensor(4, 1001), sensor(4, 1003), sensor(5, 1003), sensor(5, 1002)),
             [sensor(4, 1001), "integer", "-224", "NONE", sensor(5, 1003), "integer", "2", sensor(5, 1002),
              "integer", "1"]),
            (ROOM, ["--entity-index", "7", "--cache", "0"],
             gets(physical(4, 10), physical(6, 7), sensor(8, 8), physical(2, 1000)) + ["getnext", ".1.3.6"],
             [physical(4, 10), "integer", "7", physical(6, 7), "integer", "-1", sensor(8, 8), "gauge", "5000", "NONE",
              physical(2, 7), "string", "WEX-Q40 USB temperature and humidity module"]),
            (ROOM, [], ["set", sensor(4, 1001), "integer 5", "PING"], ["not-writable", "PONG"]),
        ]
        for module, args, request, expected in cases:
            with self.subTest(module=module, args=args, request=request):
                status, out, _ = self.converse(request, module, ["-r", "0", *args])
                self.assertEqual((status, out), (0, expected))

    def test_the_time_stamp_is_the_readings_time_on_the_parents_clock_never_later(self):
        for module in (ROOM, ABSENT):
            with self.subTest(module=module):
                before = since_parent_started()
                status, out, _ = self.converse(gets(sensor(7, 1001), sensor(7, 1003)), module, ["-r", "0"])
                after = since_parent_started()
                self.assertEqual((status, out[1], out[4], out[2]), (0, "timeticks", "timeticks", out[5]))
                # Counted from no earlier than the parent's start, and at most a second after it, snmpd's own start.
                self.assertTrue(before - 101 <= int(out[2]) <= after, (before, out[2], after))

    def test_base_oid_serves_the_former_scalars(self):
        cases = [
            (ROOM, ["PING"], ["PONG"]),
            (ROOM, ["get", BASE + ".1.0", "get", BASE + ".2.0", "get", BASE + ".3.0", "get", BASE + ".4.0"],
             answer(".1.0", "integer", "224") + answer(".2.0", "integer", "415") +
             answer(".3.0", "integer", "87") + answer(".4.0", "integer", "0")),
            (ROOM, ["get", BASE + ".1", "get", BASE + ".6.0", "get", ".1.3.6.1.4.1.8072.9999.9999.2.1.0",
                    "get", "nonsense"], ["NONE"] * 4),
            (ROOM, ["getnext", BASE, "getnext", BASE + ".1", "getnext", BASE + ".1.0", "getnext", ".1.3.6",
                    "getnext", ".1", "getnext", BASE + ".01.0", "get", BASE + ".01.0"],
             answer(".1.0", "integer", "224") * 2 + answer(".2.0", "integer", "415") +
             answer(".1.0", "integer", "224") * 2 + answer(".2.0", "integer", "415") + ["NONE"]),
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
                status, out, _ = self.converse(request, module, ["-r", "0", "--base-oid", BASE])
                self.assertEqual((status, [now_as_word(line) for line in out]), (0, expected))

    def test_a_calibrated_reading_is_served_as_every_other_output_renders_it(self):
        """The values of calibration_outputs_test.cpp, and the calibration named where a person reads the sensor."""
        calibration = self.dir / "calibration"
        calibration.write_text("temperature-offset = -1.0\nhumidity-gain = 1.05\nhumidity-offset = 0.5\n")
        calibration.chmod(0o644)
        lines = ["get", sensor(4, 1001), "get", sensor(4, 1002), "get", sensor(4, 1003), "get", physical(2, 1001)]
        _, out, _ = self.converse(lines, ROOM, ["--calibration", str(calibration)])
        self.assertEqual(out, [sensor(4, 1001), "integer", "214", sensor(4, 1002), "integer", "468",
                               sensor(4, 1003), "integer", "96", physical(2, 1001), "string",
                               f"WEX-Q40 temperature sensor, calibrated by {calibration}"])

    def test_a_failed_reading_says_why_on_standard_error(self):
        _, out, err = self.converse(["get", sensor(5, 1001), "bogus"], ABSENT, ["-r", "0"])
        self.assertEqual(out, [sensor(5, 1001), "integer", "2"])
        self.assertIn("wex-q40 snmp: reading failed: wex_open failed!\n", err)
        self.assertIn("wex-q40 snmp: unknown request ignored: bogus\n", err)

    def test_an_overlong_line_is_refused_and_the_next_served(self):
        longest_oid = ".1.3.6.1.2.1.47.1.1.1.1.1" + ".4294967295" * 116
        cases = [
            (["x" * 2048, "PING"], ["PONG"], "unknown request ignored: xxx"),
            (["x" * 2049, "PING"], ["PONG"], "request line longer than 2048 bytes refused"),
            (["getnext", longest_oid], [physical(2), "string", "WEX-Q40 USB temperature and humidity module"], None),
            (["get", "." + "1" * 3000, "PING"], ["NONE", "PONG"], "request line longer than 2048 bytes refused"),
            (["set", sensor(4, 1001), "integer " + "5" * 5000, "PING"], ["not-writable", "PONG"], "refused"),
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

    def test_without_base_oid_the_former_scalars_are_gone(self):
        _, out, _ = self.converse(["get", BASE + ".1.0", "getnext", BASE])
        self.assertEqual(out, ["NONE", "NONE"])

    def test_bad_arguments(self):
        for args, message in ((["--base-oid", "1.3.six"], "--base-oid needs a numeric OID"),
                              (["--base-oid", "1"], "--base-oid needs a numeric OID"),
                              (["--base-oid", ".1.3.4294967296"], "--base-oid needs a numeric OID"),
                              (["--cache", "-1"], "--cache needs a whole number of seconds from 0 to 3600"),
                              (["--cache", "3601"], "--cache needs a whole number of seconds from 0 to 3600"),
                              (["--entity-index", "0"], "--entity-index needs a whole number from 1 to 2147483644"),
                              (["--entity-index", "2147483645"], "--entity-index needs a whole number from 1 to"),
                              (["--base-oid", ".1.3.6.1.2.1.99.1.1"], "--base-oid .1.3.6.1.2.1.99.1.1 overlaps "
                                                                      ".1.3.6.1.2.1.99, where the entity"),
                              (["--base-oid", "1.3.6.1.2.1.47.1.1.1.1.2.7"], "--base-oid .1.3.6.1.2.1.47.1.1.1.1.2.7 "
                                                                             "overlaps .1.3.6.1.2.1.47,"),
                              (["--base-oid", ".1.3.6.1.2"], "--base-oid .1.3.6.1.2 overlaps .1.3.6.1.2.1.47,")):
            with self.subTest(args=args):
                status, out, err = self.converse(["PING"], args=args, settle=False)
                self.assertEqual((status, out), (2, []))
                self.assertTrue(err.startswith("wex-q40 snmp: " + message), err)

    def agent(self, args, env):
        agent = subprocess.Popen([known.companion, "snmp", *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, env=env, text=True)
        self.addCleanup(agent.stdout.close)
        self.addCleanup(agent.wait, 30)
        self.addCleanup(agent.stdin.close)
        return agent

    def test_readings_come_as_often_as_the_cache_time_asks_whatever_the_requests(self):
        walk = [BASE + oid for oid in ("", ".1.0", ".2.0", ".3.0", ".4.0", ".5.0")]
        # Without another reader's reading (--max-age 0), so that only the cache spares the module.
        for cache, seconds, least, most in (("60", 2.5, 1, 1), ("1", 3.2, 2, 4)):
            with self.subTest(cache=cache):
                self.runs.unlink(missing_ok=True)
                agent = self.agent(["--cache", cache, "--max-age", "0", "--base-oid", BASE], self.env(ROOM))
                self.settle(agent, ROOM, ["--base-oid", BASE])
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    self.assertEqual(len([line for oid in walk for line in ask(agent, "getnext", oid)]), 16)
                    time.sleep(0.1)
                self.assertTrue(least <= self.readings() <= most, self.readings())

    def test_with_cache_0_a_reading_is_taken_when_asked_for(self):
        agent = self.agent(["--cache", "0", "--max-age", "0"], self.env(ROOM))
        time.sleep(1)
        self.assertEqual(self.readings(), 0)
        self.assertEqual(ask(agent, "get", sensor(5, 1001)), [sensor(5, 1001), "integer", "2"])
        self.settle(agent, ROOM, [])
        self.assertEqual(ask(agent, "get", sensor(4, 1001))[2], "224")
        self.assertGreaterEqual(self.readings(), 1)

    def test_a_failure_keeps_the_last_good_time(self):
        agent = self.agent(["--cache", "1", "-r", "0", "--max-age", "0", "--base-oid", BASE], self.env(ROOM))
        self.settle(agent, ROOM, ["--base-oid", BASE])
        good_time = ask(agent, "get", BASE + ".5.0")[2]
        self.assertEqual(ask(agent, "get", BASE + ".1.0")[2], "224")
        (self.dir / "fail").touch()
        deadline = time.monotonic() + 10
        while ask(agent, "get", BASE + ".4.0")[2] != "1" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([ask(agent, "get", BASE + ".4.0")[2], ask(agent, "get", BASE + ".1.0"),
                          ask(agent, "get", BASE + ".5.0")[2]], ["1", ["NONE"], good_time])

    def test_a_failure_another_reader_left_is_taken_up_and_not_read_again(self):
        (self.dir / "fail").touch()
        env = self.env(ABSENT)
        done = subprocess.run([known.companion, "json", "-r", "0", "--max-age", "10"], env=env, capture_output=True,
                              text=True, timeout=30)
        self.assertEqual((done.returncode, self.readings()), (1, 1))
        status, out, err = self.converse(gets(sensor(4, 1001), sensor(5, 1001)), ABSENT, ["--max-age", "10"], env)
        self.assertEqual((status, out, self.readings()), (0, ["NONE", sensor(5, 1001), "integer", "2"], 1))
        self.assertNotIn("reading failed", err, "told once, by the reader that failed")


class Snmpd(Companion):
    """Debian's stock snmpd.conf with the packaged example dropped in, adapted only in the agent's port, its
    AgentX socket, the drop-in folder and the companion's path."""

    def start_snmpd(self, module, dropin=None):
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
            (dropin or known.example.read_text()).replace("/usr/bin/wex-q40", str(known.companion.absolute())))
        (self.dir / "snmpd.conf").write_text(config)
        # A file, not a pipe: snmpd logs every request, and would stop at a full pipe nobody reads.
        log = self.dir / "snmpd.log"
        with log.open("w") as output:
            agent = subprocess.Popen([tool("snmpd", "snmpd"), "-f", "-Lo", "-C", "-c", str(self.dir / "snmpd.conf"),
                                      "-p", str(self.dir / "snmpd.pid"), "-M", "/dev/null"],
                                     stdout=output, stderr=subprocess.STDOUT, env=self.env(module))
        self.addCleanup(agent.wait, 10)
        self.addCleanup(agent.terminate)
        deadline = time.monotonic() + 15
        while agent.poll() is None and time.monotonic() < deadline:
            if "\nNET-SNMP version" in "\n" + log.read_text():
                return
            time.sleep(0.02)
        self.fail(f"snmpd did not listen: {log.read_text()}")

    def snmp(self, command, *oids, mibs=("-On", "-M", "/dev/null")):
        done = subprocess.run([tool(command, "snmp"), "-v2c", "-c", "public", *mibs, f"127.0.0.1:{self.port}", *oids],
                              capture_output=True, text=True, timeout=30)
        return done.returncode, done.stdout.splitlines()

    def settle(self, oid=sensor(7, 1001), ready=": ("):
        """Waits for the first reading of the process that serves oid, which snmpd starts at its first request."""
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            out = self.snmp("snmpget", oid)[1]
            if out and ready in out[0]:
                return
            time.sleep(0.05)
        self.fail(f"no reading within 15 s: {out}")

    def test_snmpwalk_reads_the_sensors_and_their_module(self):
        sensors = [f"{SENSOR}.{column}.{index} = {value}" for column, values in (
            (1, ["INTEGER: 8", "INTEGER: 9", "INTEGER: 8"]), (2, ["INTEGER: 9"] * 3), (3, ["INTEGER: 1"] * 3),
            (4, ["INTEGER: 224", "INTEGER: 415", "INTEGER: 87"]), (5, ["INTEGER: 1"] * 3),
            (6, ['STRING: "C"', 'STRING: "%RH"', 'STRING: "C"']), (7, ["Timeticks: NOW"] * 3),
            (8, ["Gauge32: 10000"] * 3)) for index, value in zip((1001, 1002, 1003), values)]
        failed = [line.replace(" = INTEGER: 1", " = INTEGER: 2") if f"{SENSOR}.5." in line else line
                  for line in sensors if f"{SENSOR}.4." not in line]
        for module, walk in ((ROOM, sensors), (ABSENT, failed)):
            with self.subTest(module=module):
                self.start_snmpd(module)
                self.settle()
                status, out = self.snmp("snmpwalk", ".1.3.6.1.2.1.99.1.1")
                stamps = {int(line.split("(")[1].split(")")[0]) for line in out if "Timeticks" in line}
                # One reading stamps every sensor, on snmpd's own clock: never after its sysUpTime in the same answer,
                # and within the update rate before it.
                self.assertEqual(len(stamps), 1, out)
                _, pair = self.snmp("snmpget", sensor(7, 1002), ".1.3.6.1.2.1.1.3.0")
                stamp, uptime = (int(line.split("(")[1].split(")")[0]) for line in pair)
                self.assertTrue(0 <= uptime - stamp <= 1000 and stamp == stamps.pop(), (stamp, uptime))
                out = [re.sub(r"Timeticks: \(\d+\) .*", "Timeticks: NOW", line) for line in out]
                # The community's view ends with the table.
                self.assertEqual((status, out), (0, walk + [walk[-1].split(" = ")[0] +
                                                            " = No more variables left in this MIB View (It is past "
                                                            "the end of the MIB tree)"]))
                status, out = self.snmp("snmpwalk", ".1.3.6.1.2.1.47.1.1.1")
                self.assertEqual((status, len(out)), (0, 36))
                self.assertEqual([out[0], out[13], out[24], out[35]],
                                 [physical(2) + ' = STRING: "WEX-Q40 USB temperature and humidity module"',
                                  physical(5, 1001) + " = INTEGER: 8", physical(11) + ' = ""',
                                  physical(13, 1003) + ' = ""'])

    def test_snmptable_names_the_columns_with_the_standard_mibs(self):
        mibs = ("-M", str(known.smi.absolute()), "-m", "ENTITY-MIB:ENTITY-SENSOR-MIB")
        self.start_snmpd(ROOM)
        self.settle()
        for table, rows in (
                ("ENTITY-MIB::entPhysicalTable",
                 ["index,entPhysicalDescr,entPhysicalVendorType,entPhysicalContainedIn,entPhysicalClass,"
                  "entPhysicalParentRelPos,entPhysicalName,entPhysicalSerialNum,entPhysicalMfgName,entPhysicalModelName",
                  "1000,WEX-Q40 USB temperature and humidity module,SNMPv2-SMI::zeroDotZero,0,module,-1,WEX-Q40,,,",
                  "1001,WEX-Q40 temperature sensor,SNMPv2-SMI::zeroDotZero,1000,sensor,1,WEX-Q40 temperature,,,",
                  "1002,WEX-Q40 relative humidity sensor,SNMPv2-SMI::zeroDotZero,1000,sensor,2,WEX-Q40 humidity,,,",
                  "1003,WEX-Q40 dew point, from the temperature and the humidity,SNMPv2-SMI::zeroDotZero,1000,sensor,3,"
                  "WEX-Q40 dew point,,,"]),
                ("ENTITY-SENSOR-MIB::entPhySensorTable",
                 ["index,entPhySensorType,entPhySensorScale,entPhySensorPrecision,entPhySensorValue,"
                  "entPhySensorOperStatus,entPhySensorUnitsDisplay,entPhySensorValueTimeStamp,"
                  "entPhySensorValueUpdateRate",
                  "1001,celsius,units,1,224,ok,C,NOW,10000 milliseconds",
                  "1002,percentRH,units,1,415,ok,%RH,NOW,10000 milliseconds",
                  "1003,celsius,units,1,87,ok,C,NOW,10000 milliseconds"])):
            with self.subTest(table=table):
                status, out = self.snmp("snmptable", "-Ci", "-Cf", ",", table, mibs=mibs)
                out = [re.sub(r",\d+:\d+:\d+:\d+\.\d+,", ",NOW,", line) for line in out[1:] if line]
                self.assertEqual((status, out), (0, rows))

    def test_the_stock_community_sees_its_own_view_and_the_tables_only(self):
        self.start_snmpd(ROOM)
        self.settle()
        status, out = self.snmp("snmpget", ".1.3.6.1.2.1.1.1.0", ".1.3.6.1.2.1.2.1.0", sensor(4, 1001),
                                physical(7, 1003))
        self.assertEqual(status, 0)
        self.assertTrue(out[0].startswith(".1.3.6.1.2.1.1.1.0 = STRING: "), out)
        self.assertEqual(out[1:], [".1.3.6.1.2.1.2.1.0 = No Such Object available on this agent at this OID",
                                   sensor(4, 1001) + " = INTEGER: 224", physical(7, 1003) + ' = STRING: "WEX-Q40 dew point"'])

    def test_the_former_drop_in_still_serves_the_scalars(self):
        self.start_snmpd(ROOM, f"view systemonly included {BASE}\n"
                               f"pass_persist {BASE} /usr/bin/wex-q40 snmp --base-oid {BASE}\n")
        self.settle(BASE + ".4.0", ready="INTEGER: 0")
        status, out = self.snmp("snmpwalk", BASE)
        self.assertEqual((status, out[:4]), (0, [BASE + ".1.0 = INTEGER: 224", BASE + ".2.0 = INTEGER: 415",
                                                 BASE + ".3.0 = INTEGER: 87", BASE + ".4.0 = INTEGER: 0"]))
        self.assertLess(abs(int(out[4].split("Gauge32: ")[1]) - time.time()), 60)

    def test_a_sensor_that_never_answers_holds_no_request_up(self):
        """Both tables walked again and again, with snmpd's own sysUpTime between, for two reading periods: no
        request may time out (net-snmp's 1 s, no retries), and the two processes share each failed reading."""
        self.start_snmpd(MUTE)
        timed = {"walk": [], "get": []}

        def run(kind, *args):
            started = time.monotonic()
            status, out = self.snmp("snmpwalk" if kind == "walk" else "snmpget", "-t", "1", "-r", "0", *args)
            timed[kind].append((time.monotonic() - started, status, out))

        end = time.monotonic() + 11

        def walk():
            while time.monotonic() < end:
                for table in (".1.3.6.1.2.1.99.1.1", ".1.3.6.1.2.1.47.1.1.1"):
                    run("walk", table)

        walker = threading.Thread(target=walk)
        walker.start()
        while walker.is_alive():
            run("get", ".1.3.6.1.2.1.1.3.0")
            time.sleep(0.05)
        walker.join()
        for kind, runs in timed.items():
            print(f"{kind}: {len(runs)}, longest {max(t for t, _, _ in runs):.3f} s, "
                  f"median {sorted(t for t, _, _ in runs)[len(runs) // 2]:.3f} s", file=sys.stderr)
            self.assertEqual([status for _, status, _ in runs], [0] * len(runs), kind)
        last = next(out for _, _, out in reversed(timed["walk"]) if out[0].startswith(SENSOR))
        self.assertIn(sensor(5, 1001) + " = INTEGER: 3", last)
        self.assertFalse([line for line in last if line.startswith(f"{SENSOR}.4.")])
        # Two periods of one failed reading each (two attempts, -r 2 leaving no time for a third), not one per process.
        self.assertLessEqual(self.readings(), 4)


if __name__ == "__main__":
    unittest.main(verbosity=2)
