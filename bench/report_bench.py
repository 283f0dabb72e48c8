#!/usr/bin/python3
"""Times the report of a 40-run study, in one run, on this machine: the page must stay
under 4 MB and be written and opened in under 20 s.

A study of 40 subjects of one run (the block design, one sphere, AR(1) noise) on the
default grid, or on a 20 x 20 x 20 box with --small, is simulated and analysed
(tolvane evaluate DATASET --contrast "Task" --prewhiten ar1 writes every run's
glm maps); then, ROUNDS times, tolvane report is timed, and the page is opened in
headless Chromium and timed to its load event. Printed: the page's size, the median
seconds of each step, and their ratios to the 20 s target.

Usage (from the repository root, after a build):
  /usr/bin/python3 bench/report_bench.py [BUILD_FOLDER] [ROUNDS] [--small]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "tolvane"))
arguments = [a for a in sys.argv[1:] if a != "--small"]
BUILD = arguments[0] if arguments else "build"
ROUNDS = int(arguments[1]) if len(arguments) > 1 else 3
SMALL = "--small" in sys.argv
TOLVANE = os.path.abspath(os.path.join(BUILD, "tolvane", "tolvane"))
os.environ.setdefault("TOLVANE", TOLVANE)
from analysis_test import Chromium  # noqa: E402  (after TOLVANE is set)

TARGET_SECONDS = 20.0
TARGET_BYTES = 4 * 1024 * 1024
STUDY = """
subjects = 40
task = "blocks"
protocol = "{protocol}"

[noise]
sd = 5
model = "ar1"
rho = 0.4

[[region]]
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}
"""
SMALL_GRID = """
[grid]
box = [84, 144, 84, 144, 84, 144]
resolution = 3
"""


def run(*command):
    subprocess.run(command, check=True, capture_output=True, text=True)


def main():
    folder = tempfile.mkdtemp(prefix="tolvane-report-bench-")
    try:
        study = os.path.join(folder, "forty.toml")
        with open(study, "w") as file:
            file.write(STUDY.format(protocol=os.path.abspath("examples/block_design.prt")))
            if SMALL:
                file.write(SMALL_GRID)
        dataset = os.path.join(folder, "forty")
        print(f"simulating and fitting 40 runs ({'20 x 20 x 20' if SMALL else 'default grid'})",
              flush=True)
        run(TOLVANE, "simulate", study, "--output", dataset)
        run(TOLVANE, "evaluate", dataset, "--contrast", "Task", "--prewhiten", "ar1")
        page = os.path.join(folder, "report.html")
        written, opened = [], []
        for _ in range(ROUNDS):
            start = time.monotonic()
            run(TOLVANE, "report", dataset, "--output", page)
            written.append(time.monotonic() - start)
            browser = Chromium(shutil.which("chromium"), os.path.join(folder, "profile"))
            try:
                start = time.monotonic()
                browser.open("file://" + page, 1280)
                opened.append(time.monotonic() - start)
            finally:
                browser.close()
        size = os.path.getsize(page)
        print(f"page {size / 1e6:.2f} MB ({size / TARGET_BYTES:.2f} x the 4 MiB limit)")
        for name, times in (("tolvane report", written), ("Chromium load", opened)):
            median = statistics.median(times)
            print(f"{name}: median {median:.2f} s of {ROUNDS} ({median / TARGET_SECONDS:.2f} x "
                  f"the 20 s target)")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
