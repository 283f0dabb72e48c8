#!/usr/bin/python3
"""Times one repetition of a group experiment in memory against the same work through
files, side by side in one run: the target is a ratio of at most 0.25.

The study: 12 subjects of one run, the block design (266 volumes), a sphere with a
Task effect, smooth AR(1) noise, on a 32 x 32 x 16 grid (or 16 x 16 x 8 with --small).
In memory: tolvane experiment STUDY --repetitions 1 --contrast Task. Through files:
tolvane simulate (a .nii.gz per run), then tolvane group (every run's glm fitted from
its file and written, fixed effects and the group maps written). Each is timed ROUNDS
times, alternating; printed are the medians, of wall-clock and of processor
seconds (the machines are shared, and simulate uses every core), and their ratios.

Usage (from the repository root, after a build):
  /usr/bin/python3 bench/experiment_bench.py [BUILD_FOLDER] [ROUNDS] [--small]
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

arguments = [a for a in sys.argv[1:] if a != "--small"]
BUILD = arguments[0] if arguments else "build"
ROUNDS = int(arguments[1]) if len(arguments) > 1 else 3
SMALL = "--small" in sys.argv
TOLVANE = os.path.abspath(os.path.join(BUILD, "tolvane", "tolvane"))
TARGET_RATIO = 0.25
STUDY = """
subjects = 12
task = "blocks"
protocol = "{protocol}"

[[region]]
name = "sphere"
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "1%" }}

[noise]
sd = 5
smoothness_mm = 6
model = "ar1"
rho = 0.3

[grid]
box = {box}
resolution = 3
"""


def timed(*command):
    """Wall-clock and processor seconds (user and system, of the child) of a command."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def plus(a, b):
    return a[0] + b[0], a[1] + b[1]


def main():
    folder = tempfile.mkdtemp(prefix="tolvane-experiment-bench-")
    try:
        study = os.path.join(folder, "study.toml")
        box = "[96, 144, 96, 144, 108, 132]" if SMALL else "[80, 176, 80, 176, 96, 144]"
        with open(study, "w") as file:
            file.write(STUDY.format(protocol=os.path.abspath("examples/block_design.prt"), box=box))
        memory, files = [], []
        for round_ in range(ROUNDS):
            output = os.path.join(folder, f"experiment-{round_}")
            memory.append(timed(TOLVANE, "experiment", study, "--repetitions", "1", "--contrast",
                                "Task", "--output", output))
            dataset = os.path.join(folder, f"dataset-{round_}")
            files.append(plus(timed(TOLVANE, "simulate", study, "--output", dataset),
                              timed(TOLVANE, "group", dataset, "--contrast", "Task")))
            shutil.rmtree(dataset)
        for index, kind in ((0, "wall-clock"), (1, "processor")):
            in_memory = statistics.median(m[index] for m in memory)
            through_files = statistics.median(f[index] for f in files)
            print(f"{kind} seconds (median of {ROUNDS}): one repetition in memory "
                  f"{in_memory:.2f}, through files {through_files:.2f}, ratio "
                  f"{in_memory / through_files:.3f} (target at most {TARGET_RATIO})")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
