#!/usr/bin/python3
"""Times hvhost end to end with the dialogue defaults on the default grid.

Reports the simulation (from "Creating noise data..." to the save dialogue's answer)
and the saving of the native VTC separately, the peak resident memory against the
budget of the VTC's bytes x 1.1 + 64 MiB, and the disk's sequential write speed
measured with dd in the same run. Each figure is the best of several runs.

Usage: bench/hvhost_end_to_end.py BUILD_DIR [repetitions]
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

SIMULATION_START = "// Plugin>  Creating noise data..."
SAVING_START = "// Plugin>  Saving created VTC file as"
COMPLETED = "// Plugin>  Tolvane Plugin completed!"


def timed_run(hvhost, module, protocol, output_dir):
    """One run; returns (simulation seconds, saving seconds, peak RSS bytes, VTC bytes)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    process = subprocess.Popen(
        [hvhost, "--defaults", "--protocol", protocol, "--output-dir", output_dir, module],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
    stamps = {}
    for line in process.stdout:
        for marker in (SIMULATION_START, SAVING_START, COMPLETED):
            if line.startswith(marker):
                stamps[marker] = time.monotonic()
    if process.wait() != 0:
        sys.exit(f"hvhost failed with status {process.returncode}")
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    if len(stamps) != 3:
        sys.exit("hvhost's log lacked the lines this benchmark times")
    vtc_bytes = os.path.getsize(os.path.join(output_dir, "Simulated.vtc"))
    return (stamps[SAVING_START] - stamps[SIMULATION_START],
            stamps[COMPLETED] - stamps[SAVING_START], max(peak_kib, before) * 1024, vtc_bytes)


def dd_seconds(directory, size_bytes):
    """Writes size_bytes to a file with dd and fsync, as the disk's sequential speed."""
    target = os.path.join(directory, "dd.bin")
    start = time.monotonic()
    subprocess.run(["dd", "if=/dev/zero", f"of={target}", "bs=1M",
                    f"count={max(1, size_bytes >> 20)}", "conv=fdatasync"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.monotonic() - start
    os.remove(target)
    return elapsed


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    hvhost = os.path.join(build, "host", "hvhost")
    module = os.path.join(build, "libtolvane.so")
    protocol = os.path.join(root, "examples", "block_design.prt")
    simulation = saving = dd = float("inf")
    peak = vtc = 0
    with tempfile.TemporaryDirectory(dir=build) as work:
        for _ in range(repetitions):
            output = tempfile.mkdtemp(dir=work)
            s, w, p, v = timed_run(hvhost, module, protocol, output)
            simulation, saving, peak, vtc = min(simulation, s), min(saving, w), max(peak, p), v
            dd = min(dd, dd_seconds(work, v))
            shutil.rmtree(output)
    budget = vtc * 1.1 + 64 * 2**20
    mib = 2**20
    print(f"hvhost --defaults, default grid, best of {repetitions} runs")
    print(f"  simulation (noise + signal passes)     {simulation * 1000:8.1f} ms")
    print(f"  saving the native VTC ({vtc / mib:.0f} MiB)       {saving * 1000:8.1f} ms"
          f"   ({vtc / mib / saving:.0f} MiB/s)")
    print(f"  dd, same size, same disk, fdatasync     {dd * 1000:8.1f} ms   ({vtc / mib / dd:.0f} MiB/s)")
    print(f"  peak resident memory                   {peak / mib:8.1f} MiB"
          f"   (budget {budget / mib:.1f} MiB: {'within' if peak <= budget else 'OVER'})")
    return 0 if peak <= budget else 1


if __name__ == "__main__":
    sys.exit(main())
