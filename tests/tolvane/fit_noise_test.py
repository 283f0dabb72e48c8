#!/usr/bin/python3
"""tolvane fit-noise through the executable: on a run that tolvane simulate made with
known noise (the estimates must come back), on integer storage with scaling in another
orientation, and on input it must refuse.

Run by CTest with the system interpreter (Debian's nibabel and numpy) from the
repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/fit_noise_test.py
"""
import json
import os
import subprocess
import tempfile
import unittest

import nibabel
import numpy

TOLVANE = os.environ["TOLVANE"]
PROTOCOL = os.path.abspath("examples/block_design.prt")

# Baseline 100 and sd 5 give tSNR 20; AR(1) 0.3; 6 mm smoothing; drift of sd 2.
STUDY = f"""
protocol = "{PROTOCOL}"
[noise]
sd = 5
model = "ar1"
rho = 0.3
smoothness_mm = 6
drift = {{ sd = 2 }}
[[region]]
centre_mm = [0, 0, 0]
radius_mm = 20
effects = {{ Task = "5%" }}
"""


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=600)
    if result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


class SimulatedRun(unittest.TestCase):
    """The engine's own noise models, measured back. Tolerances as in the round-trip
    test: the run has 106 720 voxels of 250 volumes, so every pooled estimate's sampling
    sd is far below them."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        study = os.path.join(cls.folder.name, "study.toml")
        with open(study, "w") as file:
            file.write(STUDY)
        dataset = os.path.join(cls.folder.name, "dataset")
        run(TOLVANE, "simulate", study, "--output", dataset)
        func = os.path.join(dataset, "sub-01", "func")
        cls.bold = os.path.join(func, "sub-01_task-sim_run-1_bold.nii.gz")
        cls.events = os.path.join(func, "sub-01_task-sim_run-1_events.tsv")
        image = nibabel.load(cls.bold)
        cls.mask = os.path.join(cls.folder.name, "mask.nii.gz")
        nibabel.save(nibabel.Nifti1Image(numpy.ones(image.shape[:3], numpy.uint8), image.affine),
                     cls.mask)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_the_noise_comes_back_with_the_task_removed(self):
        output = os.path.join(self.folder.name, "fit")
        result = run(TOLVANE, "fit-noise", self.bold, "--mask", self.mask, "--events", self.events,
                     "--output", output)
        self.assertIn("tSNR", result.stdout)
        with open(os.path.join(output, "noise_fit.json")) as file:
            estimates = json.load(file)["estimates"]
        self.assertAlmostEqual(estimates["tsnr"]["value"] / 20, 1, delta=0.05)
        self.assertAlmostEqual(estimates["ar"][0]["value"], 0.3, delta=0.03)
        self.assertEqual(len(estimates["ar"]), 1)
        # AR(1) noise keeps the AR model: the measured spectrum is no better a fit.
        self.assertEqual(estimates["temporal_model"]["chosen"], "AR(1)")
        self.assertLess(estimates["temporal_model"]["parametric_rms_misfit"], 0.01)
        self.assertAlmostEqual(estimates["smoothness_fwhm"]["value"] / 6, 1, delta=0.05)
        self.assertAlmostEqual(estimates["drift_sd"]["value"] / 2, 1, delta=0.05)
        self.assertIsNone(estimates["snr"]["value"])  # the mask covers the whole grid
        with open(os.path.join(output, "noise.toml")) as file:
            keys = file.read()
        self.assertIn("box = [0, 58, 0, 40, 0, 46]", keys)
        mean = nibabel.load(os.path.join(output, "mean.nii.gz"))
        numpy.testing.assert_allclose(mean.affine, nibabel.load(self.bold).affine, atol=1e-4)
        self.assertAlmostEqual(float(numpy.median(mean.get_fdata())), 100, delta=1)

    def test_scaled_integers_in_another_orientation_give_the_same_fit(self):
        image = nibabel.load(self.bold)
        data = image.get_fdata(dtype=numpy.float32)
        flipped = numpy.flip(data, axis=0)
        affine = image.affine @ numpy.array([[-1, 0, 0, data.shape[0] - 1], [0, 1, 0, 0],
                                             [0, 0, 1, 0], [0, 0, 0, 1]])
        scaled = nibabel.Nifti1Image(numpy.round((flipped - 50) / 0.01).astype(numpy.int16), affine)
        scaled.header.set_slope_inter(0.01, 50)
        scaled.header.set_xyzt_units("mm", "sec")
        scaled.header["pixdim"][4] = 2.0
        path = os.path.join(self.folder.name, "scaled.nii.gz")
        nibabel.save(scaled, path)
        mask = os.path.join(self.folder.name, "flipped_mask.nii.gz")
        nibabel.save(nibabel.Nifti1Image(numpy.ones(data.shape[:3], numpy.uint8), affine), mask)
        output = os.path.join(self.folder.name, "scaled_fit")
        run(TOLVANE, "fit-noise", path, "--mask", mask, "--output", output)
        with open(os.path.join(output, "noise_fit.json")) as file:
            estimates = json.load(file)["estimates"]
        self.assertAlmostEqual(estimates["tsnr"]["value"] / 20, 1, delta=0.05)
        self.assertAlmostEqual(estimates["smoothness_fwhm"]["value"] / 6, 1, delta=0.05)


class BadInput(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, volumes, tr):
        image = nibabel.Nifti1Image(
            numpy.random.default_rng(1).normal(100, 5, (6, 6, 4, volumes)).astype(numpy.float32),
            numpy.eye(4))
        image.header["pixdim"][4] = tr
        path = os.path.join(self.folder.name, name)
        nibabel.save(image, path)
        return path

    def test_a_run_without_a_tr_or_too_short_is_refused_with_what_it_needs(self):
        output = os.path.join(self.folder.name, "fit")
        result = run(TOLVANE, "fit-noise", self.write("no_tr.nii", 30, 0), "--output", output,
                     status=2)
        self.assertIn("needs its TR", result.stderr)
        result = run(TOLVANE, "fit-noise", self.write("short.nii", 8, 2), "--output", output,
                     status=2)
        self.assertIn("needs at least 13 volumes", result.stderr)
        self.assertFalse(os.path.exists(output))


if __name__ == "__main__":
    unittest.main()
