#!/usr/bin/python3
"""Studies with scanner-like noise through the tolvane executable: an image baseline, a
brain mask, noise set by tSNR and thermal SNR, magnitude images, and the refusals of keys
that cannot combine. Values are judged against an independent resampling of the
baseline (scipy) with tolerances from the sampling distributions.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/scanner_noise_test.py
"""
import json
import math
import os
import shutil
import subprocess
import tempfile
import unittest

import nibabel
import numpy
from scipy import ndimage

TOLVANE = os.environ["TOLVANE"]
EXAMPLES = os.path.abspath("examples")

# Deviations of this many standard errors fail a check; with at most a few thousand
# checks per test, a correct run fails one with a probability below 1e-3.
Z_LIMIT = 5.0

# The head: a 40^3 image of 2 mm voxels, centred on the world origin. The brain is an
# ellipsoid whose baseline rises linearly along x from 300 to 500 (so that trilinear
# resampling has something to interpolate), with a dark block of 100 inside it, where
# thermal noise exceeds the tSNR budget; the background is 0.
HEAD_DIM = 40
HEAD_MM = 2.0


def head_affine():
    affine = numpy.diag([HEAD_MM, HEAD_MM, HEAD_MM, 1.0])
    affine[:3, 3] = -HEAD_MM * (HEAD_DIM - 1) / 2.0
    return affine


def head_images():
    x, y, z = numpy.meshgrid(*(numpy.arange(HEAD_DIM, dtype=float),) * 3, indexing="ij")
    c = (HEAD_DIM - 1) / 2.0
    brain = ((x - c) / 15) ** 2 + ((y - c) / 17) ** 2 + ((z - c) / 13) ** 2 <= 1.0
    baseline = numpy.where(brain, 300.0 + 200.0 * x / (HEAD_DIM - 1), 0.0)
    dark = brain & (abs(x - c) < 4) & (abs(y - c) < 4) & (abs(z - c) < 4)
    baseline[dark] = 100.0
    return baseline.astype(numpy.float32), brain.astype(numpy.uint8), dark


def write_head(folder):
    baseline, brain, _ = head_images()
    nibabel.save(nibabel.Nifti1Image(baseline, head_affine()), os.path.join(folder, "head.nii.gz"))
    nibabel.save(nibabel.Nifti1Image(brain, head_affine()), os.path.join(folder, "brain.nii.gz"))
    shutil.copy(os.path.join(EXAMPLES, "block_design.prt"), folder)


def study_text(noise, top="", regions=""):
    return f"""seed = 7
task = "noise"
protocol = "block_design.prt"
baseline = "head.nii.gz"
{top}
[grid]
anatomical = "head.nii.gz"
box = [0, 40, 0, 40, 0, 40]
resolution = 2

[noise]
{noise}
{regions}"""


def run_simulate(folder, text, status=0):
    path = os.path.join(folder, "study.toml")
    with open(path, "w") as file:
        file.write(text)
    output = os.path.join(folder, "out")
    shutil.rmtree(output, ignore_errors=True)
    result = subprocess.run([TOLVANE, "simulate", path, "--output", output],
                            capture_output=True, text=True, timeout=600)
    if result.returncode != status:
        raise AssertionError(f"simulate exited {result.returncode}, expected {status}\n"
                             f"{result.stderr[-3000:]}")
    return path, output, result


def run_files(output, task="noise"):
    stem = f"sub-01_task-{task}_run-1"
    truth = os.path.join(output, "derivatives", "tolvane", "sub-01", "func")
    return {
        "bold": os.path.join(output, "sub-01", "func", stem + "_bold.nii.gz"),
        "sidecar": os.path.join(output, "sub-01", "func", stem + "_bold.json"),
        "mask": os.path.join(truth, stem + "_desc-brain_mask.nii.gz"),
        "tsnr": os.path.join(truth, stem + "_desc-expectedtsnr_boldmap.nii.gz"),
        "effect": os.path.join(truth, stem + "_desc-Task_effect.nii.gz"),
    }


def resampled(image, source_affine, target_affine, target_shape, order):
    """The image at the target's voxel centres: trilinear (order 1) or nearest (order 0),
    0 outside the source."""
    to_source = numpy.linalg.inv(source_affine) @ target_affine
    grid = numpy.stack(numpy.meshgrid(*(numpy.arange(n, dtype=float) for n in target_shape),
                                      indexing="ij"), axis=-1)
    coordinates = grid @ to_source[:3, :3].T + to_source[:3, 3]
    if order == 0:
        coordinates = numpy.floor(coordinates + 0.5)
    return ndimage.map_coordinates(image.astype(float), numpy.moveaxis(coordinates, -1, 0),
                                   order=order, mode="constant", cval=0.0)


class LevelsFromImages(unittest.TestCase):
    """One white-noise run on the head, with the mask given: the mean image, the tSNR in
    the brain, the thermal-only voxels and the background against their definitions."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        write_head(cls.folder)
        _, cls.output, cls.result = run_simulate(
            cls.folder, study_text("tsnr = 50\nsnr = 120", top='mask = "brain.nii.gz"'))
        cls.files = run_files(cls.output)
        image = nibabel.load(cls.files["bold"])
        cls.data = numpy.asarray(image.dataobj, dtype=numpy.float64)
        cls.affine = image.affine
        baseline, brain, dark = head_images()
        shape = cls.data.shape[:3]
        cls.baseline = resampled(baseline, head_affine(), cls.affine, shape, 1)
        cls.mask = resampled(brain, head_affine(), cls.affine, shape, 0) != 0
        cls.dark = resampled(dark.astype(numpy.uint8), head_affine(), cls.affine, shape, 0) != 0
        cls.volumes = cls.data.shape[3]
        inside = cls.baseline[cls.mask]
        cls.thermal = inside.mean() / 120.0

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_truth_mask_is_the_given_mask_resampled_by_nearest_neighbour(self):
        mask = numpy.asarray(nibabel.load(self.files["mask"]).dataobj)
        numpy.testing.assert_array_equal(mask != 0, self.mask)

    def test_mean_image_is_the_resampled_baseline(self):
        # Each voxel's mean over the run is its baseline, off by at most Z_LIMIT standard
        # errors of a mean of independent values of its sd (the expected tSNR gives it).
        tsnr = numpy.asarray(nibabel.load(self.files["tsnr"]).dataobj, dtype=float)
        sd = numpy.where(tsnr > 0, self.baseline / numpy.where(tsnr > 0, tsnr, 1), self.thermal)
        error = (self.data.mean(axis=3) - self.baseline) / (sd / math.sqrt(self.volumes))
        self.assertLess(numpy.abs(error).max(), Z_LIMIT)
        # and the brain looks like the image: the gradient along x comes through.
        self.assertGreater(numpy.corrcoef(self.data.mean(axis=3)[self.mask],
                                          self.baseline[self.mask])[0, 1], 0.99)

    def test_tsnr_in_the_mask_is_the_requested_one(self):
        usable = self.mask & ~self.dark
        variance = self.data[usable].var(axis=1, ddof=1)
        expected = (self.baseline[usable] / 50.0) ** 2
        # Mean of the variance ratios: each is chi^2_(N-1) / (N-1), variance 2 / (N-1).
        ratio = (variance / expected).mean()
        error = math.sqrt(2.0 / (self.volumes - 1) / usable.sum())
        self.assertLess(abs(ratio - 1.0), Z_LIMIT * error)
        tsnr = numpy.asarray(nibabel.load(self.files["tsnr"]).dataobj)
        numpy.testing.assert_allclose(tsnr[usable], 50.0, rtol=1e-5)

    def test_voxels_whose_budget_thermal_noise_exceeds_get_thermal_noise_only(self):
        self.assertTrue(self.dark.any())
        variance = self.data[self.dark].var(axis=1, ddof=1)
        ratio = (variance / self.thermal ** 2).mean()
        error = math.sqrt(2.0 / (self.volumes - 1) / self.dark.sum())
        self.assertLess(abs(ratio - 1.0), Z_LIMIT * error)
        share = 100.0 * self.dark.sum() / self.mask.sum()
        self.assertIn(f"in {share:.1f}% of the mask the thermal noise alone exceeds",
                      self.result.stderr)

    def test_background_holds_thermal_noise_only(self):
        background = ~self.mask & (self.baseline == 0)
        values = self.data[background]
        count = values.size
        self.assertLess(abs(values.mean()) / (self.thermal / math.sqrt(count)), Z_LIMIT)
        self.assertLess(abs(values.var() / self.thermal ** 2 - 1.0),
                        Z_LIMIT * math.sqrt(2.0 / count))

    def test_sidecar_records_the_noise_that_made_the_run(self):
        with open(self.files["sidecar"]) as file:
            noise = json.load(file)["Noise"]
        self.assertEqual(noise["BaselineImage"], "head.nii.gz")
        self.assertEqual(noise["Mask"], "brain.nii.gz")
        self.assertEqual(noise["MaskVoxels"], int(self.mask.sum()))
        self.assertEqual(noise["TemporalSNR"], 50)
        self.assertEqual(noise["ThermalSNR"], 120)
        self.assertAlmostEqual(noise["ThermalStandardDeviation"], self.thermal, places=3)
        self.assertAlmostEqual(noise["ThermalOnlyMaskShare"],
                               self.dark.sum() / self.mask.sum(), places=9)
        self.assertFalse(noise["Magnitude"])
        self.assertEqual(noise["TemporalModel"], {"Model": "white"})


class MagnitudeAndAutomaticMask(unittest.TestCase):
    """A magnitude run without a mask key: the automatic mask from the baseline, a
    Rayleigh background, and percent effects relative to each voxel's baseline."""

    def test_background_is_rayleigh_and_effects_follow_the_local_baseline(self):
        with tempfile.TemporaryDirectory() as folder:
            write_head(folder)
            region = """
[[region]]
centre_mm = [0, 0, 0]
radius_mm = 12
effects = { Task = "2%" }
"""
            _, output, _ = run_simulate(
                folder, study_text("tsnr = 40\nsnr = 20\nmagnitude = true", regions=region))
            files = run_files(output)
            image = nibabel.load(files["bold"])
            data = numpy.asarray(image.dataobj, dtype=numpy.float64)
            baseline_image, _, _ = head_images()
            baseline = resampled(baseline_image, head_affine(), image.affine, data.shape[:3], 1)
            mask = numpy.asarray(nibabel.load(files["mask"]).dataobj) != 0
            # The automatic mask keeps the bright brain and leaves the empty background.
            self.assertTrue(mask[baseline >= 300].all())
            self.assertFalse(mask[baseline == 0].any())

            thermal = baseline[mask].mean() / 20.0
            values = data[~mask & (baseline == 0)]
            # Rayleigh(s): mean s sqrt(pi / 2), variance (4 - pi) / 2 s^2.
            mean = thermal * math.sqrt(math.pi / 2.0)
            sd = thermal * math.sqrt((4.0 - math.pi) / 2.0)
            self.assertLess(abs(values.mean() - mean) / (sd / math.sqrt(values.size)), Z_LIMIT)
            self.assertTrue((values >= 0).all())

            effect = numpy.asarray(nibabel.load(files["effect"]).dataobj, dtype=float)
            inside = effect != 0
            self.assertTrue(inside.any())
            numpy.testing.assert_allclose(effect[inside], 0.02 * baseline[inside], rtol=1e-5)


class Refusals(unittest.TestCase):
    """Keys that cannot combine, or values out of their range, are refused before
    anything is written, naming the file, the key and its line."""

    def test_each_impossible_combination_names_file_key_and_reason(self):
        cases = [
            ("tsnr with sd", "tsnr = 50\nsd = 5", "", ["key noise.tsnr", "not both"]),
            ("acf with smoothness", "acf = { a = 0.5, b_mm = 3, c_mm = 8 }\nsmoothness_mm = 6",
             "", ["key noise.acf", "not both"]),
            ("ar with ar1", 'ar = [0.3]\nmodel = "ar1"\nrho = 0.3', "",
             ["key noise.ar", "not both"]),
            ("non-stationary ar", "ar = [0.5, 0.6]", "", ["key noise.ar", "root"]),
            ("magnitude without snr", "magnitude = true\ntsnr = 50", "",
             ["key noise.magnitude", "noise.snr"]),
            ("acf weight", "acf = { a = 1.5, b_mm = 3, c_mm = 8 }", "",
             ["key noise.acf.a", "from 0 to 1"]),
            ("acf incomplete", "acf = { a = 0.5, b_mm = 3 }", "", ["key noise.acf", "c_mm"]),
            ("physio share", "physio = { share = 1.0 }", "", ["key noise.physio.share"]),
            ("replace signal", "tsnr = 50", 'signal = "replace"',
             ["key baseline", 'signal = "add"']),
            ("ran1", "tsnr = 50", 'generator = "ran1"', ["key baseline", "philox"]),
            ("scale without image", "tsnr = 50", "baseline_scale = 2", ["key baseline_scale"]),
            ("missing mask", "tsnr = 50", 'mask = "none.nii.gz"', ["key mask", "none.nii.gz"]),
        ]
        for name, noise, top, expected in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                write_head(folder)
                text = study_text(noise, top=top)
                if name == "scale without image":
                    text = text.replace('baseline = "head.nii.gz"', "baseline = 100")
                path, output, result = run_simulate(folder, text, status=2)
                for text_expected in [path + ":"] + expected:
                    self.assertIn(text_expected, result.stderr)
                self.assertFalse(os.path.exists(output))


if __name__ == "__main__":
    unittest.main()
