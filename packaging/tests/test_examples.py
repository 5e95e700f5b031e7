"""Checks each monitoring example with its consumer's own parser, running what it names against the virtual module."""
import argparse
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time
import tomllib
import unittest
from pathlib import Path

import jinja2
import yaml

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "testsupport" / "python"))
from debian_programs import tool  # noqa: E402

options = argparse.ArgumentParser()
options.add_argument("--examples", type=Path, required=True)
options.add_argument("--companion", type=Path, required=True)
options.add_argument("--program", type=Path, required=True)
options.add_argument("--vmodule-lib", type=Path, required=True)
known, rest = options.parse_known_args()
sys.argv[1:] = rest
EXAMPLES, COMPANION = known.examples.absolute(), known.companion.absolute()
INSTALLED = "/usr/bin/wex-q40"
# The reading and the Icinga 2 example's thresholds: the data-centre envelope and a critical margin.
ENVELOPE = {"temperature": (22.4, "18:27", "15:32"), "humidity": (41.5, "60", "70"), "dewpoint": (8.7, "-9:15", "-12:17")}


class Module(unittest.TestCase):
    """The virtual module reading 22.4 C and 41.5 %, and a private lock and plugin folder."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = Path(cls.tmp.name)
        cls.plugins = cls.dir / "plugins"
        cls.plugins.mkdir()
        (cls.plugins / "check_wex_q40").symlink_to(COMPANION)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def env(self, **settings):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("VWEX_", "WEX_Q40_"))}
        # Each setting of the module stands for another module, with a lock and a shared reading of its own.
        name = hashlib.sha256(repr(sorted(settings.items())).encode()).hexdigest()[:16]
        env.update(LD_LIBRARY_PATH=str(known.vmodule_lib), WEX_Q40_TEST=str(known.program),
                   WEX_Q40_LOCK=str(self.dir / f"wex-q40-{name}.lock"), VWEX_TEMP="22.4", VWEX_HUM="41.5")
        if "VWEX_RAW_HUM" in settings:
            del env["VWEX_HUM"]
        env.update(settings)
        return env

    def run_command(self, argv, timeout=60, **settings):
        return subprocess.run(argv, env=self.env(**settings), capture_output=True, text=True, timeout=timeout)

    def installed(self, command):
        """The example's command, with the installed binary replaced by the one just built."""
        self.assertIn(INSTALLED, command)
        return command.replace(INSTALLED, str(COMPANION))

    def limit_of(self, command):
        argv = shlex.split(command)
        return int(argv[argv.index("-t") + 1])


def perfdata(first_line):
    return first_line.split(" | ", 1)[1].split()


class Icinga2(Module):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        state = cls.dir / "icinga2"
        for sub in ("cache", "data", "log", "run", "spool", "state"):
            (state / sub).mkdir(parents=True)
        config = cls.dir / "icinga2.conf"
        config.write_text(f'const PluginDir = "{cls.plugins}"\ninclude <itl>\ninclude <plugins>\n'
                          f'include "{EXAMPLES / "icinga2-wex-q40.conf"}"\n'
                          'object Host "machine-room" { check_command = "dummy"; vars.wex_q40 = true }\n'
                          'object Host "office" { check_command = "dummy" }\n')
        cls.defines = [f"-DDataDir={state}/data", f"-DLogDir={state}/log", f"-DCacheDir={state}/cache",
                       f"-DSpoolDir={state}/spool", f"-DInitRunDir={state}/run", f"-DStateDir={state}/state",
                       f"-DConfigDir={cls.dir}", f"-DObjectsPath={state}/cache/icinga2.debug",
                       f"-DVarsPath={state}/cache/icinga2.vars", f"-DPidPath={state}/run/icinga2.pid",
                       "-DRunAsUser=root", "-DRunAsGroup=root"]
        cls.icinga2 = tool("icinga2", "icinga2-bin")
        cls.validation = subprocess.run([cls.icinga2, "daemon", "-C", "-c", str(config), *cls.defines],
                                        capture_output=True, text=True)
        cls.objects = {}
        objects_file = state / "cache/icinga2.debug"
        data = objects_file.read_bytes() if objects_file.exists() else b""
        while data:
            length, _, data = data.partition(b":")
            record = json.loads(data[:int(length)])
            cls.objects[(record["type"], record["properties"]["__name"])] = record["properties"]
            data = data[int(length) + 1:]

    def command_line(self):
        command = self.objects[("CheckCommand", "wex_q40")]
        argv = list(command["command"])
        for option, argument in command["arguments"].items():
            value = argument["value"] if isinstance(argument, dict) else argument
            macro = re.fullmatch(r"\$(\w+)\$", value).group(1)
            if macro in command["vars"]:
                argv += [option, str(command["vars"][macro])]
        return argv

    def parsed_by_icinga(self, value):
        done = subprocess.run([self.icinga2, "console", "-e", f"parse_performance_data({json.dumps(value)})"],
                              capture_output=True, text=True, check=True)
        return json.loads(done.stdout)

    def test_configuration_is_valid_and_the_service_lands_on_the_flagged_host_only(self):
        self.assertEqual(self.validation.returncode, 0, self.validation.stdout + self.validation.stderr)
        self.assertNotIn("warning/", self.validation.stdout)
        services = {name for kind, name in self.objects if kind == "Service"}
        self.assertEqual(services, {"machine-room!wex-q40"})
        self.assertEqual(self.objects[("Service", "machine-room!wex-q40")]["check_command"], "wex_q40")
        self.assertEqual(self.objects[("CheckCommand", "wex_q40")]["command"], [f"{self.plugins}/check_wex_q40"])

    def test_every_argument_is_an_option_of_the_plugin(self):
        usage = self.run_command([str(self.plugins / "check_wex_q40"), "-h"]).stdout
        for option in self.objects[("CheckCommand", "wex_q40")]["arguments"]:
            self.assertRegex(usage, rf"(^|[\s,\[]){re.escape(option)}\b", option)

    def test_the_envelope_gives_ok_and_icinga_reads_the_performance_data(self):
        argv = self.command_line()
        self.assertEqual(argv[argv.index("-w") + 1:argv.index("-w") + 2], ["18:27"])
        done = self.run_command(argv)
        self.assertEqual(done.returncode, 0, done.stdout)
        first = done.stdout.splitlines()[0]
        self.assertTrue(first.startswith("WEX-Q40 OK - "), first)
        values = {}
        for item in perfdata(first):
            parsed = self.parsed_by_icinga(item)
            values[parsed["label"]] = parsed
        self.assertEqual(set(values), set(ENVELOPE))
        # Icinga keeps a threshold that is a plain number and drops a range.
        for label, (value, warning, critical) in ENVELOPE.items():
            self.assertEqual(values[label]["value"], value)
            self.assertEqual(values[label]["warn"], float(warning) if ":" not in warning else None)
            self.assertEqual(values[label]["crit"], float(critical) if ":" not in critical else None)
        self.assertEqual([values[label]["unit"] for label in ENVELOPE], ["", "percent", ""])
        # The humidity's scale is fixed, and Icinga reads it as the value's minimum and maximum.
        self.assertEqual([(values[label]["min"], values[label]["max"]) for label in ENVELOPE],
                         [(None, None), (0, 100), (None, None)])
        expected = " ".join(f"{label}={value}{'%;' if label == 'humidity' else ';'}{warning};{critical}"
                            f"{';0;100' if label == 'humidity' else ''}"
                            for label, (value, warning, critical) in ENVELOPE.items())
        self.assertEqual(" ".join(perfdata(first)), expected)

    def test_states_outside_the_envelope(self):
        argv = self.command_line()
        for settings, status in (({"VWEX_TEMP": "28.0"}, 1), ({"VWEX_TEMP": "33.0"}, 2), ({"VWEX_TEMP": "16.0"}, 1),
                                 ({"VWEX_HUM": "65"}, 1), ({"VWEX_HUM": "75"}, 2), ({"VWEX_HUM": "95"}, 2),
                                 ({"VWEX_ABSENT": "1"}, 3)):
            with self.subTest(settings=settings):
                done = self.run_command(argv, **settings)
                self.assertEqual(done.returncode, status, done.stdout)


class Nagios(Module):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        (cls.dir / "resource.cfg").write_text(f"$USER1$={cls.plugins}\n")
        (cls.dir / "host.cfg").write_text(
            "define host {\n use linux-server\n host_name localhost\n address 127.0.0.1\n"
            " check_command host_up\n}\n"
            "define command {\n command_name host_up\n command_line $USER1$/check_wex_q40 -h\n}\n")
        objects = "/etc/nagios4/objects"
        lines = [f"cfg_file={objects}/{name}.cfg" for name in ("commands", "contacts", "timeperiods", "templates")]
        lines += [f"cfg_file={cls.dir}/host.cfg", f"cfg_file={EXAMPLES / 'nagios-wex-q40.cfg'}",
                  f"resource_file={cls.dir}/resource.cfg", f"log_file={cls.dir}/nagios.log"]
        for key in ("check_result_path", "temp_path"):
            lines.append(f"{key}={cls.dir}")
        for key, name in (("temp_file", "nagios.tmp"), ("lock_file", "nagios.lock"), ("status_file", "status.dat"),
                          ("object_cache_file", "objects.cache"), ("precached_object_file", "objects.precache")):
            lines.append(f"{key}={cls.dir}/{name}")
        lines += ["nagios_user=root", "nagios_group=root", "illegal_macro_output_chars=`~$&|'\"<>"]
        (cls.dir / "nagios.cfg").write_text("\n".join(lines) + "\n")

    def definitions(self, kind):
        text = (EXAMPLES / "nagios-wex-q40.cfg").read_text()
        for body in re.findall(rf"define {kind}\s*{{(.*?)}}", text, re.S):
            yield dict(line.strip().split(None, 1) for line in body.strip().splitlines())

    def test_nagios_accepts_the_configuration_without_a_warning(self):
        done = subprocess.run([tool("nagios4", "nagios4-core"), "-v", str(self.dir / "nagios.cfg")],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertIn("Total Warnings: 0\n", done.stdout)
        self.assertIn("Total Errors:   0\n", done.stdout)

    def test_the_service_runs_the_plugin_with_the_envelope(self):
        command = next(self.definitions("command"))
        service = next(self.definitions("service"))
        name, *arguments = service["check_command"].split("!")
        self.assertEqual(name, command["command_name"])
        line = command["command_line"].replace("$USER1$", str(self.plugins))
        for number, argument in enumerate(arguments, 1):
            line = line.replace(f"$ARG{number}$", argument)
        self.assertNotIn("$", line)
        argv = shlex.split(line)
        self.assertEqual([argv[argv.index(o) + 1] for o in ("-w", "-c", "--humidity-warning", "--dewpoint-warning")],
                         ["18:27", "15:32", "60", "-9:15"])
        for settings, status in (({}, 0), ({"VWEX_TEMP": "28.0"}, 1), ({"VWEX_HUM": "65"}, 1),
                                 ({"VWEX_TEMP": "10.0"}, 2), ({"VWEX_MUTE": "1"}, 3)):
            with self.subTest(settings=settings):
                done = self.run_command(argv, **settings)
                self.assertEqual(done.returncode, status, done.stdout)
                self.assertRegex(done.stdout.splitlines()[0], r"^WEX-Q40 (OK|WARNING|CRITICAL|UNKNOWN) - ")


class Telegraf(Module):
    def setUp(self):
        with open(EXAMPLES / "telegraf-wex-q40.conf", "rb") as f:
            self.config = tomllib.load(f)
        self.assertEqual(list(self.config), ["inputs"])
        self.assertEqual(len(self.config["inputs"]["exec"]), 1)
        self.exec = self.config["inputs"]["exec"][0]

    def line_protocol(self, line):
        """Parses with the Debian InfluxDB::LineProtocol parser, every perl warning fatal."""
        script = ('use warnings FATAL => "all"; use JSON::PP; use InfluxDB::LineProtocol qw(line2data);'
                  'my ($m, $fields, $tags, $ts) = line2data($ARGV[0]);'
                  'print encode_json({measurement => $m, fields => $fields, tags => $tags, time => $ts});')
        done = subprocess.run([tool("perl", "perl"), "-e", script, line], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, f"{line!r}: {done.stderr} (Debian package libinfluxdb-lineprotocol-perl)")
        return json.loads(done.stdout)

    def test_exec_input_reads_line_protocol_within_its_timeout(self):
        self.assertEqual(self.exec["data_format"], "influx")
        timeout = re.fullmatch(r"(\d+)s", self.exec["timeout"])
        self.assertIsNotNone(timeout)
        self.assertEqual(len(self.exec["commands"]), 1)
        self.assertLess(self.limit_of(self.exec["commands"][0]), int(timeout.group(1)))

    def test_the_command_prints_one_point_telegraf_can_parse(self):
        done = self.run_command(shlex.split(self.installed(self.exec["commands"][0])))
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        lines = done.stdout.splitlines()
        self.assertEqual(len(lines), 1)
        point = self.line_protocol(lines[0])
        self.assertEqual(point["measurement"], "wex_q40")
        self.assertIsNone(point["tags"])
        self.assertEqual({k: float(v) for k, v in point["fields"].items()},
                         {"temperature": 22.4, "humidity": 41.5, "dewpoint": 8.7})
        for value in point["fields"].values():
            self.assertRegex(value, r"^-?\d+\.\d$")
        self.assertLess(abs(int(point["time"]) - time.time_ns()), 10 * 10**9)

    def test_a_dewpoint_that_is_not_a_number_is_left_out_and_a_failure_prints_nothing(self):
        argv = shlex.split(self.installed(self.exec["commands"][0]))
        done = self.run_command(argv, VWEX_HUM="0")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(set(self.line_protocol(done.stdout.strip())["fields"]), {"temperature", "humidity"})
        done = self.run_command(argv, VWEX_ABSENT="1")
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn("wex_open failed!", done.stderr)


class Zabbix(Module):
    def setUp(self):
        self.example = (EXAMPLES / "zabbix-wex-q40.conf").read_text()
        self.config = self.dir / "zabbix_agentd.conf"
        self.config.write_text(self.installed(self.example))

    def agent_test(self, key, **settings):
        done = self.run_command([tool("zabbix_agentd", "zabbix-agent"), "-t", key, "-c", str(self.config)],
                                **settings)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        match = re.fullmatch(rf"{re.escape(key)}\s+\[t\|(.*)\]\n", done.stdout, re.S)
        self.assertIsNotNone(match, done.stdout)
        return json.loads(match.group(1))

    def test_master_item_returns_the_reading_within_the_agents_timeout(self):
        keys = re.findall(r"^UserParameter=([^,]+),(.*)$", self.example, re.M)
        self.assertEqual([k for k, _ in keys], ["wex_q40.json"])
        agent_timeout = int(re.search(r"^Timeout=(\d+)$", self.example, re.M).group(1))
        # Room for the sensor's own 2 s wait, the pause and a second reading, inside the agent's limit.
        self.assertGreaterEqual(self.limit_of(keys[0][1]), 5)
        self.assertLess(self.limit_of(keys[0][1]), agent_timeout)
        reading = self.agent_test("wex_q40.json")
        self.assertEqual((reading["temperature"], reading["humidity"], reading["dewpoint"]), (22.4, 41.5, 8.7))
        self.assertRegex(reading["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")

    def test_dependent_items_name_keys_the_output_has(self):
        paths = re.findall(r"JSONPath \$\.(\w+)", self.example)
        self.assertEqual(paths, ["temperature", "humidity", "dewpoint", "error"])
        good = self.agent_test("wex_q40.json")
        failed = self.agent_test("wex_q40.json", VWEX_ABSENT="1")
        self.assertEqual(set(paths) - {"error"}, set(good) - {"time"})
        self.assertEqual(set(failed), {"error", "advice", "details", "time"})
        self.assertEqual(failed["error"], "no WEX-Q40 module found (USB 0403:fbf9)")
        self.assertIn("wex_open failed!", failed["details"])
        self.assertIsNone(self.agent_test("wex_q40.json", VWEX_HUM="0")["dewpoint"])


class HomeAssistant(Module):
    def setUp(self):
        self.config = yaml.safe_load((EXAMPLES / "home-assistant-wex-q40.yaml").read_text())
        self.sensor = self.config["command_line"][0]["sensor"]
        self.templates = self.config["template"][0]["sensor"]
        self.jinja = jinja2.Environment(undefined=jinja2.StrictUndefined)

    def reading(self, **settings):
        self.assertLess(self.limit_of(self.sensor["command"]), self.sensor["command_timeout"])
        done = self.run_command(shlex.split(self.installed(self.sensor["command"])), **settings)
        self.assertEqual(done.returncode, 0, done.stdout)
        return json.loads(done.stdout)

    def render(self, value_json, template):
        # Home Assistant sets the attributes the object has and leaves the others out.
        attributes = {key: value_json[key] for key in self.sensor["json_attributes"] if key in value_json}

        def state_attr(entity, name):
            self.assertEqual(entity, "sensor." + self.sensor["unique_id"])
            return attributes.get(name)
        return self.jinja.from_string(template).render(value_json=value_json, state_attr=state_attr)

    def test_sensor_and_templates_render_the_reading(self):
        reading = self.reading()
        self.assertEqual(self.render(reading, self.sensor["value_template"]), "22.4")
        self.assertEqual(self.sensor["unit_of_measurement"], "°C")
        rendered = {t["unique_id"]: (self.render(reading, t["state"]), self.render(reading, t["availability"]))
                    for t in self.templates}
        self.assertEqual(rendered, {"wex_q40_humidity": ("41.5", "True"), "wex_q40_dewpoint": ("8.7", "True")})

    def test_a_failed_reading_says_why_in_the_attributes(self):
        done = self.run_command(shlex.split(self.installed(self.sensor["command"])), VWEX_ABSENT="1")
        failed = json.loads(done.stdout)
        self.assertEqual(self.render(failed, "{{ state_attr('sensor.wex_q40_temperature', 'error') }}"),
                         "no WEX-Q40 module found (USB 0403:fbf9)")
        self.assertIn("lsusb", self.render(failed, "{{ state_attr('sensor.wex_q40_temperature', 'advice') }}"))
        availability = {t["unique_id"]: self.render(failed, t["availability"]) for t in self.templates}
        self.assertEqual(availability, {"wex_q40_humidity": "False", "wex_q40_dewpoint": "False"})

    def test_a_dewpoint_that_is_not_a_number_makes_that_sensor_unavailable(self):
        reading = self.reading(VWEX_HUM="0")
        dewpoint = next(t for t in self.templates if t["unique_id"] == "wex_q40_dewpoint")
        self.assertEqual(self.render(reading, dewpoint["availability"]), "False")
        self.assertEqual(self.render(reading, self.sensor["value_template"]), str(reading["temperature"]))


class ManPage(Module):
    """The man page's examples are what the command prints for the same reading."""

    def test_documented_check_lines_are_the_plugins_output(self):
        page = EXAMPLES.parent / "wex-q40-check.1"
        text = subprocess.run([tool("groff", "groff"), "-man", "-Tutf8", "-P-cbou", "-rLL=300n", str(page)],
                              check=True, capture_output=True, text=True).stdout
        # groff prints a minus sign where the source escapes the hyphen.
        lines = [line.strip().replace("\u2212", "-").replace("\u2010", "-") for line in text.splitlines()]
        command = "check_wex_q40 -w 18:27 -c 15:32 --dewpoint-warning -9:15 --humidity-warning 60"
        for settings in ({}, {"VWEX_TEMP": "30.0"}):
            with self.subTest(settings=settings):
                done = self.run_command([str(self.plugins / "check_wex_q40"), *command.split()[1:]], **settings)
                printed = done.stdout.splitlines()
                self.assertIn(printed[0], lines)
                start = lines.index(printed[0])
                self.assertEqual(lines[start:start + len(printed)], printed)


if __name__ == "__main__":
    unittest.main(verbosity=2)
