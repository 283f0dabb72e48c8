#!/usr/bin/python3
"""The baseline of glm_bench: numpy.linalg.lstsq on the same design and data.

Usage: glm_lstsq_baseline.py DESIGN.tsv BOLD.nii[.gz] REPETITIONS

Reads the design table that the GLM wrote and the BOLD series (not timed), fits every
voxel by numpy.linalg.lstsq in double precision, and prints the best time of the
repetitions in seconds as JSON. Run it with one BLAS thread for a one-core comparison.
"""
import json
import sys
import time

import nibabel
import numpy


def main():
    design_file, bold_file, repetitions = sys.argv[1], sys.argv[2], int(sys.argv[3])
    design = numpy.loadtxt(design_file, skiprows=1, ndmin=2)
    image = numpy.asarray(nibabel.load(bold_file).dataobj, dtype=numpy.float32)
    volumes = image.shape[3]
    data = image.reshape(-1, volumes, order="F").T.astype(numpy.float64)  # volumes x voxels
    best = float("inf")
    for _ in range(repetitions):
        start = time.perf_counter()
        numpy.linalg.lstsq(design, data, rcond=None)
        best = min(best, time.perf_counter() - start)
    print(json.dumps({"lstsq_seconds": best, "voxels": data.shape[1], "volumes": volumes,
                      "columns": design.shape[1]}))


if __name__ == "__main__":
    main()
