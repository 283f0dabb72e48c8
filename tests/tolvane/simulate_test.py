#!/usr/bin/python3
"""Complete studies through the tolvane executable, judged by nibabel, numpy, scipy and
the BIDS validator.

Run by CTest with the system interpreter (Debian's nibabel, numpy and scipy) from the
repository root:
  TOLVANE=build/tolvane/tolvane HVHOST=build/host/hvhost MODULE=build/libtolvane.so \
  BIDS_VALIDATOR=tools/bids-validator/node_modules/.bin/bids-validator \
  /usr/bin/python3 tests/tolvane/simulate_test.py
"""
import filecmp
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import nibabel
import numpy
from scipy import stats

TOLVANE = os.environ["TOLVANE"]
HVHOST = os.environ["HVHOST"]
MODULE = os.environ["MODULE"]
BIDS_VALIDATOR = os.environ["BIDS_VALIDATOR"]
EXAMPLES = os.path.abspath("examples")
TWO_REGIONS = os.path.join(EXAMPLES, "two_regions_study.toml")


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=600)
    if status is not None and result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


def simulate(study, output, *options, status=0):
    return run(TOLVANE, "simulate", study, "--output", output, *options, status=status)


def all_files(root):
    return sorted(os.path.relpath(os.path.join(folder, name), root)
                  for folder, _, names in os.walk(root) for name in names)


def read_native_vtc(path):
    with open(path, "rb") as file:
        raw = file.read()
    header_size = struct.unpack("<I", raw[8:12])[0]
    dims = struct.unpack("<3i", raw[12:24])
    time_points = struct.unpack("<i", raw[24:28])[0]
    values = numpy.frombuffer(raw[header_size:], dtype="<f4")
    # Native layout: time fastest, then x, y, z; NIfTI arrays are indexed (x, y, z, t).
    return values.reshape(dims[2], dims[1], dims[0], time_points).transpose(2, 1, 0, 3)


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def read_json(path):
    with open(path) as file:
        return json.load(file)


def write_text(path, text):
    with open(path, "w") as file:
        file.write(text)


def run_stem(subject, run_number, task="faceshouses"):
    return f"sub-{subject:02d}_task-{task}_run-{run_number}"


class PluginEquivalence(unittest.TestCase):
    def test_the_plugin_study_is_value_for_value_the_plugins_vtc(self):
        with tempfile.TemporaryDirectory() as folder:
            run(HVHOST, "--defaults", "--protocol", os.path.join(EXAMPLES, "block_design.prt"),
                "--output-dir", os.path.join(folder, "hvhost"), MODULE)
            simulate(os.path.join(EXAMPLES, "plugin_equivalent.toml"),
                     os.path.join(folder, "study"))
            plugin = read_native_vtc(os.path.join(folder, "hvhost", "Simulated.vtc"))
            bold = nibabel.load(os.path.join(folder, "study", "sub-01", "func",
                                             run_stem(1, 1, "sim") + "_bold.nii.gz"))
            values = numpy.asarray(bold.dataobj)
            self.assertEqual(values.dtype, numpy.float32)
            self.assertEqual(values.shape, (58, 40, 46, 250))
            self.assertTrue(numpy.array_equal(values.view(numpy.uint32),
                                              plugin.view(numpy.uint32)))
            self.assertEqual(bold.header["pixdim"][4], 2.0)
            self.assertEqual(bold.header.get_xyzt_units(), ("mm", "sec"))
            # The run says what made it, not the host's export.
            self.assertRegex(bytes(bold.header["descrip"]).rstrip(b"\0").decode(),
                             r"^tolvane \S+ simulated run$")


class StudyOfSixRuns(unittest.TestCase):
    """The two-region study: 3 subjects x 2 runs, two conditions, a sphere and a VOI."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.dataset = os.path.join(cls.folder, "study")
        simulate(TWO_REGIONS, cls.dataset)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def image(self, *parts):
        return nibabel.load(os.path.join(self.dataset, *parts))

    def truth(self, subject, run_number, suffix):
        return self.image("derivatives", "tolvane", f"sub-{subject:02d}", "func",
                          run_stem(subject, run_number) + suffix)

    def bold(self, subject, run_number):
        return numpy.asarray(self.image(f"sub-{subject:02d}", "func",
                                        run_stem(subject, run_number) + "_bold.nii.gz").dataobj)

    def predictors(self, subject, run_number):
        path = os.path.join(self.dataset, "derivatives", "tolvane", f"sub-{subject:02d}",
                            "func", run_stem(subject, run_number) +
                            "_desc-predictors_timeseries.tsv")
        with open(path) as table:
            names = table.readline().split()
            values = numpy.loadtxt(table, dtype=numpy.float64, ndmin=2)
        return {name: values[:, i] for i, name in enumerate(names)}

    # The regions, worked out here from the study file's numbers: the grid is the box
    # [84, 120) x [84, 120) x [105, 141) at resolution 3, grid index round((c - s) / 3).
    def expected_regions(self):
        shape = (12, 12, 12)
        sphere = numpy.zeros(shape, bool)
        centre = [round((111 - 84) / 3), round((111 - 84) / 3), round((132 - 105) / 3)]
        for offset in numpy.ndindex(5, 5, 5):
            d = numpy.array(offset) - 2
            if numpy.sqrt(numpy.float32((d * d).sum())) <= 2.0:
                sphere[tuple(numpy.array(centre) + d)] = True
        voi = numpy.zeros(shape, bool)
        with open(os.path.join(EXAMPLES, "two_vois.txt")) as text:
            lines = text.read().split("voi Right cluster")[0].splitlines()
        for line in lines:
            fields = line.split()
            if len(fields) == 3 and all(f.isdigit() for f in fields):
                x, y, z = (int(f) for f in fields)
                voi[(x - 84) // 3, (y - 84) // 3, (z - 105) // 3] = True
        return sphere, voi

    def test_the_validator_reports_no_error(self):
        if not os.path.exists(BIDS_VALIDATOR):
            if os.environ.get("CI"):
                self.fail(f"the BIDS validator is missing at {BIDS_VALIDATOR}")
            self.skipTest(f"the BIDS validator is not installed at {BIDS_VALIDATOR} "
                          "(scripts/install-dependencies installs it)")
        result = run(BIDS_VALIDATOR, self.dataset, "--json", status=None)
        report = json.loads(result.stdout)
        errors = [issue["key"] for issue in report["issues"]["errors"]]
        self.assertEqual(errors, [], result.stdout[:3000])
        self.assertEqual(report["summary"]["subjects"], ["01", "02", "03"])

    def test_truth_maps_are_exactly_the_regions(self):
        sphere, voi = self.expected_regions()
        self.assertEqual((sphere.sum(), voi.sum()), (33, 27))
        self.assertFalse((sphere & voi).any())
        for subject in (1, 2, 3):
            for run_number in (1, 2):
                labels = numpy.asarray(self.truth(subject, run_number,
                                                  "_desc-regions_dseg.nii.gz").dataobj)
                self.assertTrue(numpy.array_equal(labels, sphere * 1 + voi * 2))
                faces = self.truth(subject, run_number, "_desc-Faces_effect.nii.gz")
                houses = self.truth(subject, run_number, "_desc-Houses_effect.nii.gz")
                # Data units as given, and percent of the baseline of 400.
                self.assertTrue(numpy.array_equal(numpy.asarray(faces.dataobj),
                                                  sphere * 3.0 + voi * 1.5))
                self.assertTrue(numpy.array_equal(numpy.asarray(houses.dataobj),
                                                  sphere * 2.0 + voi * 4.0))
                bold = self.image(f"sub-{subject:02d}", "func",
                                  run_stem(subject, run_number) + "_bold.nii.gz")
                self.assertTrue(numpy.array_equal(faces.affine, bold.affine))

    def test_the_known_design_recovers_the_amplitudes_and_no_more(self):
        sphere, voi = self.expected_regions()
        outside = ~(sphere | voi)
        regions = ((sphere, (3.0, 2.0)), (voi, (1.5, 4.0)))
        estimates = {(r, k): [] for r in range(2) for k in (1, 2)}
        rejections = tests = 0
        for subject in (1, 2, 3):
            for run_number in (1, 2):
                data = self.bold(subject, run_number).astype(numpy.float64)
                predictors = self.predictors(subject, run_number)
                design = numpy.column_stack([numpy.ones(data.shape[3]), predictors["Faces"],
                                             predictors["Houses"]])
                inverse = numpy.linalg.inv(design.T @ design)
                dof = data.shape[3] - design.shape[1]
                for r, (mask, amplitudes) in enumerate(regions):
                    # The region's mean time course: its noise sd is 5 / sqrt(voxels).
                    course = data[mask].mean(axis=0)
                    beta, residual = numpy.linalg.lstsq(design, course, rcond=None)[:2]
                    sigma2 = residual[0] / dof
                    for k, amplitude in enumerate(amplitudes, start=1):
                        se = numpy.sqrt(sigma2 * inverse[k, k])
                        # 24 estimates, each normal around its amplitude: 4 standard
                        # errors keep a chance failure below 24 * 6e-5.
                        self.assertLess(abs(beta[k] - amplitude), 4 * se,
                                        f"sub-{subject} run {run_number} beta {k}")
                        estimates[r, k].append((beta[k], se))
                # Every voxel outside the regions, tested for Faces at alpha = 0.05.
                courses = data[outside]
                beta = courses @ design @ inverse.T
                residuals = courses - beta @ design.T
                sigma2 = (residuals ** 2).sum(axis=1) / dof
                t = beta[:, 1] / numpy.sqrt(sigma2 * inverse[1, 1])
                rejections += int((abs(t) > stats.t.ppf(0.975, dof)).sum())
                tests += t.size
        # Pooled over the six independent runs the standard error shrinks by about
        # sqrt(6) (to about 0.15 here); again 4 standard errors, so that an amplitude
        # off by 0.6 or more (a swapped condition, a misread percentage) shows.
        for (r, k), pairs in estimates.items():
            betas, ses = numpy.array(pairs).T
            pooled_se = numpy.sqrt((ses ** 2).sum()) / len(ses)
            self.assertLess(abs(betas.mean() - regions[r][1][k - 1]), 4 * pooled_se,
                            f"region {r + 1}, condition {k}: {betas}")
        # The count of false positives among independent voxels is binomial(tests, 0.05);
        # the central 99.9% interval of that distribution.
        low, high = stats.binom.interval(0.999, tests, 0.05)
        self.assertTrue(low <= rejections <= high, f"{rejections} of {tests} rejected")

    def test_runs_differ_and_the_same_seed_gives_the_same_bytes(self):
        first = self.bold(1, 1)
        for subject, run_number in ((1, 2), (2, 1), (3, 2)):
            other = self.bold(subject, run_number)
            # Noise of sd 5 in float: two independent runs share almost no value.
            self.assertLess((first == other).mean(), 1e-3)
        again = os.path.join(self.folder, "again")
        simulate(TWO_REGIONS, again, "--jobs", "2")
        self.assertEqual(all_files(again), all_files(self.dataset))
        for name in all_files(again):
            self.assertTrue(filecmp.cmp(os.path.join(again, name),
                                        os.path.join(self.dataset, name), shallow=False), name)
        with open(os.path.join(again, "sub-01", "func", run_stem(1, 1) + "_bold.nii.gz"),
                  "rb") as file:
            self.assertEqual(file.read(8)[4:8], b"\0\0\0\0")  # gzip MTIME: no time stamp
        sidecar = read_json(os.path.join(again, "sub-02", "func", run_stem(2, 2) + "_bold.json"))
        self.assertEqual((sidecar["StudySeed"], sidecar["RunPlace"], sidecar["Generator"]),
                         (20240611, 3, "philox"))
        self.assertEqual(sidecar["RepetitionTime"], 2.0)


class OutputFolder(unittest.TestCase):
    def test_resuming_completes_what_is_missing_and_rewrites_nothing(self):
        with tempfile.TemporaryDirectory() as folder:
            dataset = os.path.join(folder, "study")
            simulate(TWO_REGIONS, dataset, "--subjects", "2", "--runs", "1")
            stamps = {name: os.stat(os.path.join(dataset, name)).st_mtime_ns
                      for name in all_files(dataset)}
            removed = os.path.join("sub-02", "func", run_stem(2, 1) + "_bold.nii.gz")
            kept = read_bytes(os.path.join(dataset, removed))
            os.remove(os.path.join(dataset, removed))
            result = simulate(TWO_REGIONS, dataset, "--subjects", "2", "--runs", "1")
            self.assertIn("sub-02 run 1 written", result.stderr)
            self.assertNotIn("sub-01 run 1 written", result.stderr)
            self.assertEqual(read_bytes(os.path.join(dataset, removed)), kept)
            for name, stamp in stamps.items():
                if name != removed:
                    self.assertEqual(os.stat(os.path.join(dataset, name)).st_mtime_ns, stamp,
                                     name)
            # A complete study has no run left for the jobs, and the command says so at
            # once (it once waited forever for jobs that never started).
            complete = subprocess.run(
                [TOLVANE, "simulate", TWO_REGIONS, "--output", dataset, "--subjects", "2",
                 "--runs", "1"], capture_output=True, text=True, timeout=60)
            self.assertEqual(complete.returncode, 0, complete.stderr)
            self.assertIn("already holds every run of this study", complete.stderr)

    def test_a_folder_of_other_files_or_another_study_is_refused_unless_overwritten(self):
        with tempfile.TemporaryDirectory() as folder:
            other = os.path.join(folder, "other")
            os.makedirs(other)
            write_text(os.path.join(other, "notes.txt"), "mine\n")
            result = simulate(TWO_REGIONS, other, status=2)
            self.assertIn("--overwrite", result.stderr)
            self.assertEqual(os.listdir(other), ["notes.txt"])

            dataset = os.path.join(folder, "study")
            simulate(TWO_REGIONS, dataset, "--subjects", "2", "--runs", "1")
            before = all_files(dataset)
            result = simulate(TWO_REGIONS, dataset, "--subjects", "2", "--runs", "1",
                              "--seed", "5", status=2)
            self.assertIn("another study", result.stderr)
            self.assertEqual(all_files(dataset), before)
            # The overwrite replaces the earlier study: one subject less, no sub-02.
            simulate(TWO_REGIONS, dataset, "--subjects", "1", "--runs", "1", "--seed", "5",
                     "--overwrite")
            self.assertFalse(os.path.exists(os.path.join(dataset, "sub-02")))
            sidecar = read_json(os.path.join(dataset, "sub-01", "func",
                                             run_stem(1, 1) + "_bold.json"))
            self.assertEqual(sidecar["StudySeed"], 5)


    def test_an_output_path_through_a_file_is_refused_clearly(self):
        with tempfile.TemporaryDirectory() as folder:
            afile = os.path.join(folder, "afile")
            write_text(afile, "mine\n")
            result = simulate(TWO_REGIONS, os.path.join(afile, "sub"), status=2)
            self.assertIn(f"{afile} is a file, so no folder can be made inside it; "
                          "choose another --output", result.stderr)
            self.assertNotIn("filesystem error", result.stderr)


def roc_area(scores, positive):
    """The probability that a voxel of the region scores above one outside it."""
    ranks = stats.rankdata(scores)
    count = positive.sum()
    return (ranks[positive].sum() - count * (count + 1) / 2) / (count * (~positive).sum())


class RestAndTruth(unittest.TestCase):
    """Rest as the implicit baseline, judged by an independent GLM (nipy), and a truth
    image and table that agree voxel for voxel."""

    BLOCK_STUDY = ("task = \"blocks\"\nprotocol = \"{protocol}\"\n"
                   "[grid]\nbox = [104, 152, 104, 152, 104, 152]\nresolution = 3\n"
                   "[[region]]\ncentre_mm = [0, 0, 0]\nradius_mm = 6\neffects = {{ Task = \"4%\" }}\n")

    def test_without_rest_an_independent_fit_of_the_datasets_events_finds_the_region(self):
        from nipy.modalities.fmri.design_matrix import make_dmtx
        from nipy.modalities.fmri.experimental_paradigm import BlockParadigm
        from nipy.modalities.fmri.glm import GeneralLinearModel
        with tempfile.TemporaryDirectory() as folder:
            study = os.path.join(folder, "blocks.toml")
            write_text(study, self.BLOCK_STUDY.format(
                protocol=os.path.join(EXAMPLES, "block_design.prt")))
            dataset = os.path.join(folder, "study")
            simulate(study, dataset)
            stem = os.path.join(dataset, "sub-01", "func", "sub-01_task-blocks_run-1")
            with open(stem + "_events.tsv") as table:
                rows = [line.split("\t") for line in table.read().splitlines()[1:]]
            self.assertEqual({row[2] for row in rows}, {"Task"})  # Rest is the baseline
            image = nibabel.load(stem + "_bold.nii.gz")
            bold = numpy.asarray(image.dataobj, dtype=numpy.float64)
            tr = float(image.header.get_zooms()[3])
            # 500 s of blocks and the response to the last: (500 + 32) / 2 volumes.
            self.assertEqual(bold.shape[3], 266)
            paradigm = BlockParadigm(con_id=[row[2] for row in rows],
                                     onset=[float(row[0]) for row in rows],
                                     duration=[float(row[1]) for row in rows])
            matrix = make_dmtx(numpy.arange(bold.shape[3]) * tr, paradigm,
                               hrf_model="canonical", drift_model="cosine", hfcut=128)
            model = GeneralLinearModel(matrix.matrix)
            model.fit(bold.reshape(-1, bold.shape[3]).T)
            weights = numpy.array([name == "Task" for name in matrix.names], dtype=float)
            nipy_t = numpy.asarray(model.contrast(weights).stat()).ravel()
            labels = numpy.asarray(nibabel.load(
                os.path.join(dataset, "derivatives", "tolvane", "sub-01", "func",
                             "sub-01_task-blocks_run-1_desc-regions_dseg.nii.gz")).dataobj)
            region = labels.reshape(-1) > 0
            self.assertGreater(roc_area(nipy_t, region), 0.99)

            glm = os.path.join(folder, "glm")
            result = run(TOLVANE, "glm", stem + "_bold.nii.gz", "--output", glm)
            self.assertNotIn("collinear", result.stderr)
            tolvane_t = numpy.asarray(nibabel.load(os.path.join(
                glm, "sub-01_task-blocks_run-1_contrast-Task_stat-t_statmap.nii.gz")).dataobj)
            self.assertGreater(numpy.corrcoef(tolvane_t.reshape(-1), nipy_t)[0, 1], 0.9)

            # The plug-in's own protocol as the events: Rest and Task fill the run, and
            # glm says which condition to leave out.
            result = run(TOLVANE, "glm", stem + "_bold.nii.gz", "--output", glm, "--events",
                         os.path.join(EXAMPLES, "block_design_events.tsv"), "--rest")
            self.assertIn("nearly collinear", result.stderr)
            self.assertIn("(--rest \"Rest\")", result.stderr)

    def test_the_truth_image_and_table_agree_and_labels_take_voxels_by_their_centres(self):
        with tempfile.TemporaryDirectory() as folder:
            # A 63^3 anatomical of 1 mm voxels, a ball of label 1 and two slabs (labels 2
            # and 3) one voxel apart, which share no grid voxel by centre sampling.
            affine = numpy.eye(4)
            nibabel.save(nibabel.Nifti1Image(numpy.full((63, 63, 63), 100, numpy.int16), affine),
                         os.path.join(folder, "anatomy.nii.gz"))
            atlas = numpy.zeros((63, 63, 63), numpy.int16)
            grid = numpy.indices(atlas.shape)
            atlas[((grid - 31) ** 2).sum(axis=0) <= 81] = 1
            atlas[40:44, 5:25, 5:25] = 2
            atlas[45:49, 5:25, 5:25] = 3
            nibabel.save(nibabel.Nifti1Image(atlas, affine), os.path.join(folder, "atlas.nii.gz"))
            write_text(os.path.join(folder, "events.tsv"),
                       "onset\tduration\ttrial_type\n10\t20\tTask\n")
            regions = "".join(
                f"[[region]]\nlabels = \"atlas.nii.gz\"\nlabel = {label}\n"
                f"effects = {{ Task = 2.0 }}\n" for label in (1, 2, 3))
            write_text(os.path.join(folder, "atlas.toml"),
                       "protocol = \"events.tsv\"\n[grid]\nanatomical = \"anatomy.nii.gz\"\n"
                       "box = [0, 63, 0, 63, 0, 63]\nresolution = 3\n" + regions +
                       "[[region]]\nname = \"A\"\ncentre_voxel = [30, 30, 30]\nradius_voxels = 2\n"
                       "effects = { Task = 1.0 }\n")
            dataset = os.path.join(folder, "study")
            result = simulate(os.path.join(folder, "atlas.toml"), dataset)
            self.assertIn("regions \"label1\" and \"A\" share", result.stderr)
            self.assertNotIn("\"label2\" and \"label3\"", result.stderr)
            stem = os.path.join(dataset, "derivatives", "tolvane", "sub-01", "func",
                                "sub-01_task-sim_run-1_desc-regions_dseg")
            image = numpy.asarray(nibabel.load(stem + ".nii.gz").dataobj)
            with open(stem + ".tsv") as table:
                header = table.readline().rstrip("\n").split("\t")
                rows = [dict(zip(header, line.rstrip("\n").split("\t"))) for line in table]
            for row in rows:
                self.assertEqual(int(row["voxel_count"]), (image == int(row["index"])).sum(),
                                 row["name"])
            self.assertEqual(rows[4]["name"], "label1+A")
            self.assertEqual(float(rows[4]["effect_Task"]), 3.0)
            ball = (image == 1).sum() + (image == 5).sum()
            self.assertLess(abs(ball - (atlas == 1).sum() / 27) / ((atlas == 1).sum() / 27), 0.1)


class DesignsAndSubjects(unittest.TestCase):
    """A design per run and subjects that differ, reproducible whatever the split."""

    def test_generated_designs_and_drawn_effects_do_not_depend_on_jobs_or_shards(self):
        study = os.path.join(EXAMPLES, "jittered_design_study.toml")
        with tempfile.TemporaryDirectory() as folder:
            whole, shards = os.path.join(folder, "whole"), os.path.join(folder, "shards")
            simulate(study, whole, "--subjects", "3", "--jobs", "1")
            simulate(study, shards, "--subjects", "3", "--jobs", "2", "--shard", "2/2")
            simulate(study, shards, "--subjects", "3", "--jobs", "1", "--shard", "1/2")
            self.assertEqual(all_files(whole), all_files(shards))
            for name in all_files(whole):
                self.assertEqual(read_bytes(os.path.join(whole, name)),
                                 read_bytes(os.path.join(shards, name)), name)
            events = [read_bytes(os.path.join(whole, f"sub-0{s}", "func",
                                              run_stem(s, r) + "_events.tsv"))
                      for s in (1, 2, 3) for r in (1, 2)]
            self.assertEqual(len(set(events)), 6)  # every run its own design
            # The drawn effects are in each run's truth table, and the group truth is
            # the mean effect: Faces = 1% of 400 at its peak, per unit of predictor.
            truth = os.path.join(whole, "derivatives", "tolvane")
            drawn = set()
            for s, r in ((1, 1), (1, 2), (2, 1)):
                with open(os.path.join(truth, f"sub-0{s}", "func",
                                       run_stem(s, r) + "_desc-regions_dseg.tsv")) as table:
                    header = table.readline().rstrip("\n").split("\t")
                    drawn.add(dict(zip(header, table.readline().rstrip("\n").split("\t")))
                              ["effect_Faces"])
            self.assertEqual(len(drawn), 3)
            group = numpy.asarray(nibabel.load(os.path.join(
                truth, "task-faceshouses_desc-Faces_effect.nii.gz")).dataobj)
            self.assertEqual((group > 0).sum(), 33)  # the sphere where the file puts it
            self.assertGreater(group.max(), 4.0)     # 4 / peak, the peak below 1

    def test_a_protocol_file_per_run_fills_in_subject_and_run(self):
        with tempfile.TemporaryDirectory() as folder:
            os.makedirs(os.path.join(folder, "events"))
            for subject in (1, 2):
                for run_number in (1, 2):
                    write_text(os.path.join(folder, "events",
                                            f"sub-0{subject}_run-{run_number}_events.tsv"),
                               "onset\tduration\ttrial_type\n"
                               f"{10 * subject + run_number}\t4\tTask\n")
            write_text(os.path.join(folder, "study.toml"),
                       "subjects = 2\nruns = 2\n"
                       "protocol = \"events/sub-{subject}_run-{run}_events.tsv\"\n"
                       "[grid]\nbox = [120, 136, 120, 136, 120, 136]\n"
                       "[[region]]\ncentre_mm = [0, 0, 0]\nradius_mm = 3\n"
                       "effects = { Task = 2.0 }\n")
            dataset = os.path.join(folder, "study")
            simulate(os.path.join(folder, "study.toml"), dataset)
            for subject in (1, 2):
                for run_number in (1, 2):
                    with open(os.path.join(dataset, f"sub-0{subject}", "func",
                                           run_stem(subject, run_number, "sim") +
                                           "_events.tsv")) as table:
                        self.assertEqual(table.read().splitlines()[1].split("\t")[0],
                                         str(10 * subject + run_number))
            # The longest run sets the volumes: (22 + 4 + 32) / 2.
            image = nibabel.load(os.path.join(dataset, "sub-01", "func",
                                              run_stem(1, 1, "sim") + "_bold.nii.gz"))
            self.assertEqual(image.shape[3], 29)


class BadInput(unittest.TestCase):
    def check_refused(self, replacements, expected_texts, extra=()):
        """Writes a variant of the two-region study, runs it and expects exit 2, a
        message naming the file and the key, and no output folder."""
        with open(TWO_REGIONS) as text:
            study = text.read()
        for old, new in replacements:
            self.assertIn(old, study)
            study = study.replace(old, new)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "bad.toml")
            write_text(path, study)
            for name in ("event_related_events.tsv", "two_vois.txt"):
                shutil.copy(os.path.join(EXAMPLES, name), folder)
            output = os.path.join(folder, "out")
            result = simulate(path, output, *extra, status=2)
            for expected in ((path,) if not extra else ()) + tuple(expected_texts):
                self.assertIn(expected, result.stderr)
            self.assertFalse(os.path.exists(output))

    def test_each_kind_of_bad_study_names_file_key_and_line(self):
        cases = [
            ("unknown key", [("noise.sd = 5", "noise.sd = 5\nnoise_sd = 5")],
             [":14:", "key noise_sd", "unknown key"]),
            ("wrong type", [("subjects = 3", "subjects = \"three\"")],
             [":7:", "key subjects", "expected a whole number"]),
            ("region outside the grid", [("[111, 111, 132]", "[200, 111, 132]")],
             [":22:", "key region[1].centre_voxel", "inside the grid"]),
            ("unknown condition", [("Faces = 3.0", "Fcaes = 3.0")],
             [":24:", "key region[1].effects.Fcaes", "Faces", "Houses"]),
            ("seed out of range", [("seed = 20240611", "seed = 0")],
             [":6:", "key seed", "1 to 2147483646"]),
            ("bad generator", [("noise.sd = 5", "noise.sd = 5\ngenerator = \"mt\"")],
             ["key generator", "\"philox\" or \"ran1\""]),
            ("no such VOI", [("name = \"Left cluster\"", "name = \"Middle cluster\"")],
             [":28:", "key region[2].name", "\"Left cluster\"", "\"Right cluster\""]),
            ("missing protocol", [("\"event_related_events.tsv\"", "\"events.tsv\"")],
             [":11:", "key protocol", "events.tsv"]),
            ("bad percentage", [("\"0.5%\"", "\"0.5 percent\"")],
             ["key region[1].effects.Houses", "percentage"]),
            ("a design whose gaps cannot have that mean",
             [("protocol = \"event_related_events.tsv\"",
               "design.conditions = [\"Faces\", \"Houses\"]\ndesign.trials = 5\n"
               "design.duration_s = 1.0\ndesign.isi_s = { min = 2.0, mean = 8.0, max = 12.0 }")],
             [":14:", "key design.isi_s.mean", "closer to min than to max"]),
            ("a rest condition with an effect", [("noise.sd = 5", "noise.sd = 5\nrest = [\"Faces\"]")],
             [":14:", "key rest", "\"Faces\" has an effect, so it is not rest"]),
        ]
        for name, replacements, expected in cases:
            with self.subTest(name):
                self.check_refused(replacements, expected)

    def test_command_line_values_are_checked_before_anything_is_written(self):
        self.check_refused([], ["--seed: expected", "found 2147483647"],
                           ("--seed", "2147483647"))


if __name__ == "__main__":
    unittest.main()
