#!/usr/bin/python3
"""Haemodynamic responses that vary (the hrf and trial_sd keys) through the tolvane
executable: each shape against an independent implementation (scipy's gamma density,
numpy's interpolation), the defaults against today's runs bit for bit, the drawn
parameters in the truth, their recovery by least squares on noiseless runs, trial
amplitudes, and the refusals. The balloon model and glm's bases are in
haemodynamics_models_test.py.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/haemodynamics_test.py
"""
import csv
import math
import shutil
import tempfile
import unittest

import nibabel
import numpy
from scipy import optimize, stats

from haemodynamics_support import (BASELINE, GRID, KERNEL_SECONDS, PEAK_SHARE, predictor,
                                   region, region_course, region_rows, run_paths, run_simulate,
                                   two_gamma, write_events)


class ResponseShapes(unittest.TestCase):
    """Each model's response to a brief event, against its independent evaluation."""

    TR = 1.0
    VOLUMES = 50
    EVENTS = [(5.0, 0.0)]
    FIR = [0.0, 0.2, 0.7, 1.0, 0.6, 0.1, -0.1]

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane_hrf_")
        write_events(cls.folder, [(o, "n/a") for o, _ in cls.EVENTS])
        top = (f'seed = 3\ntr = {cls.TR}\nvolumes = {cls.VOLUMES}\nprotocol = "events.tsv"\n'
               f"baseline = {BASELINE}\nnoise.sd = 0\n")
        regions = (
            region("twogamma", 0, "{ Stim = 1000 }",
                   "{ peak_delay_s = 7, undershoot_delay_s = 14, peak_dispersion_s = 1.2, "
                   "undershoot_dispersion_s = 0.9, undershoot_ratio = 4 }")
            + region("gamma", 1, "{ Stim = 1000 }",
                     '{ model = "gamma", peak_delay_s = 5, peak_dispersion_s = 0.8 }')
            + region("fir", 2, "{ Stim = 1000 }",
                     f'{{ model = "fir", values = {cls.FIR}, step_s = 1.5 }}')
            + region("canonical", 3, "{ Stim = 1000 }"))
        cls.output, _ = run_simulate(cls.folder, top + GRID + regions)
        cls.paths = run_paths(cls.output)
        cls.rows = region_rows(cls.paths["table"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def check(self, name, response, length_s):
        label = int(self.rows[name]["index"])
        course = region_course(self.paths, label)
        expected = 1000.0 * predictor(response, length_s, self.EVENTS, self.TR, self.VOLUMES)
        peak = numpy.abs(expected).max()
        self.assertGreater(peak, 1.0)
        worst = numpy.abs(course - expected).max()
        self.assertLess(worst, PEAK_SHARE * peak, f"{name}: {worst} of peak {peak}")

    def test_two_gamma_with_every_parameter_changed(self):
        self.check("twogamma", lambda t: two_gamma(t, 7, 14, 1.2, 0.9, 4), KERNEL_SECONDS)

    def test_single_gamma(self):
        self.check("gamma", lambda t: stats.gamma.pdf(t, 5 / 0.8, scale=0.8), KERNEL_SECONDS)

    def test_fir_values_joined_by_straight_lines(self):
        knots = numpy.arange(len(self.FIR) + 1) * 1.5
        values = numpy.array(self.FIR + [0.0])
        self.check("fir", lambda t: numpy.interp(t, knots, values, right=0.0), knots[-1])

    def test_region_without_hrf_key_keeps_the_canonical_response(self):
        self.check("canonical", two_gamma, KERNEL_SECONDS)

    def test_truth_records_parameters_and_time_to_peak(self):
        rows = self.rows
        self.assertEqual(rows["gamma"]["hrf_model"], "gamma")
        self.assertEqual(rows["gamma"]["hrf_undershoot_ratio"], "n/a")
        self.assertEqual(rows["fir"]["hrf_peak_delay_s"], "n/a")
        self.assertEqual(float(rows["twogamma"]["hrf_undershoot_ratio"]), 4.0)
        # A gamma peaks at its mode, delay - dispersion; the FIR at its largest value.
        self.assertAlmostEqual(float(rows["gamma"]["hrf_peak_latency_s"]), 4.2, places=5)
        self.assertAlmostEqual(float(rows["fir"]["hrf_peak_latency_s"]), 4.5, places=9)
        # The canonical response peaks at 5.0 s (its numerical maximum).
        t = numpy.linspace(4.5, 5.5, 100001)
        canonical = t[numpy.argmax(two_gamma(t))]
        self.assertAlmostEqual(float(rows["canonical"]["hrf_peak_latency_s"]), canonical, places=4)
        labels = numpy.asarray(nibabel.load(self.paths["labels"]).dataobj)
        latency = numpy.asarray(nibabel.load(self.paths["latency"]).dataobj)
        self.assertEqual(latency.dtype, numpy.float32)
        for row in rows.values():
            inside = latency[labels == int(row["index"])]
            self.assertTrue(numpy.all(inside == numpy.float32(float(row["hrf_peak_latency_s"]))))
        self.assertTrue(numpy.all(latency[labels == 0] == 0.0))


class DefaultsAndDraws(unittest.TestCase):
    """The defaults give today's runs to the bit; draws per subject and region, from
    a stream of their own."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane_hrf_draws_")
        write_events(cls.folder, [(4 + 12 * k, 1.0) for k in range(5)])
        cls.top = ('seed = 8\nsubjects = 4\ntr = 2.0\nvolumes = 40\nprotocol = "events.tsv"\n'
                   f"baseline = {BASELINE}\nnoise.sd = 5\n")
        cls.effects = '{ Stim = { mean = 4, sd = 1, run_sd = 0.5 } }'

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def simulate(self, hrf_top="", hrf_a="", hrf_b="", name="study.toml"):
        text = (self.top + (f"hrf = {hrf_top}\n" if hrf_top else "") + GRID
                + region("a", 0, self.effects, hrf_a) + region("b", 1, self.effects, hrf_b))
        output, _ = run_simulate(self.folder, text, name=name)
        return output

    def test_default_parameters_give_todays_runs_bit_for_bit(self):
        plain = self.simulate(name="plain.toml")
        defaults = self.simulate(
            hrf_top='{ model = "twogamma", peak_delay_s = 6, undershoot_delay_s = 16, '
                    "peak_dispersion_s = 1, undershoot_dispersion_s = 1, undershoot_ratio = 6 }",
            name="defaults.toml")
        for subject in (1, 4):
            ours = nibabel.load(run_paths(defaults, subject)["bold"]).dataobj
            theirs = nibabel.load(run_paths(plain, subject)["bold"]).dataobj
            self.assertTrue(numpy.array_equal(numpy.asarray(ours), numpy.asarray(theirs)))

    def test_subject_and_region_draws_and_their_independence(self):
        plain = self.simulate(name="plain2.toml")
        drawn = self.simulate(hrf_top="{ peak_delay_s = { mean = 6, sd = 0.8 } }",
                              hrf_b="{ undershoot_ratio = { mean = 6, sd = 0, region_sd = 1 } }",
                              name="drawn.toml")
        delays, ratios = [], []
        for subject in range(1, 5):
            rows = region_rows(run_paths(drawn, subject)["table"])
            # sd alone: every region of a subject shares the subject's deviation.
            self.assertEqual(rows["a"]["hrf_peak_delay_s"], rows["b"]["hrf_peak_delay_s"])
            self.assertEqual(float(rows["a"]["hrf_undershoot_ratio"]), 6.0)
            delays.append(float(rows["a"]["hrf_peak_delay_s"]))
            ratios.append(float(rows["b"]["hrf_undershoot_ratio"]))
            # The effects' draws are the same with and without the response's.
            plain_rows = region_rows(run_paths(plain, subject)["table"])
            self.assertEqual(rows["a"]["effect_Stim"], plain_rows["a"]["effect_Stim"])
        self.assertEqual(len(set(delays)), 4)
        self.assertEqual(len(set(ratios)), 4)
        self.assertTrue(all(4.0 < d < 8.0 for d in delays), delays)

    def test_the_same_study_draws_the_same_responses(self):
        first = self.simulate(hrf_a="{ peak_delay_s = { mean = 5, region_sd = 1 } }",
                              name="again1.toml")
        second = self.simulate(hrf_a="{ peak_delay_s = { mean = 5, region_sd = 1 } }",
                               name="again2.toml")
        with open(run_paths(first, 3)["table"]) as a, open(run_paths(second, 3)["table"]) as b:
            self.assertEqual(a.read(), b.read())


class Recovery(unittest.TestCase):
    """On noiseless runs, a least-squares fit of the two-gamma's peak delay to each
    subject's data finds the delay the truth records."""

    TR = 1.0
    VOLUMES = 90
    EVENTS = [(3.0 + 11.0 * k, 2.0) for k in range(7)]

    def test_least_squares_recovers_each_subjects_peak_delay(self):
        folder = tempfile.mkdtemp(prefix="tolvane_hrf_fit_")
        self.addCleanup(shutil.rmtree, folder, True)
        write_events(folder, self.EVENTS)
        text = (f'seed = 21\nsubjects = 5\ntr = {self.TR}\nvolumes = {self.VOLUMES}\n'
                f'protocol = "events.tsv"\nbaseline = {BASELINE}\nnoise.sd = 0\n'
                "hrf = { peak_delay_s = { mean = 6, sd = 1.2 } }\n" + GRID
                + region("a", 0, "{ Stim = 50 }"))
        output, _ = run_simulate(folder, text)
        for subject in range(1, 6):
            paths = run_paths(output, subject)
            truth = float(region_rows(paths["table"])["a"]["hrf_peak_delay_s"])
            course = region_course(paths, 1)

            def residual(delay):
                p = predictor(lambda t: two_gamma(t, d1=delay), KERNEL_SECONDS, self.EVENTS,
                              self.TR, self.VOLUMES)
                amplitude = p.dot(course) / p.dot(p)
                return numpy.sum((course - amplitude * p) ** 2)

            fit = optimize.minimize_scalar(residual, bounds=(2.0, 12.0), method="bounded",
                                           options={"xatol": 1e-4})
            self.assertLess(abs(fit.x - truth), 0.1, f"subject {subject}: {fit.x} vs {truth}")


class TrialAmplitudes(unittest.TestCase):
    """trial_sd: each trial's response has the amplitude the truth's trials table gives,
    shared across regions when relative, and drawn from a stream of its own."""

    TR = 1.0
    TRIALS = 24
    EVENTS = [(2.0 + 14.0 * k, 1.0) for k in range(TRIALS)]
    VOLUMES = 2 + 14 * TRIALS + 20

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane_trials_")
        write_events(cls.folder, cls.EVENTS)
        cls.top = (f'seed = 4\nruns = 2\ntr = {cls.TR}\nvolumes = {cls.VOLUMES}\n'
                   f'protocol = "events.tsv"\nbaseline = {BASELINE}\n')
        cls.regions = (region("a", 0, "{ Stim = 40 }") + region("b", 1, '{ Stim = "20% peak" }')
                       + region("none", 2, "{ Stim = 0 }"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def simulate(self, trial_sd, noise, name):
        text = (self.top + f"noise.sd = {noise}\n"
                + (f"trial_sd = {{ Stim = {trial_sd} }}\n" if trial_sd else "")
                + GRID + self.regions)
        output, _ = run_simulate(self.folder, text, name=name)
        return output

    def trials(self, output, run=1):
        path = run_paths(output)["table"].replace("desc-regions_dseg", "desc-trials_events")
        path = path.replace("run-1", f"run-{run}")
        with open(path) as file:
            return list(csv.DictReader(file, delimiter="\t"))

    def test_each_trials_response_has_the_recorded_amplitude(self):
        output = self.simulate("{ relative = 0.4 }", 0, "relative.toml")
        rows = self.trials(output)
        self.assertEqual([float(r["onset"]) for r in rows], [e[0] for e in self.EVENTS])
        table = region_rows(run_paths(output)["table"])
        for name in ("a", "b"):
            course = region_course(run_paths(output), int(table[name]["index"]))
            expected = sum(float(row[f"amplitude_{name}"])
                           * predictor(two_gamma, KERNEL_SECONDS, [event], self.TR, self.VOLUMES)
                           for row, event in zip(rows, self.EVENTS))
            peak = numpy.abs(expected).max()
            self.assertLess(numpy.abs(course - expected).max(), PEAK_SHARE * peak, name)
        # Relative: one factor per trial, shared by the regions; the mean effect is
        # the study file's. Factors are 1 + 0.4 z: their mean and sd over 48 trials.
        factors = []
        for run in (1, 2):
            for row in self.trials(output, run):
                factor = float(row["amplitude_a"]) / 40.0
                self.assertAlmostEqual(float(row["amplitude_b"]) / float(table["b"]["effect_Stim"]),
                                       factor, places=5)
                self.assertEqual(float(row["amplitude_none"]), 0.0)
                factors.append(factor)
        factors = numpy.array(factors)
        standard_error = 0.4 / math.sqrt(factors.size)
        self.assertLess(abs(factors.mean() - 1.0), 5 * standard_error)
        self.assertLess(abs(factors.std(ddof=1) - 0.4), 5 * 0.4 / math.sqrt(2 * factors.size))
        self.assertNotEqual(self.trials(output, 1), self.trials(output, 2))

    def test_absolute_spread_adds_to_each_regions_effect(self):
        output = self.simulate('"2%"', 0, "absolute.toml")
        table = region_rows(run_paths(output)["table"])
        effect_b = float(table["b"]["effect_Stim"])
        for row in self.trials(output):
            deviation = float(row["amplitude_a"]) - 40.0
            self.assertAlmostEqual(float(row["amplitude_b"]) - effect_b, deviation, places=4)
            self.assertEqual(float(row["amplitude_none"]), 0.0)

    def test_the_noise_and_effects_draws_are_untouched(self):
        plain = self.simulate("", 5, "plain.toml")
        varied = self.simulate("{ relative = 0.4 }", 5, "varied.toml")
        labels = numpy.asarray(nibabel.load(run_paths(plain)["labels"]).dataobj)
        ours = numpy.asarray(nibabel.load(run_paths(varied)["bold"]).dataobj)
        theirs = numpy.asarray(nibabel.load(run_paths(plain)["bold"]).dataobj)
        outside = labels == 0
        self.assertTrue(numpy.array_equal(ours[outside], theirs[outside]))
        self.assertFalse(numpy.array_equal(ours[labels == 1], theirs[labels == 1]))


class Refusals(unittest.TestCase):
    """Each wrong hrf key is refused with a message naming the key and what to do."""

    def test_each_wrong_key_names_itself_and_the_fix(self):
        folder = tempfile.mkdtemp(prefix="tolvane_hrf_bad_")
        self.addCleanup(shutil.rmtree, folder, True)
        write_events(folder, [(2.0, 1.0)])
        top = f'subjects = 30\nprotocol = "events.tsv"\nbaseline = {BASELINE}\n'
        cases = [
            ('"spline"', "", 'key hrf: expected "twogamma", "gamma", "fir" or "balloon"'),
            ('{ model = "balloon", oxygen_extraction = 1.2 }', "", "expected a fraction below 1"),
            ('{ model = "balloon", peak_delay_s = 5 }', "", "not a parameter of this region's"),
            ("{ peak_delay = 5 }", "", "key hrf.peak_delay: unknown key"),
            ('{ model = "gamma", undershoot_ratio = 3 }', "",
             "key hrf.undershoot_ratio: not a parameter of this region's model"),
            ("{ peak_delay_s = 0.5 }", "", "is not above peak_dispersion_s"),
            ("{ peak_delay_s = { mean = 6, sd = -1 } }", "",
             "key hrf.peak_delay_s.sd: expected a standard deviation"),
            ("{ peak_delay_s = { mean = 3, sd = 2 } }", "", "make the sd or region_sd smaller"),
            ('"fir"', "", "expected values, the FIR response"),
            ('{ model = "fir", values = [0, -1] }', "", "positive sum"),
            ("", "{ values = [0, 1] }", 'values and step_s belong to model = "fir"'),
            ("", "{ peak_delay_s = 7 }\npattern = { sd = 1.0, correlation = 0.3 }",
             "expected no hrf keys in a study whose regions have voxel patterns"),
            ("", "", "key trial_sd.Stimulus: expected a condition of the events",
             "trial_sd = { Stimulus = 0.2 }\n"),
            ("", "", "key trial_sd.Stim: expected a spread per condition",
             'trial_sd = { Stim = "0.2" }\n'),
            ("", "", "key trial_sd.Stim: expected a spread of 0 or more",
             "trial_sd = { Stim = { relative = -0.2 } }\n"),
        ]
        for top_hrf, region_hrf, message, *extra in cases:
            text = (top + (f"hrf = {top_hrf}\n" if top_hrf else "") + "".join(extra) + GRID
                    + region("a", 0, "{ Stim = 2 }", region_hrf))
            _, result = run_simulate(folder, text, status=2)
            self.assertIn(message, result.stderr, text)
            self.assertIn("study.toml:", result.stderr)


if __name__ == "__main__":
    unittest.main()
