#!/usr/bin/python3
"""Times hvhost's .nii.gz export of the default VTC against gzip and libdeflate-gzip.

On the default grid (58 x 40 x 46 voxels, 250 volumes) it times, round by round:
  - `hvhost convert VTC out.nii.gz` with every core, and on one core (taskset -c 0,
    which hvhost's writer follows), against `gzip -N` and `libdeflate-gzip -N` on the
    plain .nii of the same VTC, at level 1 (hvhost's default) and at gzip's default 6;
  - a whole scripted run with the --defaults answers that saves Simulated.nii.gz,
    against the same run saving Simulated.vtc.
hvhost's times include reading the VTC and flushing the file to disk; the tools read
the .nii from the page cache and do not flush. Each figure is the best of the rounds
(the machines are shared), with the CPU time (user + system) of that best run.

Usage: bench/nifti_gzip_bench.py BUILD_DIR [rounds]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

TARGET_ALL_CORES = 0.25   # x gzip -1's time, with two threads
TARGET_ONE_CORE = 0.5     # x gzip -1's time, with one
TARGET_END_TO_END = 2.0   # x the same run saving the native VTC

DEFAULT_ANSWERS = """simulated time points  => 250
protocol file          => {protocol}
Select condition       => 2
cross position         => yes
Enter Name For Saving  => {name}
"""


def timed(command, stdin_text=None, stdout_path=None):
    """Runs a command; returns (wall seconds, CPU seconds, peak RSS bytes) of that process."""
    stdout = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    start = time.monotonic()
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=stdout,
                               stderr=subprocess.DEVNULL)
    if stdin_text is not None:
        process.stdin.write(stdin_text.encode())
    process.stdin.close()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if stdout_path:
        stdout.close()
    if process.returncode != 0:
        sys.exit(f"{' '.join(command)} failed with status {process.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    hvhost = os.path.join(build, "host", "hvhost")
    module = os.path.join(build, "libtolvane.so")
    protocol = os.path.join(root, "examples", "block_design.prt")
    for tool in ("gzip", "libdeflate-gzip", "taskset"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing (scripts/install-dependencies installs it)")

    with tempfile.TemporaryDirectory(dir=build) as work:
        def path(name):
            return os.path.join(work, name)

        def run_defaults(name):
            answers = DEFAULT_ANSWERS.format(protocol=protocol, name=name)
            return [hvhost, "--answers", "-", "--output-dir", work, module], answers

        command, answers = run_defaults("Simulated.vtc")
        timed(command, answers)
        vtc = path("Simulated.vtc")
        timed([hvhost, "convert", vtc, path("plain.nii")])
        cores = len(os.sched_getaffinity(0))

        cases = {}
        for level in (1, 6):
            cases[f"hvhost convert, level {level}, {cores} cores"] = (
                [hvhost, "convert", "--gzip-level", str(level), vtc, path(f"h{level}.nii.gz")],
                None, None, path(f"h{level}.nii.gz"))
            cases[f"hvhost convert, level {level}, 1 core"] = (
                ["taskset", "-c", str(min(os.sched_getaffinity(0))), hvhost, "convert",
                 "--gzip-level", str(level), vtc, path(f"o{level}.nii.gz")],
                None, None, path(f"o{level}.nii.gz"))
            for tool in ("gzip", "libdeflate-gzip"):
                out = path(f"{tool}{level}.gz")
                cases[f"{tool} -{level}"] = (
                    [tool, f"-{level}", "-c", path("plain.nii")], None, out, out)
        for name in ("Simulated.vtc", "Simulated.nii.gz"):
            command, answers = run_defaults(name)
            cases[f"whole run saving {name}"] = (command, answers, None, path(name))

        best = {name: (float("inf"), 0.0, 0) for name in cases}
        for _ in range(rounds):
            for name, (command, stdin_text, stdout_path, _) in cases.items():
                wall, cpu, peak = timed(command, stdin_text, stdout_path)
                if wall < best[name][0]:
                    best[name] = (wall, cpu, peak)
        sizes = {name: os.path.getsize(case[3]) for name, case in cases.items()}

    mb = 1e6
    native = sizes["whole run saving Simulated.vtc"]
    print(f"hvhost .nii.gz export of the default VTC ({native / mb:.1f} MB native),"
          f" best of {rounds} rounds")
    print(f"  {'':44} {'wall ms':>8} {'CPU ms':>8} {'MB':>7} {'x gzip':>7}")
    for level in (1, 6):
        gzip_wall = best[f"gzip -{level}"][0]
        for name in (f"hvhost convert, level {level}, {cores} cores",
                     f"hvhost convert, level {level}, 1 core", f"gzip -{level}",
                     f"libdeflate-gzip -{level}"):
            wall, cpu, _ = best[name]
            print(f"  {name:44} {wall * 1000:8.0f} {cpu * 1000:8.0f} {sizes[name] / mb:7.2f}"
                  f" {wall / gzip_wall:7.2f}")
    vtc_wall = best["whole run saving Simulated.vtc"][0]
    for name in ("whole run saving Simulated.vtc", "whole run saving Simulated.nii.gz"):
        wall, cpu, peak = best[name]
        print(f"  {name:44} {wall * 1000:8.0f} {cpu * 1000:8.0f} {sizes[name] / mb:7.2f}"
              f"   ({wall / vtc_wall:.2f} x the .vtc run, peak RSS {peak / 2**20:.0f} MiB)")

    gzip1 = best["gzip -1"][0]
    checks = [
        (f"{cores} cores <= {TARGET_ALL_CORES} x gzip -1",
         best[f"hvhost convert, level 1, {cores} cores"][0] <= TARGET_ALL_CORES * gzip1),
        (f"1 core <= {TARGET_ONE_CORE} x gzip -1",
         best["hvhost convert, level 1, 1 core"][0] <= TARGET_ONE_CORE * gzip1),
        ("level 1 file no larger than gzip -1's",
         sizes[f"hvhost convert, level 1, {cores} cores"] <= sizes["gzip -1"]),
        (f".nii.gz run <= {TARGET_END_TO_END} x .vtc run",
         best["whole run saving Simulated.nii.gz"][0] <= TARGET_END_TO_END * vtc_wall),
    ]
    for text, met in checks:
        print(f"  {text}: {'met' if met else 'MISSED'}")
    return 0 if all(met for _, met in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
