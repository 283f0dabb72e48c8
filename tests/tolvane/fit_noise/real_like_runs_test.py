#!/usr/bin/python3
"""tolvane fit-noise on runs shaped like real ones, made by this test's own generator
(numpy): residual autocorrelation that oscillates and is negative (respiration aliased
near the Nyquist frequency of a 2 s TR), and a background that is not thermal noise.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/fit_noise/real_like_runs_test.py
"""
import json
import os
import subprocess
import tempfile
import unittest

import nibabel
import numpy

TOLVANE = os.environ["TOLVANE"]
SHAPE, VOLUMES, TR = (24, 24, 12), 120, 2.0


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=300)
    if result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


def ellipsoid():
    x, y, z = numpy.meshgrid(*(numpy.arange(n) for n in SHAPE), indexing="ij")
    return (((x - 11.5) / 9) ** 2 + ((y - 11.5) / 9) ** 2 + ((z - 5.5) / 5) ** 2) < 1


def band_noise(rng, count, low_hz, high_hz):
    """Unit-variance Gaussian courses whose power lies in [low_hz, high_hz]."""
    frequencies = numpy.fft.rfftfreq(VOLUMES, TR)
    gain = ((frequencies >= low_hz) & (frequencies <= high_hz)).astype(float)
    white = rng.standard_normal((count, VOLUMES))
    shaped = numpy.fft.irfft(numpy.fft.rfft(white, axis=1) * gain, n=VOLUMES, axis=1)
    return shaped / shaped.std(axis=1, keepdims=True)


def residual_autocorrelation(courses, lags=4):
    """Pooled autocorrelation of the courses after removing their means."""
    r = courses - courses.mean(axis=1, keepdims=True)
    return [float((r[:, :-k] * r[:, k:]).sum() / (r * r).sum()) for k in range(1, lags + 1)]


def aliased_respiration_run(path, seed, background_sd):
    """A brain of baseline 800 with noise of sd 10: 64 % white, 36 % respiration at
    0.31-0.35 Hz, which a 2 s TR aliases to 0.15-0.19 Hz; real-valued background noise of
    `background_sd`. Returns the brain's noise courses."""
    rng = numpy.random.default_rng(seed)
    inside = ellipsoid()
    count = int(inside.sum())
    noise = 10.0 * (0.8 * rng.standard_normal((count, VOLUMES)) +
                    0.6 * band_noise(rng, count, 0.15, 0.19))
    data = background_sd * rng.standard_normal(SHAPE + (VOLUMES,))
    data[inside] = 800.0 + noise
    image = nibabel.Nifti1Image(data.astype(numpy.float32), numpy.diag([3.0, 3.0, 3.5, 1.0]))
    image.header.set_xyzt_units("mm", "sec")
    image.header["pixdim"][4] = TR
    nibabel.save(image, path)
    return noise


class OscillatingAutocorrelation(unittest.TestCase):
    """Autocorrelation of any shape is fitted, never refused: the fit falls back to a
    model that exists and says so in its table and its JSON."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def fit(self, background_sd):
        bold = os.path.join(self.folder.name, f"bold_{background_sd}.nii.gz")
        noise = aliased_respiration_run(bold, 7, background_sd)
        output = os.path.join(self.folder.name, f"fit_{background_sd}")
        table = run(TOLVANE, "fit-noise", bold, "--output", output).stdout
        with open(os.path.join(output, "noise_fit.json")) as file:
            estimates = json.load(file)["estimates"]
        with open(os.path.join(output, "noise.toml")) as file:
            keys = file.read()
        return noise, table, estimates, keys

    def test_a_large_white_share_leaves_no_stationary_corrected_ar(self):
        # A thermal level near the brain's whole noise leaves a fluctuation share of
        # about 0.1; the corrected autocorrelation (observed / 0.1) is no AR process's.
        noise, table, estimates, keys = self.fit(background_sd=9.5)
        lags = residual_autocorrelation(noise)
        self.assertTrue(lags[0] < 0 and lags[1] < 0 and lags[3] < 0, lags)
        self.assertIn("snr", keys)
        self.assertIsNotNone(estimates["temporal_fallback"])
        self.assertIn("no stationary process", estimates["temporal_fallback"])
        self.assertIn("fallback:", table)
        self.assertIn("# temporal model:", keys)

    def test_a_background_noisier_than_the_brain_is_not_thermal(self):
        _, table, estimates, keys = self.fit(background_sd=14.0)
        self.assertIsNone(estimates["snr"]["value"])
        self.assertIn("not thermal noise alone", estimates["snr"]["reason"])
        self.assertIn("# no snr: the background's noise", keys)
        self.assertIn("not estimated", table)
        self.assertAlmostEqual(estimates["tsnr"]["value"] / 80.0, 1.0, delta=0.05)


if __name__ == "__main__":
    unittest.main()
