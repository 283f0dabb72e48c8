#!/usr/bin/python3
"""Times tolvane fit-noise on a run of 96 x 96 x 60 voxels and 300 volumes (float32,
663 MB), generated here: a brain-shaped baseline (an ellipsoid of 800 with a slow
variation), AR(1) noise of tSNR 50 inside it, thermal noise of SNR 120 everywhere.

Prints, for the run as .nii and as .nii.gz (gzip -1): the wall time of the whole
command and of its parts (reading, from its progress lines, and the fit after it), its
CPU time (user + system, all threads), its peak memory (its maximum resident set;
both from /usr/bin/time), against the targets (10 s on two cores;
2 x the run's float32 size + 256 MiB), and the time to read the file alone
(`cat > /dev/null`, warm cache) as the baseline measured in the same run.

Usage (from the repository root, after a build):
  /usr/bin/python3 bench/fit_noise_bench.py [BUILD_FOLDER] [JOBS]
"""
import os
import subprocess
import sys
import tempfile
import time

import nibabel
import numpy

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
JOBS = sys.argv[2] if len(sys.argv) > 2 else "2"
DIMS = (96, 96, 60)
VOLUMES = 300
RUN_BYTES = DIMS[0] * DIMS[1] * DIMS[2] * VOLUMES * 4
MEMORY_TARGET = 2 * RUN_BYTES + 256 * 2**20
SECONDS_TARGET = 10.0


def write_run(path):
    """Writes the run volume by volume, so the generator holds one volume at a time."""
    rng = numpy.random.default_rng(7)
    x, y, z = numpy.meshgrid(*(numpy.arange(n) for n in DIMS), indexing="ij")
    inside = ((x - 47.5) / 40) ** 2 + ((y - 47.5) / 44) ** 2 + ((z - 29.5) / 26) ** 2 <= 1
    baseline = numpy.where(inside, 800 * (1 + 0.2 * numpy.sin(0.1 * x) * numpy.cos(0.08 * y)), 0)
    thermal = baseline[inside].mean() / 120
    fluctuation = numpy.sqrt(numpy.maximum((baseline / 50) ** 2 - thermal**2, 0))
    header = nibabel.Nifti1Header()
    header.set_data_shape(DIMS + (VOLUMES,))
    header.set_data_dtype(numpy.float32)
    header.set_zooms((2.5, 2.5, 2.5, 2.0))
    header.set_xyzt_units("mm", "sec")
    affine = numpy.diag([2.5, 2.5, 2.5, 1.0])
    affine[:3, 3] = [-120, -120, -75]
    header.set_sform(affine, 1)
    header.set_qform(affine, 1)
    rho = 0.3
    state = rng.standard_normal(DIMS)
    with open(path, "wb") as file:
        header.write_to(file)
        file.write(b"\0" * (int(header["vox_offset"]) - file.tell()))
        for _ in range(VOLUMES):
            state = rho * state + numpy.sqrt(1 - rho**2) * rng.standard_normal(DIMS)
            volume = baseline + fluctuation * state + thermal * rng.standard_normal(DIMS)
            file.write(volume.astype(numpy.float32).ravel(order="F").tobytes())


def read_seconds(path):
    start = time.perf_counter()
    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def fit(path, output, folder):
    """Runs fit-noise under /usr/bin/time; returns (total s, read s, CPU s, peak bytes)."""
    measures = os.path.join(folder, "time.txt")
    start = time.perf_counter()
    command = ["/usr/bin/time", "-f", "%M %U %S", "-o", measures,
               os.path.join(BUILD, "tolvane", "tolvane"), "fit-noise", path, "--output", output,
               "--jobs", JOBS]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    read_done = None
    for line in process.stderr:
        if read_done is None and not line.startswith("reading"):
            read_done = time.perf_counter() - start
    if process.wait() != 0:
        sys.exit("fit-noise failed")
    total = time.perf_counter() - start
    with open(measures) as file:
        peak_kib, user, system = file.read().split()[-3:]
    return total, read_done, float(user) + float(system), int(peak_kib) * 1024


def main():
    with tempfile.TemporaryDirectory() as folder:
        plain = os.path.join(folder, "run.nii")
        write_run(plain)
        subprocess.run(["gzip", "-1", "-k", plain], check=True)
        print(f"run: {DIMS[0]} x {DIMS[1]} x {DIMS[2]} x {VOLUMES}, {RUN_BYTES / 2**20:.0f} MiB "
              f"float32; fit-noise --jobs {JOBS}")
        print("| file | read alone | fit-noise | of which reading | CPU time | peak memory | targets |")
        print("|---|---|---|---|---|---|---|")
        for path in (plain, plain + ".gz"):
            baseline = read_seconds(path)
            total, reading, cpu, peak = fit(path, os.path.join(folder, "out"), folder)
            print(f"| {os.path.basename(path)} | {baseline:.2f} s | {total:.2f} s "
                  f"({total / baseline:.1f} x read) | {reading:.2f} s | {cpu:.2f} s | {peak / 2**20:.0f} MiB | "
                  f"{'met' if total <= SECONDS_TARGET else 'NOT met'} / "
                  f"{'met' if peak <= MEMORY_TARGET else 'NOT met'} "
                  f"(10 s; {MEMORY_TARGET / 2**20:.0f} MiB) |")


if __name__ == "__main__":
    main()
