#!/usr/bin/python3
"""Times hvhost end to end with the dialogue defaults, as a user runs it, against the
plain noise pass (one gasdev call per value) on storage touched beforehand, measured in
the same run by bench/plain_noise_pass_bench:

1. the default grid (58 x 40 x 46, 250 volumes), saving the native VTC to the build
   folder's disk: the whole run (start to exit), the noise pass as hvhost logs it (from
   "Creating noise data..." to "Creating signal + noise data..."), the saving, the
   disk's own sequential speed (dd with fdatasync), and the peak resident memory
   against the budget of the VTC's bytes x 1.1 + 64 MiB;
2. the finest grid of the default box (--resolution 1: 174 x 120 x 138, 250 volumes,
   2.7 GiB), saving to a tmpfs (/dev/shm), so that the disk does not dominate: the whole
   run and the noise pass, each as a ratio to the plain pass.

Each figure is the best of several runs; the log lines are timed as they arrive.

Usage: bench/hvhost_end_to_end.py BUILD_DIR [repetitions] [--default-only]
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

NOISE_START = "// Plugin>  Creating noise data..."
NOISE_END = "// Plugin>  Creating signal + noise data..."
SAVING_START = "// Plugin>  Saving created VTC file as"
COMPLETED = "// Plugin>  Tolvane Plugin completed!"
MARKERS = (NOISE_START, NOISE_END, SAVING_START, COMPLETED)


def timed_run(hvhost, module, protocol, output_dir, extra):
    """One run; returns ({marker: seconds since start}, whole seconds, peak RSS, VTC bytes)."""
    start = time.monotonic()
    process = subprocess.Popen(
        [hvhost, "--defaults", *extra, "--protocol", protocol, "--output-dir", output_dir,
         module], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
    stamps = {}
    for line in process.stdout:
        for marker in MARKERS:
            if line.startswith(marker):
                stamps[marker] = time.monotonic() - start
    # wait4 gives this child's own peak, not the largest of all children so far.
    _, status, usage = os.wait4(process.pid, 0)
    whole = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"hvhost failed with status {os.waitstatus_to_exitcode(status)}")
    if len(stamps) != len(MARKERS):
        sys.exit("hvhost's log lacked the lines this benchmark times")
    vtc_bytes = os.path.getsize(os.path.join(output_dir, "Simulated.vtc"))
    return stamps, whole, usage.ru_maxrss * 1024, vtc_bytes


def best_runs(repetitions, folder, run):
    """The best of each figure over `repetitions` runs into fresh folders under `folder`."""
    best = {"whole": float("inf"), "noise": float("inf"), "saving": float("inf"), "peak": 0}
    for _ in range(repetitions):
        output = tempfile.mkdtemp(dir=folder)
        stamps, whole, peak, vtc = run(output)
        shutil.rmtree(output)
        best["whole"] = min(best["whole"], whole)
        best["noise"] = min(best["noise"], stamps[NOISE_END] - stamps[NOISE_START])
        best["saving"] = min(best["saving"], stamps[COMPLETED] - stamps[SAVING_START])
        best["peak"] = max(best["peak"], peak)
        best["vtc"] = vtc
    return best


def plain_pass_seconds(build, resolution, repetitions):
    result = subprocess.run([os.path.join(build, "bench", "plain_noise_pass_bench"),
                             str(resolution), str(repetitions)],
                            capture_output=True, text=True, check=True)
    return float(result.stdout) / 1000


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
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    if not arguments:
        sys.exit(__doc__)
    build = arguments[0]
    repetitions = int(arguments[1]) if len(arguments) > 1 else 3
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    hvhost = os.path.join(build, "host", "hvhost")
    module = os.path.join(build, "libtolvane.so")
    protocol = os.path.join(root, "examples", "block_design.prt")
    mib = 2**20

    with tempfile.TemporaryDirectory(dir=build) as work:
        default = best_runs(repetitions, work,
                            lambda out: timed_run(hvhost, module, protocol, out, []))
        dd = min(dd_seconds(work, default["vtc"]) for _ in range(repetitions))
    plain = plain_pass_seconds(build, 3, repetitions)
    budget = default["vtc"] * 1.1 + 64 * mib
    print(f"hvhost --defaults, default grid, best of {repetitions} runs; plain noise pass "
          f"on touched storage {plain * 1000:.1f} ms")
    print(f"  whole run, start to exit                {default['whole'] * 1000:8.1f} ms"
          f"   x plain pass {default['whole'] / plain:.2f}")
    print(f"  noise pass, from the log lines          {default['noise'] * 1000:8.1f} ms"
          f"   x plain pass {default['noise'] / plain:.2f}")
    print(f"  saving the native VTC ({default['vtc'] / mib:.0f} MiB)        "
          f"{default['saving'] * 1000:8.1f} ms   ({default['vtc'] / mib / default['saving']:.0f}"
          " MiB/s)")
    print(f"  dd, same size, same disk, fdatasync     {dd * 1000:8.1f} ms"
          f"   ({default['vtc'] / mib / dd:.0f} MiB/s)")
    print(f"  peak resident memory                    {default['peak'] / mib:8.1f} MiB"
          f"   (budget {budget / mib:.1f} MiB: "
          f"{'within' if default['peak'] <= budget else 'OVER'})")
    if "--default-only" in sys.argv:
        return 0 if default["peak"] <= budget else 1

    # The finest grid takes seconds a run and its plain pass tens of seconds: two rounds.
    rounds = min(repetitions, 2)
    with tempfile.TemporaryDirectory(dir="/dev/shm") as work:
        finest = best_runs(rounds, work, lambda out: timed_run(
            hvhost, module, protocol, out, ["--resolution", "1"]))
    plain_finest = plain_pass_seconds(build, 1, rounds)
    print(f"hvhost --defaults --resolution 1 (174 x 120 x 138, {finest['vtc'] / 2**30:.2f} GiB),"
          f" saved to /dev/shm, best of {rounds}; plain noise pass on touched storage "
          f"{plain_finest:.2f} s")
    print(f"  whole run, start to exit                {finest['whole']:8.2f} s"
          f"    x plain pass {finest['whole'] / plain_finest:.2f}")
    print(f"  noise pass, from the log lines          {finest['noise']:8.2f} s"
          f"    x plain pass {finest['noise'] / plain_finest:.2f}")
    print(f"  saving the native VTC to the tmpfs      {finest['saving']:8.2f} s")
    print(f"  peak resident memory                    {finest['peak'] / 2**30:8.2f} GiB")
    return 0 if default["peak"] <= budget else 1


if __name__ == "__main__":
    sys.exit(main())
