"""Renders the man pages with every groff warning on and checks that they document every message."""
import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

SOURCE_DIR = Path(sys.argv.pop(1))
PAGES = [SOURCE_DIR / "packaging" / "wex_q40_test.1", SOURCE_DIR / "packaging" / "wex-q40-textfile.8"]
PROGRAM_SOURCES = ["app", "driver", "ftdi_backend"]
PRINTF_LITERAL = re.compile(r'(?<![a-z])f?printf\s*\(\s*(?:stdout\s*,\s*)?"((?:[^"\\]|\\.)*)"')
CONVERSION = re.compile(r"%[-+ #0]*[0-9]*(?:\.[0-9]+)?(?:l|ll|z|h)?[a-zA-Z]")


def rendered(page):
    text = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", "-rLL=1000n", "-rHY=0", str(page)],
                          check=True, capture_output=True, text=True).stdout
    text = re.sub(r".\x08", "", text)
    return " ".join(text.split())


def program_messages():
    """Every literal the program prints, split into its fixed pieces."""
    messages = []
    for folder in PROGRAM_SOURCES:
        for path in sorted((SOURCE_DIR / folder).glob("*.cpp")):
            for literal in PRINTF_LITERAL.findall(path.read_text()):
                text = literal.replace("\\n", "").replace("%%", "%")
                pieces = [p.strip() for p in CONVERSION.split(text) if len(p.strip(" :,")) >= 3]
                if pieces:
                    messages.append((path.name, text, pieces))
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
        text = rendered(PAGES[0])
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS", "FILES",
                        "ENVIRONMENT", "EXAMPLES", "SEE ALSO"):
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
