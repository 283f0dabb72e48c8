"""Helpers shared by the suites of varying haemodynamics (haemodynamics_test.py and
haemodynamics_models_test.py): study text, running tolvane, reading a run's truth, and
the independent evaluations of the responses with scipy."""
import csv
import math
import os
import shutil
import subprocess

import nibabel
import numpy
from scipy import stats

TOLVANE = os.environ["TOLVANE"]

SAMPLES_PER_VOLUME = 16
KERNEL_SECONDS = 32.0
BASELINE = 100.0
# Agreement asked of every shape: within this share of the response's peak. The data
# are float32 values of about 100 + 1000 p, whose rounding is far below it.
PEAK_SHARE = 1e-3

GRID = """
[grid]
box = [84, 120, 84, 120, 105, 141]
resolution = 3
"""

CENTRES = ["[90, 90, 111]", "[111, 90, 111]", "[90, 111, 111]", "[111, 111, 132]"]


def region(name, centre, effects, hrf=""):
    text = (f'\n[[region]]\nname = "{name}"\ncentre_voxel = {CENTRES[centre]}\n'
            f"radius_voxels = 0.5\neffects = {effects}\n")
    return text + (f"hrf = {hrf}\n" if hrf else "")


def write_events(folder, events):
    with open(os.path.join(folder, "events.tsv"), "w") as file:
        file.write("onset\tduration\ttrial_type\n")
        for onset, duration in events:
            file.write(f"{onset}\t{duration}\tStim\n")


def run_simulate(folder, text, status=0, name="study.toml"):
    path = os.path.join(folder, name)
    with open(path, "w") as file:
        file.write(text)
    output = os.path.join(folder, "out_" + name.split(".")[0])
    shutil.rmtree(output, ignore_errors=True)
    result = subprocess.run([TOLVANE, "simulate", path, "--output", output],
                            capture_output=True, text=True, timeout=300)
    if result.returncode != status:
        raise AssertionError(f"simulate exited {result.returncode}, expected {status}\n"
                             f"{result.stderr[-3000:]}")
    return output, result


def run_paths(output, subject=1):
    stem = f"sub-{subject:02d}_task-sim_run-1"
    truth = os.path.join(output, "derivatives", "tolvane", f"sub-{subject:02d}", "func")
    return {"bold": os.path.join(output, f"sub-{subject:02d}", "func", stem + "_bold.nii.gz"),
            "labels": os.path.join(truth, stem + "_desc-regions_dseg.nii.gz"),
            "table": os.path.join(truth, stem + "_desc-regions_dseg.tsv"),
            "latency": os.path.join(truth, stem + "_desc-peaklatency_boldmap.nii.gz")}


def region_rows(path):
    with open(path) as file:
        return {row["name"]: row for row in csv.DictReader(file, delimiter="\t")}


def region_course(paths, label):
    """The time course of the region's single voxel, less the baseline."""
    labels = numpy.asarray(nibabel.load(paths["labels"]).dataobj)
    bold = numpy.asarray(nibabel.load(paths["bold"]).dataobj, dtype=numpy.float64)
    (x,), (y,), (z,) = numpy.nonzero(labels == label)
    return bold[x, y, z, :] - BASELINE


def two_gamma(t, d1=6.0, d2=16.0, s1=1.0, s2=1.0, ratio=6.0):
    return (stats.gamma.pdf(t, d1 / s1, scale=s1)
            - stats.gamma.pdf(t, d2 / s2, scale=s2) / ratio)


def fine_events(events, tr, volumes):
    """The events on the fine grid as the design lays them down: samples
    [ceil(onset / dt), max(ceil(end / dt), first + 1))."""
    step = tr / SAMPLES_PER_VOLUME
    signal = numpy.zeros(volumes * SAMPLES_PER_VOLUME)
    for onset, duration in events:
        first = math.ceil(onset / step - 1e-9)
        last = max(math.ceil((onset + duration) / step - 1e-9), first + 1)
        signal[first:last] = 1.0
    return signal


def predictor(response, length_s, events, tr, volumes):
    step = tr / SAMPLES_PER_VOLUME
    kernel = response(numpy.arange(math.ceil(length_s / step)) * step)
    kernel /= kernel.sum()
    fine = fine_events(events, tr, volumes)
    return numpy.convolve(fine, kernel)[:fine.size][::SAMPLES_PER_VOLUME]
