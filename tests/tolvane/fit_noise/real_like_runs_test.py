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


def drift_cosines(volumes, cutoff_s=128.0):
    """The constant and the discrete cosines of period above the cutoff, as columns."""
    n = numpy.arange(volumes)
    columns = [numpy.ones(volumes)]
    k = 1
    while 2 * volumes * TR / k > cutoff_s:
        columns.append(numpy.cos(numpy.pi * k * (2 * n + 1) / (2 * volumes)))
        k += 1
    return numpy.array(columns).T


def run_statistics(path, mask_path):
    """The statistics a simulated run must share with the run it was fitted to, by this
    test's own estimator: the pooled residual autocorrelation at lags 1-4 (the constant
    and the drift cosines removed), the residual power's share in four bands, and the
    tSNR's 10th, 50th and 90th percentiles over the mask."""
    data = nibabel.load(path).get_fdata(dtype=numpy.float32)
    inside = nibabel.load(mask_path).get_fdata() > 0
    courses = data[inside].astype(float)
    design = drift_cosines(courses.shape[1])
    residuals = courses - (design @ numpy.linalg.lstsq(design, courses.T, rcond=None)[0]).T
    lags = [float((residuals[:, :-k] * residuals[:, k:]).sum() / (residuals ** 2).sum())
            for k in range(1, 5)]
    power = (numpy.abs(numpy.fft.rfft(residuals, axis=1)) ** 2).sum(axis=0)
    frequencies = numpy.fft.rfftfreq(courses.shape[1], TR)
    edges = [0.0, 0.03, 0.08, 0.15, numpy.inf]
    shares = [float(power[(frequencies >= low) & (frequencies < high)].sum() / power.sum())
              for low, high in zip(edges[:-1], edges[1:])]
    tsnr = numpy.percentile(courses.mean(axis=1) / residuals.std(axis=1), [10, 50, 90])
    return numpy.array(lags), numpy.array(shares), tsnr


def aliased_respiration_run(path, seed, background_sd, spread=False):
    """A brain of baseline 800 with noise of sd 10: 64 % white, 36 % respiration at
    0.31-0.35 Hz, which a 2 s TR aliases to 0.15-0.19 Hz; real-valued background noise of
    `background_sd`. With `spread`, the sd grows from 5 to 15 along x instead (a tSNR
    from 160 to 53, threefold). Returns the brain's noise courses."""
    rng = numpy.random.default_rng(seed)
    inside = ellipsoid()
    count = int(inside.sum())
    x = numpy.nonzero(inside)[0][:, None]
    sd = 5.0 + 10.0 * x / (SHAPE[0] - 1) if spread else 10.0
    noise = sd * (0.8 * rng.standard_normal((count, VOLUMES)) +
                  0.6 * band_noise(rng, count, 0.15, 0.19))
    data = background_sd * rng.standard_normal(SHAPE + (VOLUMES,))
    data[inside] = 800.0 + noise
    image = nibabel.Nifti1Image(data.astype(numpy.float32), numpy.diag([3.0, 3.0, 3.5, 1.0]))
    image.header.set_xyzt_units("mm", "sec")
    image.header["pixdim"][4] = TR
    nibabel.save(image, path)
    return noise


class SpectrumRoundTrip(unittest.TestCase):
    """A run whose autocorrelation no AR(4) reproduces gets the spectrum model, and a
    tSNR that varies threefold over the brain a map of the noise sd; a run simulated
    from the fit matches the generated one, statistic by statistic."""

    def test_simulated_from_the_fit_matches_the_generated_run(self):
        with tempfile.TemporaryDirectory() as folder:
            bold = os.path.join(folder, "bold.nii.gz")
            aliased_respiration_run(bold, 11, background_sd=3.0, spread=True)
            fit = os.path.join(folder, "fit")
            run(TOLVANE, "fit-noise", bold, "--output", fit)
            with open(os.path.join(fit, "noise_fit.json")) as file:
                model = json.load(file)["estimates"]["temporal_model"]
            self.assertEqual(model["chosen"], "spectrum")
            self.assertLess(model["spectrum_rms_misfit"], model["parametric_rms_misfit"])
            # What the JSON predicts is what the simulated run shows (below).
            predicted = model["residual_autocorrelation"]["predicted"][:4]
            study = os.path.join(folder, "study.toml")
            with open(study, "w") as file:
                file.write('noise_from = "fit/noise.toml"\n'
                           f'protocol = "{os.path.abspath("examples/block_design.prt")}"\n')
            run(TOLVANE, "simulate", study, "--output", os.path.join(folder, "dataset"))
            simulated = os.path.join(folder, "dataset", "sub-01", "func",
                                     "sub-01_task-sim_run-1_bold.nii.gz")
            mask = os.path.join(fit, "mask.nii.gz")
            lags, shares, tsnr = run_statistics(bold, mask)
            lags_s, shares_s, tsnr_s = run_statistics(simulated, mask)
            self.assertTrue(lags[0] < 0 and lags[1] < 0 and lags[3] < 0, lags)
            numpy.testing.assert_allclose(lags_s, lags, atol=0.03)
            numpy.testing.assert_allclose(predicted, lags_s, atol=0.03)
            numpy.testing.assert_allclose(shares_s, shares, atol=0.04)
            # Threefold from end to end; the 90th percentile 1.6 times the 10th.
            self.assertGreater(tsnr[2] / tsnr[0], 1.5)
            numpy.testing.assert_allclose(tsnr_s / tsnr, 1.0, atol=0.10)


class SpectrumKey(unittest.TestCase):
    """noise.spectrum in a study: the synthesised autocorrelation is the spectrum's
    (numpy's inverse transform of the interpolated power), and the refusals."""

    POWER = [1, 1, 1, 1, 1, 1, 4, 6, 4, 1, 1]

    def study(self, folder, extra, volumes=120):
        path = os.path.join(folder, "study.toml")
        with open(path, "w") as file:
            file.write(f'protocol = "{os.path.abspath("examples/block_design.prt")}"\n'
                       f"volumes = {volumes}\n{extra}\n[noise]\nsd = 5\n"
                       f"spectrum = {{ nyquist_hz = 0.25, power = {self.POWER} }}\n")
        return path

    def test_the_run_has_the_spectrum_autocorrelation(self):
        # 120 volumes go through the engine's transform, 119 (a factor 7) the direct sum.
        for volumes in (120, 119):
            with self.subTest(volumes=volumes), tempfile.TemporaryDirectory() as folder:
                run(TOLVANE, "simulate", self.study(folder, "", volumes), "--output",
                    os.path.join(folder, "dataset"))
                func = os.path.join(folder, "dataset", "sub-01", "func")
                data = nibabel.load(os.path.join(func, "sub-01_task-sim_run-1_bold.nii.gz"))
                courses = data.get_fdata(dtype=numpy.float32).reshape(-1, volumes)
                residuals = courses - courses.mean(axis=1, keepdims=True)
                measured = [(residuals * numpy.roll(residuals, -k, axis=1)).sum() /
                            (residuals ** 2).sum() for k in range(1, 9)]
                j = numpy.arange(volumes)
                spectrum = numpy.interp(2 * numpy.minimum(j, volumes - j) / volumes * 10,
                                        numpy.arange(11), self.POWER)
                expected = numpy.fft.ifft(spectrum).real
                # Mean removal biases each circular lag by -1/(N - 1) of the variance.
                numpy.testing.assert_allclose(
                    measured, expected[1:9] / expected[0] - 1 / (volumes - 1), atol=0.01)
                self.assertAlmostEqual(float(residuals.std()), 5.0, delta=0.05)
                with open(os.path.join(func, "sub-01_task-sim_run-1_bold.json")) as file:
                    sidecar = json.load(file)
                self.assertEqual(sidecar["Noise"]["TemporalModel"]["Model"], "spectrum")

    def test_the_values_do_not_depend_on_the_threads(self):
        with tempfile.TemporaryDirectory() as folder:
            study = self.study(folder, "")
            runs = []
            for jobs in ("1", "3"):
                output = os.path.join(folder, f"jobs{jobs}")
                run(TOLVANE, "simulate", study, "--output", output, "--jobs", jobs)
                runs.append(nibabel.load(os.path.join(
                    output, "sub-01", "func", "sub-01_task-sim_run-1_bold.nii.gz")).get_fdata())
            numpy.testing.assert_array_equal(runs[0], runs[1])

    def test_refusals_name_the_key(self):
        with tempfile.TemporaryDirectory() as folder:
            message = run(TOLVANE, "simulate", self.study(folder, "tr = 1"), "--output",
                          os.path.join(folder, "a"), status=2).stderr
            self.assertIn("noise.spectrum.nyquist_hz", message)
            self.assertIn("0.5 Hz", message)
            path = self.study(folder, "")
            with open(path, "a") as file:
                file.write("ar = [0.3]\n")
            message = run(TOLVANE, "simulate", path, "--output", os.path.join(folder, "b"),
                          status=2).stderr
            self.assertIn("either noise.spectrum or an AR model", message)


class DriftInTheHead(unittest.TestCase):
    """With a brain mask the drift is the head's: the air outside gets thermal noise
    only (none here, without snr), so its voxels hold the baseline at every volume."""

    def test_the_air_gets_no_drift(self):
        with tempfile.TemporaryDirectory() as folder:
            mask = numpy.zeros((20, 16, 12), numpy.uint8)
            mask[5:15, 4:12, 3:9] = 1
            mask_path = os.path.join(folder, "mask.nii.gz")
            nibabel.save(nibabel.Nifti1Image(mask, numpy.diag([3.0, 3.0, 3.0, 1.0])), mask_path)
            study = os.path.join(folder, "study.toml")
            with open(study, "w") as file:
                file.write(f'protocol = "{os.path.abspath("examples/block_design.prt")}"\n'
                           f'volumes = 100\nmask = "{mask_path}"\n'
                           f'[grid]\nanatomical = "{mask_path}"\nbox = [0, 20, 0, 16, 0, 12]\n'
                           'resolution = 1\n'
                           "[noise]\nsd = 2\ndrift = { sd = 4 }\n")
            run(TOLVANE, "simulate", study, "--output", os.path.join(folder, "dataset"))
            data = nibabel.load(os.path.join(folder, "dataset", "sub-01", "func",
                                             "sub-01_task-sim_run-1_bold.nii.gz"))
            courses = data.get_fdata(dtype=numpy.float32)
            inside = courses[mask > 0]
            outside = courses[mask == 0]
            self.assertEqual(float(numpy.ptp(outside, axis=1).max()), 0.0)
            # Inside: sd 2 of noise and 4 of drift, sqrt(20) in all.
            self.assertAlmostEqual(float(inside.std(axis=1).mean()), 20 ** 0.5, delta=0.3)


class AnisotropicSmoothness(unittest.TestCase):
    """Noise smoother in-plane than across slices: the JSON gives the correlation at 1
    and 2 voxels along each axis as measured, which this test's own estimator confirms,
    beside what the isotropic model predicts."""

    def test_the_correlation_is_measured_per_axis(self):
        rng = numpy.random.default_rng(5)
        inside = ellipsoid()
        white = rng.standard_normal(SHAPE + (60,))
        frequencies = [numpy.fft.fftfreq(n) for n in SHAPE]
        kx, ky, kz = numpy.meshgrid(*frequencies, indexing="ij")
        # Gaussian kernels of sd 1.2 voxels in x and y and 0.4 in z, applied periodically.
        gain = numpy.exp(-2 * numpy.pi ** 2 * (1.44 * (kx ** 2 + ky ** 2) + 0.16 * kz ** 2))
        smooth = numpy.fft.ifftn(numpy.fft.fftn(white, axes=(0, 1, 2)) * gain[..., None],
                                 axes=(0, 1, 2)).real
        smooth /= smooth.std()
        # Thermal noise of sd 3 everywhere, as the background shows it; the fluctuation
        # (what the spatial fit measures) has sd sqrt(91), 10 in all.
        thermal = 3.0 * rng.standard_normal(SHAPE + (60,))
        data = numpy.where(inside[..., None], 800.0 + 91 ** 0.5 * smooth, 0.0) + thermal
        with tempfile.TemporaryDirectory() as folder:
            bold = os.path.join(folder, "bold.nii.gz")
            image = nibabel.Nifti1Image(data.astype(numpy.float32), numpy.diag([3.0, 3.0, 3.5, 1]))
            image.header["pixdim"][4] = TR
            nibabel.save(image, bold)
            run(TOLVANE, "fit-noise", bold, "--output", os.path.join(folder, "fit"))
            with open(os.path.join(folder, "fit", "noise_fit.json")) as file:
                by_axis = json.load(file)["estimates"]["spatial_correlation_by_axis"]
        noise = smooth - smooth.mean(axis=3, keepdims=True)
        for axis, name in enumerate("xyz"):
            for step in (1, 2):
                pairs = inside & numpy.roll(inside, -step, axis=axis)
                pairs[(slice(None),) * axis + (slice(SHAPE[axis] - step, None),)] = False
                shifted = numpy.roll(noise, -step, axis=axis)
                ours = (noise[pairs] * shifted[pairs]).sum() / (noise[pairs] ** 2).sum()
                self.assertAlmostEqual(by_axis[name]["measured"][step - 1], ours, delta=0.03)
        self.assertGreater(by_axis["x"]["measured"][0], by_axis["z"]["measured"][0] + 0.3)


class SmoothnessPerAxis(unittest.TestCase):
    """noise.smoothness_mm = [x, y, z]: each axis has its own Gaussian kernel, so the
    correlation of neighbours along each is that of its sampled kernel."""

    def test_each_axis_has_its_own_width(self):
        fwhm = [9.0, 6.0, 3.0]  # on 3 mm voxels
        with tempfile.TemporaryDirectory() as folder:
            study = os.path.join(folder, "study.toml")
            with open(study, "w") as file:
                file.write(f'protocol = "{os.path.abspath("examples/block_design.prt")}"\n'
                           f"volumes = 40\n[noise]\nsd = 5\nsmoothness_mm = {fwhm}\n")
            run(TOLVANE, "simulate", study, "--output", os.path.join(folder, "dataset"))
            data = nibabel.load(os.path.join(folder, "dataset", "sub-01", "func",
                                             "sub-01_task-sim_run-1_bold.nii.gz"))
            noise = data.get_fdata(dtype=numpy.float32)[10:-10, 10:-10, 10:-10] - 100.0
        for axis, width in enumerate(fwhm):
            sd = width / (8 * numpy.log(2)) ** 0.5 / 3.0
            reach = int(numpy.ceil(4 * sd))
            taps = numpy.exp(-0.5 * (numpy.arange(-reach, reach + 1) / sd) ** 2)
            expected = (taps[:-1] * taps[1:]).sum() / (taps ** 2).sum()
            shifted = numpy.roll(noise, -1, axis=axis)
            inner = (slice(None),) * axis + (slice(0, noise.shape[axis] - 1),)
            measured = (noise[inner] * shifted[inner]).sum() / (noise[inner] ** 2).sum()
            self.assertAlmostEqual(measured, expected, delta=0.02, msg=f"axis {axis}")


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
