#!/usr/bin/python3
"""Analyses inside the brain mask, through the executable: a null study with AR(1) noise
(rho 0.4) inside a mask and nearly silent air outside it, where pooling the AR(1)
coefficient over the whole grid is too weak inside the brain; and first-level fits in
the user's folder, which evaluate reads and never writes.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/masked_analysis_test.py
"""
import glob
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import nibabel
import numpy
import scipy.ndimage
import scipy.special
import scipy.stats

TOLVANE = os.environ["TOLVANE"]
PROTOCOL = os.path.abspath("examples/block_design.prt")
GRID = """
[grid]
box = [96, 144, 96, 144, 108, 132]
resolution = 3
"""
# Inside the mask the noise is AR(1) with rho 0.4 (tSNR 40); thermal noise at SNR 1000
# is too small to change that, and is all that air holds.
NULL_STUDY = """
subjects = 32
task = "blocks"
protocol = "{protocol}"
mask = "mask.nii.gz"
[noise]
model = "ar1"
rho = 0.4
tsnr = 40
snr = 1000
""" + GRID


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=900)
    if result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


def folder_contents(folder):
    contents = {}
    for root, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(root, name), "rb") as file:
                contents[os.path.relpath(os.path.join(root, name), folder)] = file.read()
    return contents


def binomial_interval(rate, total):
    """The central 95 % of the share of `total` independent voxels above a threshold of
    nominal `rate`."""
    low, high = scipy.stats.binom.interval(0.95, total, rate)
    return low / total, high / total


class MaskedNullStudy(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-mask-")
        # One run without a mask gives the grid's voxel-to-world transform for the mask.
        probe = os.path.join(cls.folder, "probe.toml")
        with open(probe, "w") as file:
            file.write(f'subjects = 1\ntask = "blocks"\nprotocol = "{PROTOCOL}"\n' + GRID)
        run(TOLVANE, "simulate", probe, "--output", os.path.join(cls.folder, "probe"))
        affine = nibabel.load(glob.glob(f"{cls.folder}/probe/sub-01/func/*_bold.nii.gz")[0]).affine
        i, j, k = numpy.indices((16, 16, 8), dtype=float)
        cls.mask = ((i - 7.5) / 7) ** 2 + ((j - 7.5) / 7) ** 2 + ((k - 3.5) / 3.6) ** 2 <= 1
        nibabel.save(nibabel.Nifti1Image(cls.mask.astype(numpy.uint8), affine),
                     os.path.join(cls.folder, "mask.nii.gz"))
        study = os.path.join(cls.folder, "null.toml")
        with open(study, "w") as file:
            file.write(NULL_STUDY.format(protocol=PROTOCOL))
        cls.dataset = os.path.join(cls.folder, "null")
        run(TOLVANE, "simulate", study, "--output", cls.dataset)
        cls.bolds = sorted(glob.glob(f"{cls.dataset}/sub-*/func/*_bold.nii.gz"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_prewhitening_inside_the_mask_gives_the_nominal_rate_where_the_grid_does_not(self):
        # The default: the study's noise is AR(1), so the fits prewhiten, inside the
        # dataset's truth mask.
        output = os.path.join(self.folder, "masked.json")
        result = run(TOLVANE, "evaluate", self.dataset, "--contrast", "Task",
                     "--p-threshold", "0.001", "--output", output)
        self.assertIn(f"inside the mask sub-01_task-blocks_run-1_desc-brain_mask.nii.gz "
                      f"({self.mask.sum()} voxels)", result.stdout)
        self.assertIn("with AR(1) prewhitening", result.stderr)
        with open(output) as file:
            pooled = json.load(file)["pooled"]
        self.assertEqual(pooled["mask"]["voxels"], int(self.mask.sum()))
        rate = pooled["thresholds"][0]["falsePositiveRate"]
        self.assertEqual(rate["total"], len(self.bolds) * int(self.mask.sum()))
        low, high = binomial_interval(0.001, rate["total"])
        self.assertTrue(low <= rate["rate"] <= high, (rate, low, high))
        # The maps are NaN outside the mask, and defined inside it.
        t = numpy.asarray(nibabel.load(glob.glob(
            f"{self.dataset}/derivatives/tolvane-glm/sub-01/func/*_stat-t_statmap.nii.gz")[0]).dataobj)
        self.assertTrue(numpy.isnan(t[~self.mask]).all())
        self.assertFalse(numpy.isnan(t[self.mask]).any())

        # Pooled over the whole grid, the silent air drags rho towards 0, and inside the
        # brain the t values are too large: the rate leaves the interval.
        whole = os.path.join(self.folder, "whole-grid")
        rhos, above = [], 0
        for bold in self.bolds:
            subject = os.path.basename(bold)[:6]
            fitted = run(TOLVANE, "glm", bold, "--no-mask", "--prewhiten", "ar1",
                         "--output", os.path.join(whole, subject, "func"))
            self.assertIn("inside the whole grid (2048 voxels)", fitted.stderr)
            rhos.append(float(fitted.stderr.split("rho ")[1].split()[0]))
            t = numpy.asarray(nibabel.load(glob.glob(
                f"{whole}/{subject}/func/*_contrast-Task_stat-t_statmap.nii.gz")[0]).dataobj)
            above += int((numpy.abs(t[self.mask]) > pooled["thresholds"][0]["threshold"]).sum())
        self.assertLess(max(rhos), 0.2)
        self.assertGreater(above / rate["total"], 2 * high)

        # The user's folder is read, never written: fits of the asked model are used,
        # and one that does not match is refused, naming the difference.
        before = folder_contents(whole)
        result = run(TOLVANE, "evaluate", self.dataset, "--contrast", "Task", "--no-mask",
                     "--glm-dir", whole, "--p-threshold", "0.001")
        self.assertNotIn("fitting", result.stderr)
        self.assertIn("inside the whole grid (2048 voxels)", result.stdout)
        result = run(TOLVANE, "evaluate", self.dataset, "--contrast", "Task", "--glm-dir", whole,
                     "--p-threshold", "0.001", status=2)
        self.assertIn('the maps were fitted inside "whole grid", the analysis asks for '
                      '"sub-01_task-blocks_run-1_desc-brain_mask.nii.gz"', result.stderr)
        result = run(TOLVANE, "evaluate", self.dataset, "--contrast", "Task", "--no-mask",
                     "--glm-dir", whole, "--prewhiten", "none", status=2)
        self.assertIn('prewhitening: the maps were fitted with "AR(1), pooled", the evaluation '
                      'asks for "none"', result.stderr)
        # The report shows the user's maps where they are, and counts over the grid.
        page_file = os.path.join(self.folder, "report.html")
        run(TOLVANE, "report", self.dataset, "--glm-dir", whole, "--no-mask", "--output", page_file)
        with open(page_file) as file:
            page = file.read()
        self.assertIn(f"t maps from {whole}/sub-01/func", page)
        self.assertIn("counted over the whole grid (2048 voxels)", page)
        self.assertEqual(folder_contents(whole), before)
        empty = os.path.join(self.folder, "empty")
        os.mkdir(empty)
        result = run(TOLVANE, "group", self.dataset, "--contrast", "Task", "--glm-dir", empty,
                     "--output", os.path.join(self.folder, "group"), status=2)
        self.assertIn("a folder given with --glm-dir is only read", result.stderr)
        self.assertEqual(os.listdir(empty), [])


SMOOTH_NULL_STUDY = """
subjects = 8
task = "blocks"
protocol = "{protocol}"
[noise]
sd = 5
smoothness_mm = 8
[grid]
box = [84, 144, 84, 144, 96, 132]
resolution = 3
"""


class RandomFieldClusters(unittest.TestCase):
    """Null runs of Gaussian-smoothed noise (FWHM 8 mm on 3 mm voxels): the residuals'
    smoothness, the clusters at each connectivity, and random field theory's K."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-clusters-")
        study = os.path.join(cls.folder, "smooth.toml")
        with open(study, "w") as file:
            file.write(SMOOTH_NULL_STUDY.format(protocol=PROTOCOL))
        cls.dataset = os.path.join(cls.folder, "smooth")
        run(TOLVANE, "simulate", study, "--output", cls.dataset)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def evaluate(self, connectivity):
        output = os.path.join(self.folder, f"clusters-{connectivity}.json")
        run(TOLVANE, "evaluate", self.dataset, "--contrast", "Task", "--cluster-p", "0.01",
            "--cluster-connectivity", str(connectivity), "--output", output)
        with open(output) as file:
            return json.load(file)

    def test_smoothness_clusters_and_the_random_field_threshold(self):
        for connectivity, rank in ((6, 1), (18, 2), (26, 3)):
            evaluation = self.evaluate(connectivity)
            structure = scipy.ndimage.generate_binary_structure(3, rank)
            runs = evaluation["runs"]
            for entry in runs:
                field = entry["randomField"]
                t = numpy.asarray(nibabel.load(entry["statistic"]).dataobj, dtype=float)
                labels = scipy.ndimage.label(numpy.abs(t) > field["clusterFormingThreshold"],
                                             structure)[0]
                sizes = numpy.bincount(labels.ravel())[1:]
                self.assertEqual(field["largestCluster"], int(sizes.max(initial=0)))
                self.assertEqual(field["connectivity"], connectivity)
            field_rate = evaluation["pooled"]["randomFieldClusterFamilyWiseRate"]
            exceeded = sum(e["randomField"]["largestCluster"] >= e["randomField"]["clusterSizeThreshold"]
                           for e in runs)
            self.assertEqual((field_rate["count"], field_rate["total"]), (exceeded, len(runs)))
        # The smoothness that glm estimated from the residuals is the noise's, within 10 %
        # for each run and axis.
        for entry in runs:
            field = entry["randomField"]
            for fwhm in field["smoothnessFWHMmm"]:
                self.assertLess(abs(fwhm - 8.0), 0.8, field)
            # K from the published formulae (random_field.h), computed here with scipy: the
            # Euler characteristic density of a Gaussian field in three dimensions and the
            # cluster-size law of Friston et al. (1994).
            u = scipy.stats.norm.isf(0.01 / 2)
            voxels = field["searchVolumeVoxels"]
            resels = voxels / numpy.prod(numpy.array(field["smoothnessFWHMmm"]) / 3.0)
            clusters = 2 * resels * (4 * numpy.log(2)) ** 1.5 / (2 * numpy.pi) ** 2 * \
                (u * u - 1) * numpy.exp(-u * u / 2)
            beta = (scipy.special.gamma(2.5) * clusters / (voxels * 0.01)) ** (2 / 3)
            size = numpy.ceil((numpy.log(clusters / -numpy.log(0.95)) / beta) ** 1.5)
            self.assertAlmostEqual(field["expectedClusters"], clusters, places=6)
            self.assertEqual(field["clusterSizeThreshold"], int(size))
            self.assertAlmostEqual(1 - numpy.exp(-clusters * numpy.exp(-beta * size ** (2 / 3))),
                                   0.05, delta=0.01)

    def test_masks_on_another_grid_and_maps_without_smoothness_are_refused(self):
        self.evaluate(26)  # the runs' maps, fitted with their smoothness
        mask = os.path.join(self.folder, "small-mask.nii.gz")
        nibabel.save(nibabel.Nifti1Image(numpy.ones((4, 4, 4), numpy.uint8), numpy.eye(4)), mask)
        result = run(TOLVANE, "evaluate", self.dataset, "--contrast", "Task", "--mask", mask,
                     "--no-mask", status=2)
        self.assertIn("excludes", result.stderr)
        truth = glob.glob(f"{self.dataset}/derivatives/tolvane/sub-01/func/*_desc-Task_effect.nii.gz")[0]
        stat = glob.glob(f"{self.dataset}/derivatives/tolvane-glm/sub-01/func/*_stat-t_statmap.nii.gz")[0]
        result = run(TOLVANE, "evaluate", "--truth", truth, "--stat", stat, "--mask", mask,
                     status=2)
        self.assertIn(f"{mask}: expected a mask on the maps' grid", result.stderr)
        # A map whose sidecar lacks the smoothness (an older glm's) cannot give K.
        sidecar = stat.replace(".nii.gz", ".json")
        with open(sidecar) as file:
            record = json.load(file)
        del record["SmoothnessFWHMmm"]
        copy = os.path.join(self.folder, os.path.basename(stat))
        shutil.copy(stat, copy)
        with open(copy.replace(".nii.gz", ".json"), "w") as file:
            json.dump(record, file)
        result = run(TOLVANE, "evaluate", "--truth", truth, "--stat", copy, "--cluster-p", "0.01",
                     status=2)
        self.assertIn("fit the run again with tolvane glm", result.stderr)


if __name__ == "__main__":
    unittest.main()
