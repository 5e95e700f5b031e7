"""Parses the udev rule files like udev does and plays device events through them."""
import fnmatch
import re
import sys
import unittest
from pathlib import Path

RULES_DIR = Path(sys.argv.pop(1)) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1]
ACCESS_RULE = RULES_DIR / "60-wex-q40.rules"
UNBIND_RULE = RULES_DIR / "61-wex-q40-unbind-serial.rules"

TOKEN = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')
MATCH_KEYS = {"ACTION", "SUBSYSTEM", "ENV", "ATTR", "ATTRS", "DRIVER", "KERNEL"}
ASSIGN_KEYS = {"MODE", "GROUP", "TAG", "RUN", "GOTO", "LABEL"}


def parse(path):
    """Returns one list of (key, attribute, operator, value) per rule; raises on bad syntax."""
    rules = []
    text = path.read_text().replace("\\\n", "")
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        rule, pos = [], 0
        while pos < len(line):
            m = TOKEN.match(line, pos)
            if not m:
                raise ValueError(f"{path.name}:{number}: cannot parse at {line[pos:]!r}")
            key, attr, op, value, _ = m.groups()
            if key not in MATCH_KEYS | ASSIGN_KEYS:
                raise ValueError(f"{path.name}:{number}: unknown key {key}")
            if key in MATCH_KEYS and op not in ("==", "!="):
                raise ValueError(f"{path.name}:{number}: {key} can only be compared")
            if key in ASSIGN_KEYS and op in ("==", "!="):
                raise ValueError(f"{path.name}:{number}: {key} can only be assigned")
            rule.append((key, attr, op, value))
            pos = m.end()
        rules.append(rule)
    return rules


def matches(pattern, value):
    return value is not None and any(fnmatch.fnmatchcase(value, p) for p in pattern.split("|"))


def device_value(device, key, attr):
    if key == "ENV":
        return device.get("env", {}).get(attr)
    if key == "ATTR":
        return device.get("attrs", {}).get(attr)
    if key == "ATTRS":
        for level in [device] + device.get("parents", []):
            if attr in level.get("attrs", {}):
                return level["attrs"][attr]
        return None
    return device.get(key.lower())


def run(rules, device):
    """Plays one event through the rules; returns the assignments made."""
    result = {"TAG": [], "RUN": []}
    index = 0
    while index < len(rules):
        rule = rules[index]
        index += 1
        conditions = [t for t in rule if t[2] in ("==", "!=")]
        if all(matches(v, device_value(device, k, a)) == (op == "==") for k, a, op, v in conditions):
            for key, _, op, value in rule:
                if key == "GOTO":
                    labels = [i for i, r in enumerate(rules) if ("LABEL", None, "=", value) in r]
                    assert len(labels) == 1, f"GOTO {value} needs exactly one LABEL"
                    index = labels[0]
                elif key in ("TAG", "RUN"):
                    result[key] = result[key] + [value] if op == "+=" else [value]
                elif key in ("MODE", "GROUP"):
                    result[key] = value
    return result


def usb_device(vendor, product, action="add"):
    return {"action": action, "subsystem": "usb", "kernel": "1-1",
            "env": {"DEVTYPE": "usb_device"},
            "attrs": {"idVendor": vendor, "idProduct": product}}


def usb_interface(vendor, product, action="bind", driver="ftdi_sio"):
    return {"action": action, "subsystem": "usb", "kernel": "1-1:1.0", "driver": driver,
            "env": {"DEVTYPE": "usb_interface"}, "attrs": {"bInterfaceNumber": "00"},
            "parents": [usb_device(vendor, product)]}


class Syntax(unittest.TestCase):
    def test_every_file_parses_and_every_goto_has_its_label(self):
        for path in (ACCESS_RULE, UNBIND_RULE):
            with self.subTest(path.name):
                rules = parse(path)
                labels = {v for r in rules for k, _, _, v in r if k == "LABEL"}
                gotos = {v for r in rules for k, _, _, v in r if k == "GOTO"}
                self.assertEqual(gotos, labels)

    def test_no_mode_is_world_writable(self):
        for path in (ACCESS_RULE, UNBIND_RULE):
            for rule in parse(path):
                for key, _, _, value in rule:
                    if key == "MODE":
                        self.assertRegex(value, r"^0[0-7]{3}$")
                        self.assertEqual(int(value, 8) & 0o002, 0, f"{path.name}: MODE {value}")
        self.assertNotIn("0666", ACCESS_RULE.read_text())

    def test_access_rule_sorts_before_the_seat_rules_that_apply_uaccess(self):
        self.assertLess(int(ACCESS_RULE.name.split("-")[0]), 73)

    def test_every_assignment_is_guarded_by_both_usb_ids(self):
        for path in (ACCESS_RULE, UNBIND_RULE):
            for rule in parse(path):
                if any(k in ("MODE", "GROUP", "TAG", "RUN") for k, _, _, _ in rule):
                    ids = {(a, v) for k, a, op, v in rule if k in ("ATTR", "ATTRS") and op == "=="}
                    self.assertEqual(ids, {("idVendor", "0403"), ("idProduct", "fbf9")}, path.name)


class AccessRule(unittest.TestCase):
    rules = parse(ACCESS_RULE)

    def test_module_goes_to_the_seat_user_and_plugdev(self):
        result = run(self.rules, usb_device("0403", "fbf9"))
        self.assertEqual(result["MODE"], "0660")
        self.assertEqual(result["GROUP"], "plugdev")
        self.assertIn("uaccess", result["TAG"])
        self.assertEqual(result["RUN"], [])

    def test_other_devices_are_left_alone(self):
        for device in (usb_device("0403", "6001"), usb_device("0404", "fbf9"),
                       usb_device("0403", "fbf9", action="remove"),
                       usb_interface("0403", "fbf9", action="add"),
                       dict(usb_device("0403", "fbf9"), subsystem="tty")):
            with self.subTest(device=device):
                result = run(self.rules, device)
                self.assertNotIn("MODE", result)
                self.assertNotIn("GROUP", result)
                self.assertEqual(result["TAG"], [])


class UnbindRule(unittest.TestCase):
    rules = parse(UNBIND_RULE)

    def test_serial_driver_is_unbound_from_the_module_interface_by_its_own_name(self):
        result = run(self.rules, usb_interface("0403", "fbf9"))
        self.assertEqual(len(result["RUN"]), 1)
        command = result["RUN"][0]
        self.assertIn("%k", command)
        self.assertIn("/sys/bus/usb/drivers/ftdi_sio/unbind", command)
        self.assertNotIn("MODE", result)

    def test_other_ftdi_devices_and_drivers_are_never_unbound(self):
        for device in (usb_interface("0403", "6001"), usb_interface("0403", "6014"),
                       usb_interface("0403", "fbf9", driver="usbfs"),
                       usb_interface("0403", "fbf9", action="unbind"),
                       usb_device("0403", "fbf9", action="bind")):
            with self.subTest(device=device):
                self.assertEqual(run(self.rules, device)["RUN"], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
