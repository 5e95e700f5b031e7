#!/usr/bin/python3
"""Draws the README's Munin graphs from a real run: Debian's munin-update polls the plugin wex_q40 (munin-run, with
the shipped plugin-conf.d drop-in) against the virtual module every five minutes of a faked day, the module following
a room that warms by day, then munin-cron draws the day graphs. Run as root (munin's programs run as munin) from a
built tree; needs the Debian packages munin, munin-node and faketime."""
import argparse
import math
import random
import shutil
import subprocess
import sys
import tempfile
from datetime import datetime, timedelta, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "testsupport" / "python"))
from debian_programs import tool  # noqa: E402
from munin_node import FakeNode, as_munin, master_config  # noqa: E402

HOST = "lab"
STEP = timedelta(minutes=5)
# The day graph's width: 400 points of five minutes.
DAY_GRAPH = timedelta(hours=33, minutes=20)
GRAPHS = ("wex_q40_temperature", "wex_q40_humidity")


def library_of_faketime():
    found = sorted(Path("/usr/lib").glob("*/faketime/libfaketime.so.1"))
    if not found:
        sys.exit("libfaketime is missing (Debian package faketime)")
    return str(found[0])


def room(at, noise):
    """A room cooled to 21 C at night, warmer by afternoon, its air's water content about constant."""
    hours = at.hour + at.minute / 60
    temperature = 21.5 + 1.8 * math.sin(2 * math.pi * (hours - 9) / 24) + noise.gauss(0, 0.15)
    dewpoint = 8.5 + 0.6 * math.sin(2 * math.pi * (hours - 14) / 24) + noise.gauss(0, 0.1)
    magnus = lambda t: math.exp(17.62 * t / (243.12 + t))  # noqa: E731
    return round(temperature, 1), round(100 * magnus(dewpoint) / magnus(temperature), 1)


def main():
    source = Path(__file__).resolve().parents[1]
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", type=Path, default=source / "build", help="the built tree (default: build/)")
    parser.add_argument("--out", type=Path, default=source / "doc", help="where the PNG files go (default: doc/)")
    parser.add_argument("--hours", type=float, default=DAY_GRAPH / timedelta(hours=1),
                        help="how much history to make (default: the whole day graph)")
    parser.add_argument("--end", default="2026-12-01T18:00:00", help="the faked time of the last poll (UTC)")
    args = parser.parse_args()
    companion, program = args.build / "bin" / "wex-q40", args.build / "bin" / "wex_q40_test"
    library = args.build / "vmodule-lib"
    for built in (companion, program, library / "libftd2xx.so"):
        if not built.exists():
            sys.exit(f"{built} is missing: build the tree first (cmake --preset default && cmake --build --preset "
                     "default)")
    end = datetime.fromisoformat(args.end).replace(tzinfo=timezone.utc)
    steps = int(timedelta(hours=args.hours) / STEP)
    noise = random.Random(40)

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for name in ("plugins", "conf"):
            (folder / name).mkdir()
        # The build folder may be out of munin's reach (a clone in /root): copies it may run.
        for built in (companion, program, library / "libftd2xx.so"):
            shutil.copy(built, folder / built.name)
        (folder / "plugins" / "wex_q40").symlink_to(folder / companion.name)
        shutil.copy(source / "packaging" / "examples" / "munin-wex-q40.conf", folder / "conf" / "wex-q40")
        with FakeNode(HOST, folder / "plugins", folder / "conf", "wex_q40") as node:
            config = master_config(folder, HOST, node.port)
            for step in range(steps + 1):
                at = end - (steps - step) * STEP
                temperature, humidity = room(at, noise)
                # A lock of each poll's own, so that no poll takes the reading of the one before.
                (folder / "conf" / "zz-room").write_text(
                    f"[wex_q40]\nuser root\nenv.LD_LIBRARY_PATH {folder}\nenv.WEX_Q40_TEST {folder / program.name}\n"
                    f"env.WEX_Q40_LOCK {folder}/lock-{step}\nenv.VWEX_TEMP {temperature}\nenv.VWEX_HUM {humidity}\n"
                    "env.temperature_warning 18:27\nenv.humidity_warning :60\nenv.dewpoint_warning -9:15\n")
                last = step == steps
                munin = tool("munin-cron", "munin") if last else tool("munin-update", "munin")
                # Preloaded after runuser, whose root would share a clock the user munin may not open.
                faked = ["env", f"LD_PRELOAD={library_of_faketime()}", at.strftime("FAKETIME=@%Y-%m-%d %H:%M:%S")]
                done = subprocess.run(as_munin(folder, [*faked, munin, "--config", str(config)]), capture_output=True,
                                      text=True, env={"TZ": "UTC", "PATH": "/usr/bin:/bin"})
                if done.returncode != 0:
                    sys.exit(f"{Path(munin).name} at {at}: {done.stderr}{done.stdout}")
        args.out.mkdir(parents=True, exist_ok=True)
        for graph in GRAPHS:
            drawn = next((folder / "www").rglob(f"{graph}-day.png"), None)
            if drawn is None:
                sys.exit(f"munin-cron drew no {graph}-day.png: {sorted((folder / 'log').iterdir())}")
            shutil.copy(drawn, args.out / f"munin-{graph.removeprefix('wex_q40_')}-day.png")
            print(args.out / f"munin-{graph.removeprefix('wex_q40_')}-day.png")


if __name__ == "__main__":
    main()
