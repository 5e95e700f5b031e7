"""Checks each subcommand's man page against the option rows getopt, the help and the completion are made from:
every option of a subcommand is on its page, or among the common ones on wex-q40(1) that its page points at, with its
letter, its argument, its variable and its default; no page describes an option its subcommand does not take; and the
help names the page."""
import argparse
import re
import subprocess
import sys
import unittest
from collections import namedtuple
from pathlib import Path

parser = argparse.ArgumentParser()
parser.add_argument("--source-dir", type=Path, required=True)
parser.add_argument("--option-rows", required=True, help="wex_q40_option_rows")
parser.add_argument("--companion", required=True)
ARGS, rest = parser.parse_known_args()
sys.argv[1:] = rest

PACKAGING = ARGS.source_dir / "packaging"
GENERAL = PACKAGING / "wex-q40.1"
Row = namedtuple("Row", "command kind name letter argument variable fallback")
Entry = namedtuple("Entry", "tags body")
OPTION = re.compile(r"(?<![\w-])--?[A-Za-z][\w-]*")
ROFF_ESCAPE = re.compile(r"\\f[BIRP]|\\&|\\\||\\\(\w\w|\\[~ ]")


def rows():
    out = subprocess.run([ARGS.option_rows], check=True, capture_output=True, text=True).stdout
    return [Row(*line.split("\t")) for line in out.splitlines()]


def plain(line):
    """A line of roff as the reader sees its words: a font macro's arguments joined, escapes gone."""
    if line.startswith("."):
        macro, _, rest = line[1:].partition(" ")
        words = [quoted or bare for quoted, bare in re.findall(r'"([^"]*)"|(\S+)', rest)]
        line = (" " if macro in ("B", "I") else "").join(words) if macro in (
            "B", "I", "BI", "IB", "BR", "RB", "IR", "RI") else ""
    return ROFF_ESCAPE.sub(lambda m: " " if m.group() in ("\\~", "\\ ") else "", line).replace("\\-", "-")


def section(page, name):
    lines = page.read_text().splitlines()
    heads = [i for i, line in enumerate(lines) if line.startswith(".SH ")]
    for start, end in zip(heads, heads[1:] + [len(lines)]):
        if lines[start][4:].strip('"') == name:
            return lines[start + 1:end]
    raise LookupError(f"{page.name} has no {name}")


def entries(lines):
    """The tagged paragraphs: the lines after .TP and .TQ, and the text up to the next paragraph."""
    found = []
    tag_next = False
    for line in lines:
        if line in (".TP", ".TQ"):
            if line == ".TP":
                found.append(Entry([], []))
            tag_next = True
        elif tag_next:
            found[-1].tags.append(plain(line))
            tag_next = False
        elif line.startswith((".PP", ".SS", ".SH")):
            found.append(Entry([], []))
        elif found:
            found[-1].body.append(plain(line))
    return [Entry(" ".join(e.tags), " ".join(e.body)) for e in found if e.tags]


def describing(found, row):
    return [e for e in found if f"--{row.name}" in OPTION.findall(e.tags)]


def has_word(text, word):
    return re.search(r"(?<![\w./-])" + re.escape(word) + r"(?![\w/-])", text) is not None


class Pages(unittest.TestCase):
    rows = rows()
    commands = list(dict.fromkeys(r.command for r in rows))
    general = entries(section(GENERAL, "OPTIONS"))

    def page(self, command):
        return PACKAGING / f"wex-q40-{command}.1"

    def test_rows_were_read(self):
        self.assertGreaterEqual(len(self.commands), 9)
        self.assertTrue(all(any(r.kind == "own" for r in self.rows if r.command == c) for c in ("check", "mqtt")))

    def test_every_option_is_on_its_page_or_among_the_common_ones(self):
        for command in self.commands:
            options = section(self.page(command), "OPTIONS")
            own = entries(options)
            text = " ".join(plain(line) for line in options)
            for row in (r for r in self.rows if r.command == command):
                with self.subTest(command=command, option=row.name):
                    described = describing(own, row)
                    if not described:
                        self.assertEqual(row.kind, "common", f"--{row.name} is not in the OPTIONS of {command}")
                        self.assertIn("wex-q40(1)", text)
                        short = f"-{row.letter}" if row.letter else f"--{row.name}"
                        self.assertIn(short, OPTION.findall(text), "not named among the common options")
                        described = describing(self.general, row)
                        self.assertTrue(described, f"--{row.name} is not in the OPTIONS of wex-q40(1)")
                    tags = " ".join(e.tags for e in described)
                    body = " ".join(e.body for e in described)
                    if row.letter:
                        self.assertIn(f"-{row.letter}", OPTION.findall(tags))
                    if row.argument:
                        self.assertIn(row.argument.lower(), tags.split())
                    if row.variable:
                        self.assertIn(row.variable, body)
                    if row.fallback:
                        self.assertTrue(has_word(body, row.fallback), f"default {row.fallback} not in: {body}")

    def test_no_page_describes_an_option_its_command_does_not_take(self):
        for command in self.commands:
            taken = {f"--{r.name}" for r in self.rows if r.command == command}
            taken |= {f"-{r.letter}" for r in self.rows if r.command == command and r.letter}
            for entry in entries(section(self.page(command), "OPTIONS")):
                with self.subTest(command=command, tag=entry.tags):
                    self.assertLessEqual(set(OPTION.findall(entry.tags)), taken)
        common = {f"--{r.name}" for r in self.rows if r.kind == "common"}
        common |= {f"-{r.letter}" for r in self.rows if r.kind == "common" and r.letter}
        for command in self.commands:
            common &= {f"--{r.name}" for r in self.rows if r.command == command} | {
                f"-{r.letter}" for r in self.rows if r.command == command and r.letter}
        for entry in self.general:
            with self.subTest(page="wex-q40", tag=entry.tags):
                self.assertLessEqual(set(OPTION.findall(entry.tags)), common)

    def test_own_options_are_in_the_synopses(self):
        general = " ".join(plain(line) for line in section(GENERAL, "SYNOPSIS"))
        for row in (r for r in self.rows if r.kind == "own"):
            name = f"-{row.letter}" if row.letter else f"--{row.name}"
            synopsis = " ".join(plain(line) for line in section(self.page(row.command), "SYNOPSIS"))
            for page, text in ((row.command, synopsis), ("wex-q40", general)):
                with self.subTest(page=page, option=name):
                    self.assertIn(name, OPTION.findall(text))

    def test_help_names_the_page_and_the_page_names_itself(self):
        for command in self.commands:
            with self.subTest(command=command):
                done = subprocess.run([ARGS.companion, "help", command], capture_output=True, text=True)
                self.assertEqual(done.stdout.splitlines()[-1], f"See wex-q40-{command}(1).")
                name = plain(section(self.page(command), "NAME")[0])
                self.assertTrue(name.startswith(f"wex-q40-{command} ") or name.startswith(f"wex-q40-{command},"))
                self.assertIn(f"wex-q40-{command}(1)", " ".join(plain(line) for line in section(GENERAL, "SEE ALSO")))
        done = subprocess.run([ARGS.companion, "help"], capture_output=True, text=True)
        self.assertIn("See wex-q40(1)", done.stdout.splitlines()[-1])


if __name__ == "__main__":
    unittest.main(verbosity=2)
