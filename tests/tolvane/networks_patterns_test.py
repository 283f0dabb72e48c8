#!/usr/bin/python3
"""Networks and patterns through the tolvane executable: the truth files against the
data, a seed-based connectivity estimate and per-voxel GLM estimates scored with numpy,
and the BIDS validator.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane BIDS_VALIDATOR=.../bids-validator \
  /usr/bin/python3 tests/tolvane/networks_patterns_test.py
"""
import csv
import glob
import json
import os
import subprocess
import tempfile
import unittest

import nibabel
import numpy

TOLVANE = os.environ["TOLVANE"]
BIDS_VALIDATOR = os.environ.get("BIDS_VALIDATOR", "")
EXAMPLES = os.path.abspath("examples")

GRID = "[grid]\nbox = [100, 148, 100, 148, 100, 124]\nresolution = 3\n"


def simulate(folder, text, name="study.toml"):
    study = os.path.join(folder, name)
    with open(study, "w") as file:
        file.write(text)
    output = os.path.join(folder, "out")
    subprocess.run([TOLVANE, "simulate", study, "--output", output], check=True,
                   capture_output=True, text=True, timeout=300)
    return output


def table(path):
    with open(path) as file:
        return list(csv.reader(file, delimiter="\t"))


def evaluate(folder, *options):
    output = os.path.join(folder, "scores.json")
    subprocess.run([TOLVANE, "evaluate", *options, "--output", output], check=True,
                   capture_output=True, text=True, timeout=300)
    with open(output) as file:
        return json.load(file)


def write_matrix(path, label, names, values):
    with open(path, "w") as file:
        file.write("\t".join([label] + names) + "\n")
        for name, row in zip(names, values):
            file.write("\t".join([name] + [repr(float(v)) for v in row]) + "\n")


def validate(test, dataset):
    if not os.path.exists(BIDS_VALIDATOR):
        test.skipTest(f"the BIDS validator is not installed at {BIDS_VALIDATOR}")
    result = subprocess.run([BIDS_VALIDATOR, dataset, "--json"], capture_output=True, text=True)
    errors = [issue["key"] for issue in json.loads(result.stdout)["issues"]["errors"]]
    test.assertEqual(errors, [], result.stdout[:2000])


class RestingNetworks(unittest.TestCase):
    """Eight single-region nodes in two networks on a 16 x 16 x 8 grid, white noise."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        with open(os.path.join(cls.folder.name, "rest.prt"), "w") as file:
            file.write("units volumes\n\ncondition Rest\n  1 150\n")
        regions = ""
        names = [f"n{i}" for i in range(8)]
        for i, name in enumerate(names):
            regions += (f'[[region]]\nname = "{name}"\ncentre_voxel = [{106 + 12 * (i % 4)}, '
                        f'{112 + 18 * (i // 4)}, 112]\nradius_voxels = 1\n')
        networks = ""
        for n, nodes in enumerate((names[:4], names[4:])):
            quoted = ", ".join(f'"{x}"' for x in nodes)
            networks += (f'[[network]]\nregions = [{quoted}]\n'
                         f'modules = [["{nodes[0]}", "{nodes[1]}"], ["{nodes[2]}", "{nodes[3]}"]]\n'
                         'correlation = { within = 0.7, between = 0.3 }\namplitude = 3\n')
        cls.dataset = simulate(cls.folder.name,
                               'subjects = 3\ntask = "rest"\nprotocol = "rest.prt"\n'
                               'volumes = 150\nnoise.sd = 2\n' + GRID + regions + networks)
        cls.names = names

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def truth(self, subject, suffix):
        return os.path.join(self.dataset, "derivatives", "tolvane", f"sub-0{subject}", "func",
                            f"sub-0{subject}_task-rest_run-1_desc-network_{suffix}")

    def test_truth_tables_are_labelled_and_the_data_carry_the_courses(self):
        for subject in (1, 2, 3):
            matrix = table(self.truth(subject, "connectivity.tsv"))
            self.assertEqual(matrix[0], ["region"] + self.names)
            values = numpy.array([[float(v) for v in row[1:]] for row in matrix[1:]])
            self.assertTrue(numpy.array_equal(values, values.T))
            self.assertEqual(values[0, 1], 0.7)
            self.assertEqual(values[0, 2], 0.3)
            self.assertEqual(values[0, 4], 0.0)
            courses = numpy.loadtxt(self.truth(subject, "timeseries.tsv"), skiprows=1)
            self.assertEqual(courses.shape, (150, 8))
            with open(self.truth(subject, "timeseries.json")) as file:
                sidecar = json.load(file)
            self.assertEqual(sidecar["SamplingFrequency"], 0.5)
            # The seed-based estimate from region means: the noise of sd 2 over a
            # region's 7 voxels and courses of sd 3 attenuate it by about
            # 9 / (9 + 4 / 7); it is still close to the truth.
            bold = nibabel.load(glob.glob(os.path.join(
                self.dataset, f"sub-0{subject}", "func", "*_bold.nii.gz"))[0]).get_fdata()
            labels = numpy.asarray(nibabel.load(glob.glob(os.path.join(
                os.path.dirname(self.truth(subject, "")), "*_dseg.nii.gz"))[0]).dataobj)
            means = numpy.array([bold[labels == k + 1].mean(axis=0) for k in range(8)])
            estimate = numpy.corrcoef(means)
            upper = numpy.triu_indices(8, 1)
            self.assertGreater(numpy.corrcoef(estimate[upper], values[upper])[0, 1], 0.8)
            self.assertLess(numpy.abs(estimate[upper] - values[upper]).mean(), 0.2)
            # The written courses are what was added: the region's mean minus the
            # baseline is the course plus the region's mean noise (sd 2 / sqrt 7).
            residual = means[0] - 100.0 - courses[:, 0]
            self.assertLess(residual.std(), 4 * 2 / numpy.sqrt(7))
            # evaluate's own baseline estimate (the same region means, after a drift
            # and task model that white noise leaves little to do for) scores alike.
            bold_file = glob.glob(os.path.join(self.dataset, f"sub-0{subject}", "func",
                                               "*_bold.nii.gz"))[0]
            scores = evaluate(self.folder.name, "--truth", self.truth(subject, "connectivity.tsv"),
                              "--connectivity-from-run", bold_file)
            self.assertEqual(scores["Entries"], 28)
            self.assertGreater(scores["Correlation"], 0.8)
            self.assertAlmostEqual(scores["MeanAbsoluteError"],
                                   numpy.abs(estimate[upper] - values[upper]).mean(), delta=0.05)

    def test_an_estimate_is_matched_to_the_truth_by_name(self):
        matrix = table(self.truth(1, "connectivity.tsv"))
        values = numpy.array([[float(v) for v in row[1:]] for row in matrix[1:]])
        order = numpy.arange(8)[::-1]
        estimate = os.path.join(self.folder.name, "estimate.tsv")
        write_matrix(estimate, "node", [self.names[i] for i in order],
                     values[numpy.ix_(order, order)])
        scores = evaluate(self.folder.name, "--truth", self.truth(1, "connectivity.tsv"),
                          "--connectivity", estimate)
        self.assertEqual((scores["Correlation"], scores["MeanAbsoluteError"],
                          scores["SignAgreement"]), (1.0, 0.0, 1.0))
        # Every entry's sign flipped, and one name missing.
        write_matrix(estimate, "node", self.names, -values + 2 * numpy.eye(8))
        scores = evaluate(self.folder.name, "--truth", self.truth(1, "connectivity.tsv"),
                          "--connectivity", estimate)
        self.assertEqual((scores["Correlation"], scores["SignAgreement"]), (-1.0, 0.0))
        write_matrix(estimate, "node", self.names[:7], values[:7, :7])
        result = subprocess.run([TOLVANE, "evaluate", "--truth",
                                 self.truth(1, "connectivity.tsv"), "--connectivity", estimate],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn('expected a row and column for "n7"', result.stderr)

    def test_the_validator_reports_no_error(self):
        validate(self, self.dataset)


class DecodingPatterns(unittest.TestCase):
    """The decoding example's region on a small grid: per-voxel GLM estimates against the
    drawn patterns."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.noise_sd = 2.0
        cls.dataset = simulate(cls.folder.name, f'''
subjects = 2
runs = 2
task = "decoding"
volumes = 160
[design]
conditions = ["Faces", "Houses"]
trials = 12
duration_s = 2.0
isi_s = {{ min = 4.0, mean = 6.0, max = 14.0 }}
[noise]
sd = {cls.noise_sd}
{GRID}
[[region]]
name = "FFA"
centre_voxel = [124, 124, 112]
radius_voxels = 3
effects = {{ Faces = 2.0, Houses = 2.0 }}
pattern = {{ sd = 2.0, correlation = 0.3 }}
''')

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def run_files(self, subject, run):
        stem = f"sub-0{subject}_task-decoding_run-{run}"
        truth = os.path.join(self.dataset, "derivatives", "tolvane", f"sub-0{subject}", "func",
                             stem)
        bold = nibabel.load(os.path.join(self.dataset, f"sub-0{subject}", "func",
                                         stem + "_bold.nii.gz")).get_fdata()
        maps = [numpy.asarray(nibabel.load(f"{truth}_desc-{c}_effect.nii.gz").dataobj)
                for c in ("Faces", "Houses")]
        predictors = numpy.loadtxt(f"{truth}_desc-predictors_timeseries.tsv", skiprows=1)
        return bold, maps, predictors, truth

    def test_glm_estimates_correlate_with_the_patterns_as_the_noise_predicts(self):
        observed, predicted, errors = [], [], []
        for subject in (1, 2):
            for run in (1, 2):
                bold, maps, predictors, truth = self.run_files(subject, run)
                region = maps[0] != 0
                design = numpy.column_stack([numpy.ones(len(predictors)), predictors])
                betas = numpy.linalg.lstsq(design, bold[region].T, rcond=None)[0]
                variance = self.noise_sd ** 2 * numpy.linalg.inv(design.T @ design)
                for c in range(2):
                    drawn = maps[c][region]
                    r = numpy.corrcoef(betas[1 + c], drawn)[0, 1]
                    expected = drawn.std() / numpy.sqrt(drawn.var() + variance[1 + c, 1 + c])
                    observed.append(r)
                    predicted.append(expected)
                    errors.append((1 - expected ** 2) / numpy.sqrt(region.sum()))
                # The drawn patterns' correlation is the similarity table's, give or take
                # its standard error over the region's voxels.
                similarity = table(truth + "_desc-patterns_similarity.tsv")
                self.assertEqual(similarity[0], ["region", "condition", "Faces", "Houses"])
                self.assertEqual(float(similarity[1][3]), 0.3)
                r = numpy.corrcoef(maps[0][region], maps[1][region])[0, 1]
                self.assertLess(abs(r - 0.3), 4 * (1 - 0.09) / numpy.sqrt(region.sum()))
        for r, expected, error in zip(observed, predicted, errors):
            self.assertLess(abs(r - expected), 4 * error, (observed, predicted))

    def test_a_cross_validated_classifier_decodes_the_conditions(self):
        # Leave one run out: each held-out run's Faces and Houses patterns (GLM betas over
        # the region's voxels) go to the condition of the other run whose pattern they
        # correlate with more. The patterns' sd (2) against the estimates' noise make it
        # nearly certain; patterns correlated 1 would leave it at chance.
        correct = decisions = 0
        for subject in (1, 2):
            patterns = []
            for run in (1, 2):
                bold, maps, predictors, _ = self.run_files(subject, run)
                region = maps[0] != 0
                design = numpy.column_stack([numpy.ones(len(predictors)), predictors])
                patterns.append(numpy.linalg.lstsq(design, bold[region].T, rcond=None)[0][1:])
            for test_run in (0, 1):
                train, test = patterns[1 - test_run], patterns[test_run]
                for c in range(2):
                    r = [numpy.corrcoef(test[c], train[k])[0, 1] for k in range(2)]
                    correct += int(numpy.argmax(r) == c)
                    decisions += 1
        self.assertGreaterEqual(correct / decisions, 0.75)

    def test_rsa_scores_an_estimated_similarity(self):
        bold, maps, predictors, truth = self.run_files(1, 1)
        region = maps[0] != 0
        design = numpy.column_stack([numpy.ones(len(predictors)), predictors])
        betas = numpy.linalg.lstsq(design, bold[region].T, rcond=None)[0][1:]
        estimate = os.path.join(self.folder.name, "similarity.tsv")
        write_matrix(estimate, "condition", ["Houses", "Faces"], numpy.corrcoef(betas[::-1]))
        scores = evaluate(self.folder.name, "--truth", truth + "_desc-patterns_similarity.tsv",
                          "--rsa", estimate)
        # One entry above the diagonal: no rank correlation, and the error of the
        # estimate, which noise pulls towards 0 from the patterns' 0.3.
        self.assertEqual(scores["Entries"], 1)
        self.assertIsNone(scores["Spearman"])
        self.assertLess(scores["MeanAbsoluteError"], 0.3)

    def test_the_validator_reports_no_error(self):
        validate(self, self.dataset)


if __name__ == "__main__":
    unittest.main()
