#!/usr/bin/python3
"""tolvane experiment through the executable: a repetition analysed in memory gives the
maps that simulate, then glm on its files, give; the summary follows from the table;
and the shards of an experiment merge into the unsharded experiment's files, byte for
byte, whatever the split.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/experiment_test.py
"""
import csv
import glob
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import nibabel
import numpy

TOLVANE = os.environ["TOLVANE"]
PROTOCOL = os.path.abspath("examples/block_design.prt")
# Four subjects of one run, smooth AR(1) noise and a sphere with a Task effect of 3 %.
STUDY = """
subjects = 4
task = "blocks"
protocol = "{protocol}"

[[region]]
name = "sphere"
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "3%" }}

[noise]
sd = 5
smoothness_mm = 6
model = "ar1"
rho = 0.3

[grid]
box = [96, 144, 96, 144, 108, 132]
resolution = 3
"""


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=900)
    if result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


def table(folder):
    with open(os.path.join(folder, "results.tsv")) as file:
        return list(csv.DictReader(file, delimiter="\t"))


def contents_below(folder):
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as file:
                files[os.path.relpath(path, folder)] = file.read()
    return files


def contents(folder):
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as file:
            files[name] = file.read()
    return files


class Experiment(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-experiment-")
        cls.study = os.path.join(cls.folder, "study.toml")
        with open(cls.study, "w") as file:
            file.write(STUDY.format(protocol=PROTOCOL))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def experiment(self, name, *options):
        output = os.path.join(self.folder, name)
        run(TOLVANE, "experiment", self.study, "--contrast", "Task", "--output", output, *options)
        return output

    def test_a_repetition_in_memory_is_the_study_simulated_and_fitted_from_files(self):
        output = self.experiment("first-level", "--repetitions", "2", "--analysis", "first-level",
                                 "--keep-data", "--jobs", "2")
        rows = table(output)
        self.assertEqual([(r["repetition"], r["map"]) for r in rows],
                         [(str(rep), f"sub-0{s}_run-1") for rep in (0, 1) for s in (1, 2, 3, 4)])
        seeds = {r["seed"] for r in rows if r["repetition"] == "1"}
        self.assertEqual(len(seeds), 1)
        dataset = os.path.join(self.folder, "repetition-1")
        run(TOLVANE, "simulate", self.study, "--seed", seeds.pop(), "--output", dataset)
        # --keep-data wrote the same dataset.
        kept = os.path.join(output, "data", "rep-0001")
        self.assertEqual(contents_below(kept), contents_below(dataset))
        for row in rows[4:]:
            subject = row["map"].split("_")[0]
            bold = glob.glob(f"{dataset}/{subject}/func/*_bold.nii.gz")[0]
            glm = os.path.join(self.folder, "glm", subject)
            fitted = run(TOLVANE, "glm", bold, "--output", glm, "--prewhiten", "ar1")
            t = numpy.abs(numpy.asarray(nibabel.load(
                glob.glob(f"{glm}/*_contrast-Task_stat-t_statmap.nii.gz")[0]).dataobj))
            # The table keeps nine significant digits of the single-precision maximum.
            self.assertAlmostEqual(float(row["max_t"]), float(numpy.nanmax(t)), delta=1e-5)
            self.assertIn(f"{row['dof']} degrees of freedom", fitted.stderr)
            sphere = float(row["peak_t_sphere"])
            self.assertLessEqual(sphere, float(row["max_t"]))
            with open(glob.glob(f"{glm}/*_contrast-Task_stat-t_statmap.json")[0]) as file:
                sidecar = json.load(file)
            for axis, fwhm in zip("xyz", sidecar["SmoothnessFWHMmm"]):
                self.assertAlmostEqual(float(row[f"fwhm_{axis}_mm"]), fwhm, delta=1e-6 * fwhm)

    def test_subjects_replace_the_study_files_count(self):
        output = self.experiment("two-subjects", "--repetitions", "1", "--analysis",
                                 "first-level", "--subjects", "2")
        self.assertEqual([r["map"] for r in table(output)], ["sub-01_run-1", "sub-02_run-1"])
        with open(os.path.join(output, "experiment.json")) as file:
            self.assertEqual(json.load(file)["subjects"], 2)

    def test_shards_merge_into_the_whole_experiment_byte_for_byte(self):
        # Two repetitions at once for the whole, one at a time for the shards.
        whole = self.experiment("whole", "--repetitions", "5", "--jobs", "2")
        shards = [self.experiment(f"shard-{k}", "--repetitions", "5", "--shard", f"{k}/3",
                                  "--jobs", "1")
                  for k in (1, 2, 3)]
        halves = [self.experiment(f"half-{k}", "--repetitions", "5", "--shard", f"{k}/2")
                  for k in (1, 2)]
        for name, parts in (("merged-3", shards[::-1]), ("merged-2", halves)):
            merged = os.path.join(self.folder, name)
            run(TOLVANE, "experiment", "merge", *parts, "--output", merged)
            self.assertEqual(contents(merged), contents(whole))
        # A shard missing, or one of another experiment, is refused.
        result = run(TOLVANE, "experiment", "merge", *shards[:2], "--output",
                     os.path.join(self.folder, "incomplete"), status=2)
        self.assertIn("is in none of the shards", result.stderr)
        other = self.experiment("other", "--repetitions", "5", "--shard", "3/3", "--cluster-p", "0.02")
        result = run(TOLVANE, "experiment", "merge", *shards[:2], other, "--output",
                     os.path.join(self.folder, "mixed"), status=2)
        self.assertIn("not a shard of the same experiment", result.stderr)

        # The summary is the table's: counts of maps and voxels with their intervals.
        rows = table(whole)
        with open(os.path.join(whole, "summary.json")) as file:
            summary = json.load(file)
        self.assertEqual(summary["maps"], 5)
        for forming in summary["clusterForming"]:
            p = f"{forming['p']:.9g}"
            above = sum(int(r[f"voxels_above_p{p}"]) for r in rows)
            self.assertEqual(forming["voxelwiseRate"]["count"], above)
            self.assertEqual(forming["randomField"]["familyWiseRate"]["count"],
                             sum(int(r[f"largest_cluster_p{p}"]) >= int(r[f"rft_k_p{p}"]) for r in rows))
            calibration = sorted(int(r[f"largest_cluster_p{p}"]) for r in rows
                                 if int(r["repetition"]) % 2 == 0)
            k = calibration[int(numpy.ceil(0.95 * len(calibration))) - 1] + 1
            self.assertEqual(forming["monteCarlo"]["K"], k)
        # The sphere's effect is found in every repetition at p < 0.001 uncorrected.
        sphere = summary["regions"][0]
        self.assertEqual(sphere["region"], "sphere")
        self.assertEqual(sphere["uncorrectedP001"]["count"], 5)


if __name__ == "__main__":
    unittest.main()
