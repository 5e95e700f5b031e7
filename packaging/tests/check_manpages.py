"""Renders the man pages with every groff warning on and checks that they document every message."""
import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

SOURCE_DIR = Path(sys.argv.pop(1))
COMMANDS = ("check", "json", "influx", "textfile", "snmp", "mqtt", "diagnose", "munin", "collectd")
# wex-q40(1) holds what the companion's commands share, and each command has its page.
COMMAND_PAGES = {command: SOURCE_DIR / "packaging" / f"wex-q40-{command}.1" for command in COMMANDS}
PAGES = [SOURCE_DIR / "packaging" / "wex_q40_test.1", SOURCE_DIR / "packaging" / "wex-q40-textfile.8",
         SOURCE_DIR / "packaging" / "wex-q40.1", *COMMAND_PAGES.values()]
PROGRAM_SOURCES = ["app", "driver", "ftdi_backend"]
PRINTF_LITERAL = re.compile(r'(?<![a-z])f?printf\s*\(\s*(?:(?:stdout|stderr)\s*,\s*)?"((?:[^"\\]|\\.)*)"')
# The program prints most of its lines from the header it shares with the companion.
MESSAGES_HEADER = SOURCE_DIR / "driver" / "messages" / "wex_messages.h"
PRINTF_SHARED = re.compile(r'(?<![a-z])f?printf\s*\(\s*(?:(?:stdout|stderr)\s*,\s*)?wex_messages::(\w+)')
SHARED_TEXT = re.compile(r'inline constexpr char (\w+)\[\] = "((?:[^"\\]|\\.)*)";')
# The companion builds its messages from pieces: the literals of a line that prints,
# returns or stores a message.
MESSAGE_LINE = re.compile(r'\b(?:error|what|failure)\b\s*(?:=|\()|return\s+(?:std::string\()?"')
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')
CONVERSION = re.compile(r"%[-+ #0]*[0-9]*(?:\.[0-9]+)?(?:l|ll|z|h)?[a-zA-Z]")


def rendered(page):
    text = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", "-rLL=1000n", "-rHY=0", str(page)],
                          check=True, capture_output=True, text=True).stdout
    text = re.sub(r".\x08", "", text)
    return " ".join(text.split())


def program_messages():
    """Every literal the program prints, split into its fixed pieces."""
    shared = dict(SHARED_TEXT.findall(MESSAGES_HEADER.read_text()))
    messages = []
    for folder in PROGRAM_SOURCES:
        for path in sorted((SOURCE_DIR / folder).glob("*.cpp")):
            source = path.read_text()
            literals = PRINTF_LITERAL.findall(source)
            for name in PRINTF_SHARED.findall(source):
                if name not in shared:
                    raise LookupError(f"{path.name} prints wex_messages::{name}, not a text in {MESSAGES_HEADER.name}")
                literals.append(shared[name])
            for literal in literals:
                text = literal.replace("\\n", "").replace("%%", "%")
                pieces = [p.strip() for p in CONVERSION.split(text) if len(p.strip(" :,")) >= 3]
                if pieces:
                    messages.append((path.name, text, pieces))
    return messages


def command_of(path):
    """The subcommand a source file of the companion belongs to by its name or its folder's, if any."""
    relative = path.relative_to(SOURCE_DIR / "wex-q40").as_posix()
    return next((c for c in COMMANDS if re.search(rf"(^|/){c}([_/.]|$)", relative)), None)


def companion_messages():
    """Every fixed piece of a message the companion prints, with the file and the line it comes from."""
    messages = []
    companion = SOURCE_DIR / "wex-q40"
    for path in sorted(p for p in companion.rglob("*.cpp") if "tests" not in p.relative_to(companion).parts):
        for line in path.read_text().splitlines():
            if line.lstrip().startswith("//"):
                continue
            literals = PRINTF_LITERAL.findall(line) if "printf" in line else (
                LITERAL.findall(line) if MESSAGE_LINE.search(line) else [])
            for literal in (lit for lit in literals if not lit.startswith("Usage:")):
                text = literal.replace("\\n", "").replace("%%", "%")
                pieces = [p.strip() for p in CONVERSION.split(text) if len(p.strip(" :,()")) >= 3]
                messages += [(path, line.strip(), piece) for piece in pieces]
    return messages


class Render(unittest.TestCase):
    def test_groff_prints_no_warning(self):
        for page in PAGES:
            with self.subTest(page.name):
                done = subprocess.run(["groff", "-ww", "-man", "-z", str(page)],
                                      capture_output=True, text=True)
                self.assertEqual((done.returncode, done.stderr), (0, ""))

    def test_man_prints_no_warning(self):
        for page in PAGES:
            with self.subTest(page.name):
                done = subprocess.run(["man", "--warnings", "-l", str(page)],
                                      capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual((done.returncode, done.stderr), (0, ""))

    def test_sections_are_all_there(self):
        shared = ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES", "SEE ALSO")
        for page, sections in ((PAGES[0], shared + ("FILES", "ENVIRONMENT")),
                               (PAGES[2], shared + ("OPTIONS", "CALIBRATION", "FILES", "ENVIRONMENT")),
                               *((page, shared + ("OPTIONS",)) for page in COMMAND_PAGES.values())):
            text = rendered(page)
            for section in sections:
                with self.subTest(page=page.name, section=section):
                    self.assertTrue(f" {section} " in text, section)


class Content(unittest.TestCase):
    text = rendered(PAGES[0])

    def test_every_message_the_program_prints_is_documented(self):
        messages = program_messages()
        self.assertGreaterEqual(len(messages), 15, "found too few messages in the sources")
        for source, message, pieces in messages:
            for piece in pieces:
                with self.subTest(source=source, message=message):
                    self.assertTrue(piece in self.text, f"{piece!r} is not in the man page")

    def test_documented_sample_report_is_what_printf_makes_of_it(self):
        temperature, humidity, dewpoint = 30.0, 50.6, 18.6
        for line in ("Temperature: %.1fC, %.1fF" % (temperature, temperature * 9.0 / 5.0 + 32.0),
                     "Humidity: %.1f%%" % humidity,
                     "Dewpoint: %.1fC, %.1fF" % (dewpoint, dewpoint * 9.0 / 5.0 + 32.0)):
            self.assertTrue(line in self.text, line)

    def test_exit_statuses_and_library_search_are_documented(self):
        for fact in ("EXIT STATUS 0 ", " 255 ", "LD_LIBRARY_PATH", "/etc/ld.so.conf",
                     "/usr/local/lib/libftd2xx.so", "60-wex-q40.rules", "plugdev",
                     "The program reads no environment variables."):
            self.assertTrue(fact in self.text, fact)


class CompanionContent(unittest.TestCase):
    text = rendered(PAGES[2])
    command_texts = {command: rendered(page) for command, page in COMMAND_PAGES.items()}

    def test_every_message_the_companion_prints_is_documented(self):
        """On the page of the command whose file prints it, or on wex-q40(1); a shared file's on any page."""
        messages = companion_messages()
        self.assertGreaterEqual(len(messages), 30, "found too few messages in the companion's sources")
        self.assertGreaterEqual(len({command_of(path) for path, _, _ in messages} - {None}), 5)
        everywhere = " ".join([self.text, *self.command_texts.values()])
        for path, line, piece in messages:
            command = command_of(path)
            text = self.text + " " + self.command_texts[command] if command else everywhere
            with self.subTest(source=path.name, line=line):
                self.assertTrue(piece in text, f"{piece!r} is not in wex-q40(1)"
                                + (f" nor in wex-q40-{command}(1)" if command else " nor in a command's page"))

    def test_subcommands_options_and_exit_statuses_are_documented(self):
        facts = {
            self.text: (" check ", " json ", " influx ", " textfile ", "check_wex_q40", "--humidity-warning",
                        "EXIT STATUS check 0 OK", "3 UNKNOWN", "json, influx 0 for a reading, 1 for", "WEX_Q40_TEST",
                        "WEX_Q40_LOCK", "WEX_Q40_TEXTFILE_DIR", "WEX_Q40_TIMEOUT", "/run/wex-q40/wex-q40.lock",
                        "/usr/lib/nagios/plugins/check_wex_q40", "plugdev", "mode 3770",
                        "/usr/lib/tmpfiles.d/wex-q40.conf", *(f"wex-q40-{c}(1)" for c in COMMANDS)),
            self.command_texts["check"]: ("check_wex_q40", "--humidity-warning", "--humidity-critical",
                                          "--dewpoint-warning", "--dewpoint-critical", "EXIT STATUS 0 OK",
                                          "3 UNKNOWN"),
            self.command_texts["json"]: ("EXIT STATUS 0 for a reading, 1 for",),
            self.command_texts["influx"]: ("EXIT STATUS 0 for a reading, 1 for",),
            self.command_texts["textfile"]: ("WEX_Q40_TEXTFILE_DIR", "WEX_Q40_TIMEOUT", "wex-q40-textfile(8)"),
        }
        for text, listed in facts.items():
            for fact in listed:
                with self.subTest(fact=fact):
                    self.assertTrue(fact in text, fact)

    def test_the_hook_and_the_subcommand_point_at_each_other(self):
        self.assertIn("wex-q40-textfile(1)", rendered(PAGES[1]))
        self.assertIn("wex-q40-textfile(8)", self.command_texts["textfile"])

    def test_no_page_names_the_old_lock_folder(self):
        for page in PAGES:
            with self.subTest(page.name):
                self.assertNotIn("/run/lock", rendered(page))

    def test_envelope_example_matches_the_usage(self):
        command = "check_wex_q40 -w 18:27 -c 15:32 --dewpoint-warning -9:15 --humidity-warning 60"
        self.assertIn(command, self.command_texts["check"])
        self.assertIn("temperature=22.4;18:27;15:32 humidity=41.5%;60;;0;100 dewpoint=8.7;-9:15;",
                      self.command_texts["check"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
