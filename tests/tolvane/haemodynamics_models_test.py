#!/usr/bin/python3
"""The balloon model and glm's response bases through the tolvane executable: the
balloon model against scipy's solve_ivp and its saturation; the derivative columns
against SPM's definition built with scipy, and the FIR's bins.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/haemodynamics_models_test.py
"""
import csv
import math
import os
import shutil
import subprocess
import tempfile
import unittest

import numpy
from scipy import integrate

from haemodynamics_support import (BASELINE, GRID, KERNEL_SECONDS, PEAK_SHARE,
                                   SAMPLES_PER_VOLUME, TOLVANE, fine_events, region,
                                   region_course, region_rows, run_paths, run_simulate,
                                   two_gamma, write_events)


def balloon_bold(fine, step, kappa=0.65, gamma=0.41, tau=0.98, alpha=0.32, rho=0.34,
                 epsilon=0.54, v0=0.02):
    """The balloon-windkessel model (Friston et al. 2000) integrated by scipy's solve_ivp
    at tight tolerance, the input held on each run of equal fine samples; y at each fine
    sample's start, and the steady state of a constant input 1."""
    def rates(_, x, u):
        s, f, v, q = x
        outflow = v ** (1.0 / alpha)
        extraction = 1.0 - (1.0 - rho) ** (1.0 / f)
        return [epsilon * u - kappa * s - gamma * (f - 1.0), s, (f - outflow) / tau,
                (f * extraction / rho - outflow * q / v) / tau]

    def bold(s, f, v, q):
        return v0 * (7 * rho * (1 - q) + 2 * (1 - q / v) + (2 * rho - 0.2) * (1 - v))

    state = numpy.array([0.0, 1.0, 1.0, 1.0])
    y = numpy.zeros(fine.size)
    k = 0
    while k < fine.size:
        end = k
        while end < fine.size and fine[end] == fine[k]:
            end += 1
        times = numpy.arange(k, end + 1) * step
        solution = integrate.solve_ivp(rates, (times[0], times[-1]), state, t_eval=times,
                                       args=(fine[k],), rtol=1e-11, atol=1e-13, method="DOP853")
        y[k:end] = bold(*solution.y[:, :-1])
        state = solution.y[:, -1]
        k = end
    f = 1.0 + epsilon / gamma
    v = f ** alpha
    q = v * (1.0 - (1.0 - rho) ** (1.0 / f)) / rho
    return y, bold(0.0, f, v, q)


class BalloonModel(unittest.TestCase):
    """hrf = "balloon": the response against scipy's solve_ivp, and the saturation of
    two events 1 s apart by the amount the equations predict."""

    TR = 1.0
    VOLUMES = 80
    ONE = [(5.0, 0.5)]
    TWO = [(45.0, 0.5), (46.0, 0.5)]

    def test_response_and_saturation_agree_with_solve_ivp(self):
        folder = tempfile.mkdtemp(prefix="tolvane_balloon_")
        self.addCleanup(shutil.rmtree, folder, True)
        with open(os.path.join(folder, "events.tsv"), "w") as file:
            file.write("onset\tduration\ttrial_type\n")
            for onset, duration in self.ONE:
                file.write(f"{onset}\t{duration}\tOne\n")
            for onset, duration in self.TWO:
                file.write(f"{onset}\t{duration}\tTwo\n")
        text = (f'tr = {self.TR}\nvolumes = {self.VOLUMES}\nprotocol = "events.tsv"\n'
                f'baseline = {BASELINE}\nnoise.sd = 0\nhrf = "balloon"\n' + GRID
                + region("a", 0, "{ One = 1000, Two = 1000 }")
                + region("slow", 1, "{ One = 1000 }",
                         "{ transit_time_s = 1.6, efficacy = 0.9, oxygen_extraction = 0.4 }"))
        output, _ = run_simulate(folder, text)
        paths = run_paths(output)
        step = self.TR / SAMPLES_PER_VOLUME
        expected = {}
        for name, events, parameters in (("a", self.ONE, {}), ("a", self.TWO, {}),
                                         ("slow", self.ONE, {"tau": 1.6, "epsilon": 0.9,
                                                             "rho": 0.4})):
            y, plateau = balloon_bold(fine_events(events, self.TR, self.VOLUMES), step,
                                      **parameters)
            part = 1000.0 * y[::SAMPLES_PER_VOLUME] / plateau
            expected[name] = expected.get(name, 0.0) + part
            if name == "a":
                expected[events[0][0]] = part
        for name in ("a", "slow"):
            course = region_course(paths, int(region_rows(paths["table"])[name]["index"]))
            peak = numpy.abs(expected[name]).max()
            self.assertLess(numpy.abs(course - expected[name]).max(), PEAK_SHARE * peak, name)
        # Two events 1 s apart give less than twice one's response, by the equations' amount.
        course = region_course(paths, 1)
        one, two = course[:40].max(), course[40:].max()
        predicted = expected[45.0].max() / expected[5.0].max()
        self.assertLess(predicted, 1.99)
        self.assertAlmostEqual(two / one, predicted, delta=1e-3 * predicted)


class GlmResponseBasis(unittest.TestCase):
    """tolvane glm --hrf: the derivatives as SPM defines them, built independently with
    scipy, and the FIR's bins."""

    TR = 2.0
    VOLUMES = 60
    EVENTS = [(4.0, 1.0), (30.0, 2.0), (61.0, 0.5), (90.0, 1.0)]

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane_glm_hrf_")
        write_events(cls.folder, cls.EVENTS)
        text = (f'tr = {cls.TR}\nvolumes = {cls.VOLUMES}\nprotocol = "events.tsv"\n'
                f"baseline = {BASELINE}\n" + GRID + region("a", 0, "{ Stim = 3 }"))
        cls.output, _ = run_simulate(cls.folder, text)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def design(self, hrf):
        folder = os.path.join(self.folder, "glm_" + hrf.replace(":", "").replace("+", ""))
        result = subprocess.run([TOLVANE, "glm", run_paths(self.output)["bold"], "--output",
                                 folder, "--hrf", hrf, "--highpass", "0"],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(folder, "sub-01_task-sim_run-1_design.tsv")) as file:
            rows = list(csv.reader(file, delimiter="\t"))
        return rows[0], numpy.array(rows[1:], dtype=float)

    def test_derivatives_are_spms_finite_differences_orthogonalised(self):
        names, design = self.design("twogamma+derivatives")
        self.assertEqual(names, ["Stim", "Stim_derivative", "Stim_dispersion", "constant"])
        step = self.TR / SAMPLES_PER_VOLUME
        t = numpy.arange(math.ceil(KERNEL_SECONDS / step)) * step

        def unit(values):
            return values / values.sum()

        canonical = unit(two_gamma(t))
        kernels = [canonical,
                   (canonical - unit(two_gamma(t - 1.0))) / 1.0,
                   (canonical - unit(two_gamma(t, s1=1.01))) / 0.01]
        for i in range(1, 3):
            for j in range(i):
                kernels[i] = kernels[i] - kernels[i].dot(kernels[j]) / kernels[j].dot(
                    kernels[j]) * kernels[j]
        fine = fine_events(self.EVENTS, self.TR, self.VOLUMES)
        for column, kernel in enumerate(kernels):
            expected = numpy.convolve(fine, kernel)[:fine.size][::SAMPLES_PER_VOLUME]
            scale = numpy.abs(expected).max()
            # The columns are float32 values (as the canonical's always were).
            self.assertLess(numpy.abs(design[:, column] - expected).max(), 1e-6 * scale, column)

    def test_fir_bins_are_the_onsets_shifted_by_one_tr_each(self):
        names, design = self.design("fir:5")
        self.assertEqual(names[:5], [f"Stim_bin0{b}" for b in range(1, 6)])
        onsets = [int(onset // self.TR) for onset, _ in self.EVENTS]
        for b in range(5):
            expected = numpy.zeros(self.VOLUMES)
            expected[[o + b for o in onsets]] = 1.0
            self.assertTrue(numpy.array_equal(design[:, b], expected), b)

    def test_an_unknown_response_function_is_refused_with_the_forms_allowed(self):
        for hrf in ("gamma", "fir:0", "fir:65", "fir:2.5"):
            result = subprocess.run([TOLVANE, "glm", run_paths(self.output)["bold"], "--output",
                                     os.path.join(self.folder, "refused"), "--hrf", hrf],
                                    capture_output=True, text=True, timeout=120)
            self.assertEqual(result.returncode, 2, hrf)
            self.assertIn("expected twogamma, twogamma+derivatives or fir:N", result.stderr)

    def test_the_default_design_is_the_simulated_predictor(self):
        _, design = self.design("twogamma")
        truth = os.path.join(os.path.dirname(run_paths(self.output)["table"]),
                             "sub-01_task-sim_run-1_desc-predictors_timeseries.tsv")
        predictors = numpy.loadtxt(truth, skiprows=1, dtype=numpy.float32)
        self.assertTrue(numpy.array_equal(design[:, 0].astype(numpy.float32), predictors))


if __name__ == "__main__":
    unittest.main()
