#!/usr/bin/python3
"""Times tolvane's noise models and whole studies, in one run, on this machine:

1. one run's noise on the default grid (26.7 million values) with each noise model, one
   thread (bench/noise_models_bench), against numpy's default_rng().standard_normal
   filling an array of as many float32 values (out=, so no allocation is timed), timed
   here in the same run;
2. a study of 16 runs of the default grid (white noise, one sphere) stored as float32
   and as int16, each with --jobs 1 and --jobs 2: the time, the BOLD files' size, the
   int16 study's time and size as ratios to the float32 study's at the same --jobs, the
   speed-up of two jobs, and beside them the disk's own write speed (dd of 512 MiB with
   fdatasync into the same folder);
3. one run of 96 x 96 x 60 voxels (2 mm) and 300 volumes with AR(1), 6 mm smoothness
   and drift, written as int16 .nii.gz with --jobs 2: the whole command's time, the best
   of three (a shared machine's speed wanders by a tenth from one run to the next; all
   three are shown), and its peak resident memory against the run's float32 size.

Usage (from the repository root, after a build):
  /usr/bin/python3 bench/study_bench.py [BUILD_FOLDER] [ROUNDS] [--studies-only]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy

ARGUMENTS = [a for a in sys.argv[1:] if not a.startswith("--")]
BUILD = ARGUMENTS[0] if ARGUMENTS else "build"
ROUNDS = int(ARGUMENTS[1]) if len(ARGUMENTS) > 1 else 5
VALUES = 58 * 40 * 46 * 250
PROTOCOL = os.path.abspath("examples/block_design.prt")
STUDY = f"""
datatype = "DATATYPE"
subjects = 4
runs = 4
protocol = "{PROTOCOL}"

[[region]]
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}
"""
# 96 x 96 x 60 voxels of 2 mm in the empty 256^3 anatomical, 300 volumes.
LARGE_RUN = f"""
datatype = "int16"
volumes = 300
protocol = "{PROTOCOL}"

[grid]
box = [32, 224, 32, 224, 68, 188]
resolution = 2

[noise]
model = "ar1"
rho = 0.4
smoothness_mm = 6
drift = {{ sd = 2 }}

[[region]]
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}
"""
LARGE_RUN_VALUES = 96 * 96 * 60 * 300
LARGE_RUN_ROUNDS = 3


def numpy_standard_normal_ms():
    generator = numpy.random.default_rng(1)
    values = numpy.empty(VALUES, dtype=numpy.float32)
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.perf_counter()
        generator.standard_normal(dtype=numpy.float32, out=values)
        best = min(best, time.perf_counter() - start)
    return best * 1000


def simulate(folder, text, name, jobs):
    """Runs one study and removes it; returns (seconds, BOLD bytes, peak resident bytes,
    CPU seconds). On a machine that others share, the CPU time shows the work done when
    the wall time mostly shows the waiting."""
    study = os.path.join(folder, "study.toml")
    with open(study, "w") as file:
        file.write(text)
    output = os.path.join(folder, name)
    start = time.perf_counter()
    process = subprocess.Popen([os.path.join(BUILD, "tolvane", "tolvane"), "simulate", study,
                                "--output", output, "--jobs", str(jobs)],
                               stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"tolvane simulate failed for {name}")
    bold = sum(os.path.getsize(os.path.join(where, n)) for where, _, names in os.walk(output)
               for n in names if n.endswith("_bold.nii.gz"))
    shutil.rmtree(output)
    return seconds, bold, usage.ru_maxrss * 1024, usage.ru_utime + usage.ru_stime


def disk_mib_per_second(folder):
    target = os.path.join(folder, "dd.bin")
    result = subprocess.run(["dd", "if=/dev/zero", f"of={target}", "bs=1M", "count=512",
                             "conv=fdatasync"], capture_output=True, text=True, check=True)
    os.remove(target)
    # "... copied, 0.5 s, 1.0 GB/s": bytes over seconds, from the numbers dd gives.
    words = result.stderr.strip().splitlines()[-1].split(",")
    seconds = float(words[-2].split()[0])
    return 512 / seconds


def noise_models():
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


def main():
    if "--studies-only" not in sys.argv:
        noise_models()
    folder = tempfile.mkdtemp(prefix="tolvane-study-bench-", dir=".")
    try:
        studies = {(datatype, jobs): simulate(folder, STUDY.replace("DATATYPE", datatype),
                                              f"{datatype}-{jobs}", jobs)
                   for jobs in (1, 2) for datatype in ("float32", "int16")}
        disk = disk_mib_per_second(folder)
        large = [simulate(folder, LARGE_RUN, "large", 2) for _ in range(LARGE_RUN_ROUNDS)]
    finally:
        shutil.rmtree(folder)
    mb = 1e6
    print("A study of 16 runs of the default grid (white noise), written as .nii.gz:")
    for jobs in (1, 2):
        for datatype in ("float32", "int16"):
            seconds, size, _, cpu = studies[(datatype, jobs)]
            line = (f"  {datatype:<7} --jobs {jobs}  {seconds:6.1f} s  ({16 / seconds:.2f} runs/s,"
                    f" CPU {cpu:5.1f} s)  {size / mb:7.1f} MB")
            if datatype == "int16":
                float_seconds, float_size, _, _ = studies[("float32", jobs)]
                line += (f"   x float32: time {seconds / float_seconds:.2f},"
                         f" size {size / float_size:.2f}")
            elif jobs == 2:
                line += f"   speed-up of two jobs {studies[('float32', 1)][0] / seconds:.2f}"
            print(line)
    print(f"  the disk's own write speed (dd, fdatasync): {disk:.0f} MiB/s")
    seconds, size, _, cpu = min(large)
    peak = max(run[2] for run in large)
    run_bytes = LARGE_RUN_VALUES * 4
    print("One run of 96 x 96 x 60 voxels, 300 volumes, AR(1) + 6 mm smoothness + drift, "
          f"int16 .nii.gz, --jobs 2, best of {LARGE_RUN_ROUNDS}:")
    print(f"  {seconds:.2f} s (CPU {cpu:.2f} s; all: "
          f"{', '.join(f'{run[0]:.2f}' for run in large)} s), {size / mb:.1f} MB,"
          f" peak resident memory {peak / 2**20:.0f} MiB"
          f" = {peak / run_bytes:.2f} x the run's float32 size ({run_bytes / 2**20:.0f} MiB)")


if __name__ == "__main__":
    main()
