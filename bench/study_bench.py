#!/usr/bin/python3
"""Times tolvane's noise models and whole studies, in one run, on this machine:

1. one run's noise on the default grid (26.7 million values) with each noise model, one
   thread (bench/noise_models_bench), against numpy's default_rng().standard_normal
   filling an array of as many float32 values (out=, so no allocation is timed), timed
   here in the same run;
2. a study of 16 runs of the default grid (white noise, one sphere) with --jobs 1 and
   --jobs 2: runs per second, the speed-up, and beside it the disk's own write speed
   (dd of 512 MiB with fdatasync into the same folder), since every run writes about
   90 MB of compressed data.

Usage (from the repository root, after a build):
  /usr/bin/python3 bench/study_bench.py [BUILD_FOLDER] [ROUNDS]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
VALUES = 58 * 40 * 46 * 250
PROTOCOL = os.path.abspath("examples/block_design.prt")
STUDY = f"""
subjects = 4
runs = 4
protocol = "{PROTOCOL}"

[[region]]
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}
"""


def numpy_standard_normal_ms():
    generator = numpy.random.default_rng(1)
    values = numpy.empty(VALUES, dtype=numpy.float32)
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.perf_counter()
        generator.standard_normal(dtype=numpy.float32, out=values)
        best = min(best, time.perf_counter() - start)
    return best * 1000


def study_seconds(folder, jobs):
    study = os.path.join(folder, "study.toml")
    with open(study, "w") as file:
        file.write(STUDY)
    output = os.path.join(folder, f"jobs{jobs}")
    start = time.perf_counter()
    subprocess.run([os.path.join(BUILD, "tolvane", "tolvane"), "simulate", study, "--output",
                    output, "--jobs", str(jobs)], check=True, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    shutil.rmtree(output)
    return seconds


def disk_mib_per_second(folder):
    target = os.path.join(folder, "dd.bin")
    result = subprocess.run(["dd", "if=/dev/zero", f"of={target}", "bs=1M", "count=512",
                             "conv=fdatasync"], capture_output=True, text=True, check=True)
    os.remove(target)
    # "... copied, 0.5 s, 1.0 GB/s": bytes over seconds, from the numbers dd gives.
    words = result.stderr.strip().splitlines()[-1].split(",")
    seconds = float(words[-2].split()[0])
    return 512 / seconds


def main():
    models = json.loads(subprocess.run([os.path.join(BUILD, "bench", "noise_models_bench"),
                                        str(ROUNDS)], capture_output=True, text=True,
                                       check=True).stdout)
    numpy_ms = numpy_standard_normal_ms()
    print(f"One run's noise, default grid ({VALUES / 1e6:.1f} million values), one thread, "
          f"best of {ROUNDS}:")
    print(f"  numpy default_rng().standard_normal (float32)   {numpy_ms:8.1f} ms")
    for name in ("white", "ar1", "smooth", "drift", "all", "mixed", "ar4", "arma11", "levels",
                 "physio", "magnitude", "scanner"):
        print(f"  {name:<9} {models[name + '_ms']:8.1f} ms   x white {models[name + '_ratio']:.2f}"
              f"   x numpy {models[name + '_ms'] / numpy_ms:.2f}")

    folder = tempfile.mkdtemp(prefix="tolvane-study-bench-", dir=".")
    try:
        one = study_seconds(folder, 1)
        two = study_seconds(folder, 2)
        disk = disk_mib_per_second(folder)
    finally:
        shutil.rmtree(folder)
    print("A study of 16 runs of the default grid (white noise), written as .nii.gz:")
    print(f"  --jobs 1  {one:6.1f} s  ({16 / one:.2f} runs/s)")
    print(f"  --jobs 2  {two:6.1f} s  ({16 / two:.2f} runs/s)   speed-up {one / two:.2f}")
    print(f"  the disk's own write speed (dd, fdatasync): {disk:.0f} MiB/s")


if __name__ == "__main__":
    main()
