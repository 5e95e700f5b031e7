"""wex-q40 snmp: its pass_persist answers, read by a real snmpd with the packaged example, by number and by the
standard MIBs' names."""
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


class Protocol(Companion):
    def converse(self, lines, module=ROOM, args=()):
        done = subprocess.run([known.companion, "snmp", *args], input="".join(f"{l}\n" for l in lines),
                              env=self.env(module), capture_output=True, text=True, timeout=30)
        return done.returncode, done.stdout.splitlines(), done.stderr

    def test_standard_tables_requests_and_their_answers(self):
        cases = [
            (ROOM, [], gets(sensor(4, 1001), sensor(4, 1002), sensor(4, 1003), sensor(5, 1001), sensor(1, 1002),
                            sensor(2, 1001), sensor(3, 1003), sensor(6, 1002), sensor(8, 1001)),
             [sensor(4, 1001), "integer", "224", sensor(4, 1002), "integer", "415", sensor(4, 1003), "integer", "87",
              sensor(5, 1001), "integer", "1", sensor(1, 1002), "integer", "9", sensor(2, 1001), "integer", "9",
              sensor(3, 1003), "integer", "1", sensor(6, 1002), "string", "%RH", sensor(8, 1001), "gauge", "5000"]),
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
             [physical(4, 10), "integer", "7", physical(6, 7), "integer", "-1", sensor(8, 8), "gauge", "0", "NONE",
              physical(2, 7), "string", "WEX-Q40 USB temperature and humidity module"]),
            (ROOM, [], ["set", sensor(4, 1001), "integer 5", "PING"], ["not-writable", "PONG"]),
        ]
        for module, args, request, expected in cases:
            with self.subTest(module=module, args=args, request=request):
                status, out, _ = self.converse(request, module, ["-r", "0", *args])
                self.assertEqual((status, out), (0, expected))

    def test_the_time_stamp_is_the_readings_time_on_the_parents_clock(self):
        for module in (ROOM, ABSENT):
            with self.subTest(module=module):
                before = since_parent_started()
                status, out, _ = self.converse(gets(sensor(7, 1001), sensor(7, 1003)), module, ["-r", "0"])
                after = since_parent_started()
                self.assertEqual((status, out[1], out[4], out[2]), (0, "timeticks", "timeticks", out[5]))
                self.assertTrue(before - 2 <= int(out[2]) <= after + 2, (before, out[2], after))

    def test_base_oid_serves_the_former_scalars(self):
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
                status, out, _ = self.converse(request, module, ["-r", "0", "--base-oid", BASE])
                self.assertEqual((status, [now_as_word(line) for line in out]), (0, expected))

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
                              (["--entity-index", "2147483645"], "--entity-index needs a whole number from 1 to")):
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
                status, out, _ = self.converse(walk, args=args + ["--base-oid", BASE])
                self.assertEqual((status, len(out)), (0, 16))
                self.assertEqual(self.readings(), readings)

    def test_stale_cache_reads_again_and_a_failure_keeps_the_last_good_time(self):
        with subprocess.Popen([known.companion, "snmp", "--cache", "1", "-r", "0", "--max-age", "0", "--base-oid", BASE],
                              stdin=subprocess.PIPE,
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
        launched = time.monotonic()
        agent = subprocess.Popen([tool("snmpd", "snmpd"), "-f", "-Lo", "-C", "-c", str(self.dir / "snmpd.conf"),
                                  "-p", str(self.dir / "snmpd.pid"), "-M", "/dev/null"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env(module), text=True)
        self.addCleanup(agent.stdout.close)
        self.addCleanup(agent.wait, 10)
        self.addCleanup(agent.terminate)
        for line in agent.stdout:
            if line.startswith("NET-SNMP version"):
                self.startup_s = time.monotonic() - launched
                return
        self.fail("snmpd ended before it listened")

    def snmp(self, command, *oids, mibs=("-On", "-M", "/dev/null")):
        done = subprocess.run([tool(command, "snmp"), "-v2c", "-c", "public", *mibs, f"127.0.0.1:{self.port}", *oids],
                              capture_output=True, text=True, timeout=30)
        return done.returncode, done.stdout.splitlines()

    def test_snmpwalk_reads_the_sensors_and_their_module(self):
        sensors = [f"{SENSOR}.{column}.{index} = {value}" for column, values in (
            (1, ["INTEGER: 8", "INTEGER: 9", "INTEGER: 8"]), (2, ["INTEGER: 9"] * 3), (3, ["INTEGER: 1"] * 3),
            (4, ["INTEGER: 224", "INTEGER: 415", "INTEGER: 87"]), (5, ["INTEGER: 1"] * 3),
            (6, ['STRING: "C"', 'STRING: "%RH"', 'STRING: "C"']), (7, ["Timeticks: NOW"] * 3),
            (8, ["Gauge32: 5000"] * 3)) for index, value in zip((1001, 1002, 1003), values)]
        failed = [line.replace(" = INTEGER: 1", " = INTEGER: 2") if f"{SENSOR}.5." in line else line
                  for line in sensors if f"{SENSOR}.4." not in line]
        for module, walk in ((ROOM, sensors), (ABSENT, failed)):
            with self.subTest(module=module):
                self.start_snmpd(module)
                status, out = self.snmp("snmpwalk", ".1.3.6.1.2.1.99.1.1")
                uptime = int(self.snmp("snmpget", ".1.3.6.1.2.1.1.3.0")[1][0].split("(")[1].split(")")[0])
                stamps = {int(line.split("(")[1].split(")")[0]) for line in out if "Timeticks" in line}
                # One reading stamps every sensor, within the cache time before now on snmpd's own clock, which
                # starts after its process, before it says it listens.
                self.assertEqual(len(stamps), 1, out)
                lead = self.startup_s * 100 + 1
                self.assertTrue(-lead <= uptime - stamps.pop() <= 700, (uptime, out, lead))
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
                  "1001,celsius,units,1,224,ok,C,NOW,5000 milliseconds",
                  "1002,percentRH,units,1,415,ok,%RH,NOW,5000 milliseconds",
                  "1003,celsius,units,1,87,ok,C,NOW,5000 milliseconds"])):
            with self.subTest(table=table):
                status, out = self.snmp("snmptable", "-Ci", "-Cf", ",", table, mibs=mibs)
                out = [re.sub(r",\d+:\d+:\d+:\d+\.\d+,", ",NOW,", line) for line in out[1:] if line]
                self.assertEqual((status, out), (0, rows))

    def test_the_stock_community_sees_its_own_view_and_the_tables_only(self):
        self.start_snmpd(ROOM)
        status, out = self.snmp("snmpget", ".1.3.6.1.2.1.1.1.0", ".1.3.6.1.2.1.2.1.0", sensor(4, 1001),
                                physical(7, 1003))
        self.assertEqual(status, 0)
        self.assertTrue(out[0].startswith(".1.3.6.1.2.1.1.1.0 = STRING: "), out)
        self.assertEqual(out[1:], [".1.3.6.1.2.1.2.1.0 = No Such Object available on this agent at this OID",
                                   sensor(4, 1001) + " = INTEGER: 224", physical(7, 1003) + ' = STRING: "WEX-Q40 dew point"'])

    def test_the_former_drop_in_still_serves_the_scalars(self):
        self.start_snmpd(ROOM, f"view systemonly included {BASE}\n"
                               f"pass_persist {BASE} /usr/bin/wex-q40 snmp --base-oid {BASE}\n")
        status, out = self.snmp("snmpwalk", BASE)
        self.assertEqual((status, out[:4]), (0, [BASE + ".1.0 = INTEGER: 224", BASE + ".2.0 = INTEGER: 415",
                                                 BASE + ".3.0 = INTEGER: 87", BASE + ".4.0 = INTEGER: 0"]))
        self.assertLess(abs(int(out[4].split("Gauge32: ")[1]) - time.time()), 60)


if __name__ == "__main__":
    unittest.main(verbosity=2)
