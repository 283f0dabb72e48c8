#!/usr/bin/python3
"""tolvane group and the dataset-wide evaluate through the executable: group maps
against numpy's fixed effects and second-level fit of the same first-level maps, the
truth of a contrast and its signs, and a null study's false-positive rates against
what the null predicts, with and without prewhitening on AR(1) noise.

Run by CTest with the system interpreter (Debian's nibabel, numpy and scipy) from the
repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/group_test.py
"""
import glob
import json
import math
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import unittest

import nibabel
import numpy
import scipy.ndimage
import scipy.stats

TOLVANE = os.environ["TOLVANE"]
EXAMPLES = os.path.abspath("examples")
# Maps are stored in single precision; the statistics are formed in double.
FLOAT_RELATIVE = 1e-5


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=900)
    if result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


def values(path):
    return numpy.asarray(nibabel.load(path).dataobj, dtype=numpy.float64)


def folder_contents(folder):
    contents = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as file:
            contents[name] = file.read()
    return contents


def wilson(count, total):
    z = scipy.stats.norm.ppf(0.975)
    rate = count / total
    centre = (rate + z * z / (2 * total)) / (1 + z * z / total)
    half = z * math.sqrt(rate * (1 - rate) / total + z * z / (4 * total * total)) / (1 + z * z / total)
    return (0.0 if count == 0 else centre - half, 1.0 if count == total else centre + half)


class TwoRegionStudy(unittest.TestCase):
    """Three subjects of two runs, Faces and Houses in two regions of opposite contrast."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-group-")
        cls.dataset = os.path.join(cls.folder, "study")
        run(TOLVANE, "simulate", os.path.join(EXAMPLES, "two_regions_study.toml"), "--output",
            cls.dataset)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_group_maps_are_fixed_effects_then_a_second_level_fit_of_the_runs(self):
        table = os.path.join(self.folder, "participants.tsv")
        with open(table, "w") as file:
            file.write("participant_id\tage\nsub-01\t30\nsub-02\t41\nsub-03\t25\n")
        output = os.path.join(self.folder, "group")
        result = run(TOLVANE, "group", self.dataset, "--contrast", "Faces - Houses",
                     "--covariate", table, "age", "--output", output)
        self.assertIn("3 subjects, 6 runs (6 first-level fits", result.stderr)
        glm = os.path.join(self.dataset, "derivatives", "tolvane-glm")
        label = "FacesMinusHouses"
        subject_effects = []
        for subject in ("sub-01", "sub-02", "sub-03"):
            runs = sorted(glob.glob(f"{glm}/{subject}/func/*_contrast-{label}_stat-effect_statmap.nii.gz"))
            self.assertEqual(len(runs), 2)
            effects = numpy.array([values(path) for path in runs])
            variances = numpy.array([values(path.replace("stat-effect", "stat-variance"))
                                     for path in runs])
            weights = 1.0 / variances
            effect = (weights * effects).sum(axis=0) / weights.sum(axis=0)
            variance = 1.0 / weights.sum(axis=0)
            stem = f"{output}/{subject}/{subject}_contrast-{label}_stat-"
            numpy.testing.assert_allclose(values(stem + "effect_statmap.nii.gz"), effect,
                                          rtol=FLOAT_RELATIVE, atol=1e-6)
            numpy.testing.assert_allclose(values(stem + "t_statmap.nii.gz"),
                                          effect / numpy.sqrt(variance), rtol=FLOAT_RELATIVE)
            run_dof = 0
            for path in runs:
                with open(path.replace("stat-effect_statmap.nii.gz", "stat-t_statmap.json")) as file:
                    run_dof += json.load(file)["DegreesOfFreedom"]
            with open(stem + "t_statmap.json") as file:
                self.assertEqual(json.load(file)["DegreesOfFreedom"], run_dof)
            subject_effects.append(values(stem + "effect_statmap.nii.gz"))

        # The second level with numpy's least squares on [1, centred age].
        y = numpy.array(subject_effects).reshape(3, -1)
        age = numpy.array([30.0, 41.0, 25.0])
        design = numpy.column_stack([numpy.ones(3), age - age.mean()])
        beta, residuals, _, _ = numpy.linalg.lstsq(design, y, rcond=None)
        sigma2 = residuals / (3 - 2)
        covariance = numpy.linalg.inv(design.T @ design)
        shape = subject_effects[0].shape
        for column, name in ((0, f"group_contrast-{label}"), (1, f"group_contrast-{label}_desc-age")):
            t = (beta[column] / numpy.sqrt(sigma2 * covariance[column, column])).reshape(shape)
            numpy.testing.assert_allclose(values(f"{output}/{name}_stat-effect_statmap.nii.gz"),
                                          beta[column].reshape(shape), rtol=1e-4, atol=1e-5)
            numpy.testing.assert_allclose(values(f"{output}/{name}_stat-t_statmap.nii.gz"), t,
                                          rtol=1e-4, atol=1e-4)
            numpy.testing.assert_allclose(values(f"{output}/{name}_stat-p_statmap.nii.gz"),
                                          2 * scipy.stats.t.sf(numpy.abs(t), 1), rtol=1e-3, atol=1e-6)

        # Without a covariate, a one-sample t test on two degrees of freedom; the glm maps
        # are reused this time.
        result = run(TOLVANE, "group", self.dataset, "--contrast", "Faces - Houses", "--output",
                     output)
        self.assertIn("(0 first-level fits", result.stderr)
        mean_t = values(f"{output}/group_contrast-{label}_stat-t_statmap.nii.gz")
        expected = scipy.stats.ttest_1samp(y, 0.0, axis=0).statistic.reshape(shape)
        numpy.testing.assert_allclose(mean_t, expected, rtol=1e-4, atol=1e-4)

        # The dataset's evaluation scores every run and the group map.
        report = os.path.join(self.folder, "evaluation.json")
        run(TOLVANE, "evaluate", self.dataset, "--contrast", "Faces - Houses", "--group-dir",
            output, "--threshold", "3", "--output", report)
        with open(report) as file:
            evaluation = json.load(file)
        areas = [entry["areaUnderCurve"] for entry in evaluation["runs"]]
        self.assertEqual(len(areas), 6)
        self.assertAlmostEqual(evaluation["pooled"]["meanAreaUnderCurve"], numpy.mean(areas))
        self.assertGreater(evaluation["group"]["areaUnderCurve"], 0.5)

    def test_a_contrast_is_scored_against_its_own_truth_on_the_chosen_side(self):
        prefix = "sub-01_task-faceshouses_run-1"
        truth = os.path.join(self.dataset, "derivatives", "tolvane", "sub-01", "func")
        faces = values(f"{truth}/{prefix}_desc-Faces_effect.nii.gz")
        houses = values(f"{truth}/{prefix}_desc-Houses_effect.nii.gz")
        contrast = faces - houses
        # Both signs occur: the sphere prefers faces, the other region houses.
        self.assertGreater((contrast > 0).sum(), 0)
        self.assertGreater((contrast < 0).sum(), 0)
        glm = os.path.join(self.folder, "glm")
        run(TOLVANE, "glm", os.path.join(self.dataset, "sub-01", "func", f"{prefix}_bold.nii.gz"),
            "--output", glm, "--contrast", "Faces - Houses")
        stat = f"{glm}/{prefix}_contrast-FacesMinusHouses_stat-t_statmap.nii.gz"
        t = values(stat)
        output = os.path.join(self.folder, "contrast.json")
        for sign, positives, statistic in (("both", contrast != 0, numpy.abs(t)),
                                           ("positive", contrast > 0, t),
                                           ("negative", contrast < 0, -t)):
            arguments = ["--truth", f"{truth}/{prefix}_desc-Houses_effect.nii.gz", "--stat", stat,
                         "--contrast", "Faces - Houses", "--threshold", "2", "--output", output]
            if sign != "both":
                arguments += ["--sign", sign]
            run(TOLVANE, "evaluate", *arguments)
            with open(output) as file:
                scores = json.load(file)
            self.assertEqual(scores["contrastWeights"], {"Faces": 1.0, "Houses": -1.0})
            self.assertEqual(scores["sign"], "two-sided" if sign == "both" else sign)
            self.assertEqual(scores["positives"], int(positives.sum()))
            counts = scores["thresholds"][0]
            self.assertEqual(counts["truePositives"], int((positives & (statistic > 2)).sum()))
            self.assertEqual(counts["falsePositives"], int((~positives & (statistic > 2)).sum()))
            # The Mann-Whitney statistic of the side's statistic, positives against the rest.
            area = scipy.stats.mannwhitneyu(statistic[positives], statistic[~positives]).statistic
            self.assertAlmostEqual(scores["areaUnderCurve"],
                                   area / positives.sum() / (~positives).sum(), places=9)
        # The truth folder itself works as well, the run found from the map's name.
        run(TOLVANE, "evaluate", "--truth", truth, "--stat", stat, "--contrast", "Faces - Houses")
        # The p map next to the t map is refused.
        result = run(TOLVANE, "evaluate", "--truth", truth, "--stat",
                     stat.replace("stat-t", "stat-p"), "--contrast", "Faces - Houses", status=2)
        self.assertIn("give the t map", result.stderr)


    def test_glm_on_a_full_disk_leaves_the_maps_it_had(self):
        prefix = "sub-02_task-faceshouses_run-1"
        bold = os.path.join(self.dataset, "sub-02", "func", f"{prefix}_bold.nii.gz")
        glm = os.path.join(self.folder, "glm-full-disk")
        run(TOLVANE, "glm", bold, "--output", glm, "--contrast", "Faces - Houses")
        before = folder_contents(glm)

        def small_files():
            # Files stop growing at 3000 bytes, as on a full disk: the sidecars fit, the
            # maps do not. SIGXFSZ ignored, the write fails instead of killing tolvane.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (3000, resource.RLIM_INFINITY))

        result = subprocess.run([TOLVANE, "glm", bold, "--output", glm, "--contrast",
                                 "Faces - Houses", "--prewhiten", "ar1"], capture_output=True,
                                text=True, preexec_fn=small_files, timeout=600)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn("keeps the maps it held before", result.stderr)
        self.assertEqual(folder_contents(glm), before)

    def test_unusable_requests_are_refused_before_any_fit(self):
        table = os.path.join(self.folder, "partial.tsv")
        with open(table, "w") as file:
            file.write("participant_id\tgroup\nsub-01\t0\nsub-02\t1\n")
        output = os.path.join(self.folder, "refused")
        for arguments, expected in (
                (["group", self.dataset, "--contrast", "Faces - Houses", "--covariate", table,
                  "group", "--output", output], [table, "sub-03"]),
                (["group", self.dataset, "--contrast", "Faces - Houses", "--covariate", table,
                  "age", "--output", output], [table, "age"]),
                (["evaluate", self.dataset, "--threshold", "3"], ["--contrast"]),
                (["evaluate", self.dataset, "--contrast", "Faces - Houses",
                  "--cluster-threshold", "3"], ["--cluster-size"])):
            result = run(TOLVANE, *arguments, status=2)
            for text in expected:
                self.assertIn(text, result.stderr)
            self.assertNotIn("fitting", result.stderr)
        self.assertFalse(os.path.exists(output))


class NullStudy(unittest.TestCase):
    """Twenty runs without any effect, AR(1) noise of rho 0.4: every active voxel is a
    false positive."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-null-")
        cls.dataset = os.path.join(cls.folder, "null")
        run(TOLVANE, "simulate", os.path.join(EXAMPLES, "null_study.toml"), "--output",
            cls.dataset)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def evaluate(self, prewhiten):
        # The user's own fits, in a folder of their own that evaluate only reads.
        glm = os.path.join(self.folder, f"glm-{prewhiten}")
        for bold in sorted(glob.glob(f"{self.dataset}/sub-*/func/*_bold.nii.gz")):
            subject = os.path.basename(bold).split("_")[0]
            run(TOLVANE, "glm", bold, "--prewhiten", prewhiten, "--output",
                os.path.join(glm, subject, "func"))
        output = os.path.join(self.folder, f"{prewhiten}.json")
        result = run(TOLVANE, "evaluate", self.dataset, "--contrast", "Task",
                     "--glm-dir", glm, "--prewhiten", prewhiten, "--p-threshold", "0.001",
                     "--p-threshold", "0.05", "--cluster-threshold", "3.1", "--cluster-size",
                     "4", "--output", output)
        self.assertIn("a null study", result.stdout)
        with open(output) as file:
            evaluation = json.load(file)
        maps = sorted(glob.glob(f"{glm}/sub-*/func/*_contrast-Task_stat-t_statmap.nii.gz"))
        self.assertEqual(len(maps), 20)
        return evaluation, [values(path) for path in maps]

    def check_counts(self, evaluation, t_maps):
        """The reported rates are those of the maps, with Wilson intervals."""
        dof = evaluation["degreesOfFreedom"]
        for entry, p in zip(evaluation["pooled"]["thresholds"], (0.001, 0.05)):
            threshold = entry["threshold"]
            # The module's t tail is a single-precision incomplete beta function.
            self.assertAlmostEqual(threshold, scipy.stats.t.isf(p / 2, dof), places=4)
            self.assertLess(abs(entry["nominalRate"] - p), 1e-3 * p)
            above = sum(int((numpy.abs(t) > threshold).sum()) for t in t_maps)
            total = sum(t.size for t in t_maps)
            rate = entry["falsePositiveRate"]
            self.assertEqual((rate["count"], rate["total"]), (above, total))
            numpy.testing.assert_allclose(rate["interval95"], wilson(above, total), rtol=1e-9)
            runs_above = sum(int((numpy.abs(t) > threshold).any()) for t in t_maps)
            self.assertEqual(entry["familyWiseRate"]["count"], runs_above)
        # Clusters join by faces, edges and corners (26-connectivity, the default).
        corners = scipy.ndimage.generate_binary_structure(3, 3)
        largest = [max(numpy.bincount(scipy.ndimage.label(numpy.abs(t) > 3.1, corners)[0].ravel())[1:],
                       default=0) for t in t_maps]
        self.assertEqual(evaluation["pooled"]["clusterFamilyWiseRate"]["count"],
                         sum(size >= 4 for size in largest))
        pooled = numpy.concatenate([t.ravel() for t in t_maps])
        self.assertAlmostEqual(evaluation["pooled"]["studentT"]["largestCdfDifference"],
                               scipy.stats.kstest(pooled, "t", args=(dof,)).statistic, places=5)
        return [entry["falsePositiveRate"] for entry in evaluation["pooled"]["thresholds"]]

    def test_prewhitening_brings_the_rates_to_their_nominal_values(self):
        ols, ols_maps = self.evaluate("none")
        ar1, ar1_maps = self.evaluate("ar1")
        ols_rates = self.check_counts(ols, ols_maps)
        ar1_rates = self.check_counts(ar1, ar1_maps)
        # Without prewhitening, positive autocorrelation makes t too large: far more false
        # positives than the nominal rate, which lies below the whole interval.
        for rate, nominal in zip(ols_rates, (0.001, 0.05)):
            self.assertGreater(rate["interval95"][0], 2 * nominal)
        # With it, the rates are near nominal (the pooled rho, 0.396 for 0.4, leaves them
        # a little liberal: 0.00122 and 0.0517 here), and the t values follow Student's t
        # to within about the distance expected of this many independent values.
        for rate, nominal in zip(ar1_rates, (0.001, 0.05)):
            self.assertLess(rate["interval95"][0], 1.2 * nominal)
            self.assertGreater(rate["interval95"][1], nominal)
        student = ar1["pooled"]["studentT"]
        self.assertLess(student["largestCdfDifference"], 1.5 * student["criticalValue5Percent"])
        self.assertGreater(ols["pooled"]["studentT"]["largestCdfDifference"],
                           10 * student["largestCdfDifference"])


class FortyRunReport(unittest.TestCase):
    """The report of a 40-run study after its glm outputs: the dataset's table covers every
    run, four runs are shown in full, and the page stays small and opens cleanly. (How
    long it takes is bench/report_bench.py's to measure.)"""

    def test_a_forty_run_report_stays_small_and_renders_without_errors(self):
        folder = tempfile.mkdtemp(prefix="tolvane-forty-")
        self.addCleanup(shutil.rmtree, folder)
        study = os.path.join(folder, "forty.toml")
        with open(study, "w") as file:
            file.write(FORTY_RUN_STUDY.format(protocol=os.path.join(EXAMPLES, "block_design.prt")))
        dataset = os.path.join(folder, "forty")
        run(TOLVANE, "simulate", study, "--output", dataset)
        run(TOLVANE, "evaluate", dataset, "--contrast", "Task", "--prewhiten", "ar1")
        page_file = os.path.join(folder, "report.html")
        result = run(TOLVANE, "report", dataset, "--output", page_file)
        self.assertIn("scored 40 t maps of 40 runs", result.stderr)
        self.assertLess(os.path.getsize(page_file), MOST_REPORT_BYTES)
        with open(page_file) as file:
            page = file.read()
        self.assertIn("the first 4 of 40 runs shown in full", page)
        self.assertEqual(page.count("<section id=\"run-"), 4)
        self.assertEqual(page.count("<td>Task</td>"), 40)
        # AR(1) noise: the fits were prewhitened, and the report says where they came from.
        self.assertIn("t maps from", page)
        self.assertNotIn("fitted for this report", page)
        executable = shutil.which("chromium")
        if executable is None:
            if os.environ.get("CI") == "true":
                self.fail("chromium is not installed (scripts/install-dependencies installs it)")
            self.skipTest("chromium is not installed; the page was not opened in a browser")
        from analysis_test import Chromium
        browser = Chromium(executable, os.path.join(folder, "profile"))
        try:
            browser.open("file://" + page_file, 1280)
            images = browser.evaluate(
                "[...document.images].map(i => i.complete && i.naturalWidth > 0)")
            self.assertTrue(images and all(images))
        finally:
            browser.close()
        problems = [event for event in browser.events
                    if event.get("method") in ("Network.loadingFailed", "Runtime.exceptionThrown")
                    or (event.get("method") == "Log.entryAdded"
                        and event["params"]["entry"]["level"] == "error")]
        self.assertEqual(problems, [])


# A page of a large study must stay easy to mail and to open.
MOST_REPORT_BYTES = 4 * 1024 * 1024
FORTY_RUN_STUDY = """
subjects = 40
task = "blocks"
protocol = "{protocol}"

[noise]
sd = 5
model = "ar1"
rho = 0.4

[grid]
box = [84, 144, 84, 144, 84, 144]
resolution = 3

[[region]]
centre_voxel = [114, 114, 114]
radius_voxels = 2
effects = {{ Task = "2%" }}
"""


if __name__ == "__main__":
    unittest.main()
