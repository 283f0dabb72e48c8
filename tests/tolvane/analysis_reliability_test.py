#!/usr/bin/python3
"""tolvane's analyses under a hostile user: unwritable output streams and places,
numbers out of range, NaN in inputs, datasets missing runs, and sets written whole.
The shared fixture and helpers are those of reliability_test.py.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/analysis_reliability_test.py
"""
import os
import shutil
import subprocess
import unittest

from reliability_test import (PROTOCOL, TOLVANE, Fixture, run, simulate, snapshot, study_text,
                              write_text)


class OutputStreams(Fixture):
    """Results printed on standard output that cannot be written are an output failure."""

    def test_standard_output_on_a_full_disk_exits_3(self):
        dataset = self.path("data")
        simulate(self.study, dataset, "--subjects", "1", "--runs", "1")
        func = os.path.join(dataset, "sub-01", "func")
        truth = os.path.join(dataset, "derivatives", "tolvane", "sub-01", "func",
                             "sub-01_task-hostile_run-1_desc-Task_effect.nii.gz")
        bold = os.path.join(func, "sub-01_task-hostile_run-1_bold.nii.gz")
        commands = [["evaluate", "--truth", truth, "--stat", truth, "--threshold", "1"],
                    ["fit-noise", bold, "--output", self.path("fit")]]
        for command in commands:
            with open("/dev/full", "w") as full:
                result = subprocess.run([TOLVANE, *command], stdout=full, stderr=subprocess.PIPE,
                                        text=True, timeout=120)
            self.assertEqual(result.returncode, 3, command[0] + ": " + result.stderr)
            self.assertIn("standard output cannot be written: No space left on device",
                          result.stderr)


class NumberRanges(Fixture):
    """Numbers out of range are refused before any work, with the limit."""

    def test_options_and_keys_out_of_range_name_their_limit(self):
        dataset = self.path("data")
        simulate(self.study, dataset, "--subjects", "1", "--runs", "1")
        bold = os.path.join(dataset, "sub-01", "func", "sub-01_task-hostile_run-1_bold.nii.gz")
        truth = os.path.join(dataset, "derivatives", "tolvane", "sub-01", "func",
                             "sub-01_task-hostile_run-1_desc-Task_effect.nii.gz")
        refusals = {
            ("evaluate", "--p-threshold", "2"): "expected a p value above 0 and below 1, found 2",
            ("evaluate", "--threshold", "nan"): "expected a finite value of the statistic, found nan",
            ("evaluate", "--dof", "0"): "--dof: Value 0 not in range 1 to 100000000",
            # 60 volumes of TR 2 s and one condition (Rest is the baseline): 57 cosines at
            # most, so a cutoff of more than 2 x 60 x 2 s / 58.
            ("glm", "--highpass", "1e-8"): "--highpass 1e-08: expected a cutoff of more than "
                                           "4.137931034482759 s for a run of 60 volumes of TR "
                                           "2 s and 1 condition",
            ("glm", "--highpass", "nan"): "expected a cutoff of 0 (none) or more seconds, found nan",
            ("fit-noise", "--highpass", "1e-6"): "--highpass 1e-06: expected a cutoff of at least",
        }
        for (command, option, value), message in refusals.items():
            arguments = {"evaluate": ["--truth", truth, "--stat", truth],
                         "glm": [bold, "--output", self.path("glm")],
                         "fit-noise": [bold, "--output", self.path("fit")]}[command]
            result = run(TOLVANE, command, *arguments, option, value, status=2)
            self.assertIn(message, result.stderr + result.stdout, (command, option, value))
        self.assertFalse(os.path.exists(self.path("glm")))
        for key, value, message in (("baseline", "1e38", "expected a finite number from -1e30 "
                                                          "to 1e30"),
                                    ("sd", "inf", "expected a standard deviation from 0 to 1e30")):
            study = self.path(key + ".toml")
            text = study_text()
            text = (text.replace("sd = 4\n", f"sd = {value}\n") if key == "sd"
                    else text.replace("volumes = 60", f"volumes = 60\nbaseline = {value}"))
            write_text(study, text)
            self.assertIn(message, simulate(study, self.path("new"), status=2).stderr)


class NonFiniteInputs(Fixture):
    """NaN and infinities in inputs are refused or reported with their count and place."""

    def test_a_baseline_image_with_nan_is_refused_naming_count_and_voxel(self):
        import nibabel
        import numpy
        affine = numpy.diag([3.0, 3.0, 3.0, 1.0])
        baseline = numpy.full((12, 12, 12), 500.0, dtype=numpy.float32)
        nibabel.save(nibabel.Nifti1Image(baseline, affine), self.path("anatomy.nii.gz"))
        baseline[4, 5, 6] = baseline[7, 5, 6] = numpy.nan
        baseline[1, 1, 1] = numpy.inf
        nibabel.save(nibabel.Nifti1Image(baseline, affine), self.path("baseline.nii.gz"))
        shutil.copy(PROTOCOL, self.path("block_design.prt"))
        write_text(self.path("nan.toml"), 'task = "nan"\nprotocol = "block_design.prt"\n'
                   'baseline = "baseline.nii.gz"\nvolumes = 20\n[grid]\n'
                   'anatomical = "anatomy.nii.gz"\nbox = [0, 12, 0, 12, 0, 12]\n'
                   'resolution = 1\n[noise]\ntsnr = 50\n')
        errors = simulate(self.path("nan.toml"), self.path("new"), status=2).stderr
        self.assertIn("key baseline: baseline.nii.gz: expected finite values, found 3 that are "
                      "not (NaN or infinite), the first at voxel (1, 1, 1)", errors)
        self.assertFalse(os.path.exists(self.path("new")))

    def test_glm_reports_unfittable_voxels_and_refuses_a_series_with_none_to_fit(self):
        import nibabel
        import numpy
        dataset = self.path("data")
        simulate(self.study, dataset, "--subjects", "1", "--runs", "1")
        func = os.path.join(dataset, "sub-01", "func")
        image = nibabel.load(os.path.join(func, "sub-01_task-hostile_run-1_bold.nii.gz"))
        data = numpy.asarray(image.dataobj, dtype=numpy.float32)
        data[2, 3, 4, 10] = numpy.nan
        data[5, 5, 5, :] = numpy.inf
        data[0, 0, 0, :] = 7.0
        events = os.path.join(func, "sub-01_task-hostile_run-1_events.tsv")
        damaged = self.path("damaged_bold.nii.gz")
        nibabel.save(nibabel.Nifti1Image(data, image.affine, image.header), damaged)
        errors = run(TOLVANE, "glm", damaged, "--events", events, "--output",
                     self.path("glm")).stderr
        self.assertIn("2 of 1000 voxels have values that are not finite (NaN or infinite), the "
                      "first at voxel (5, 5, 5) in volume 1; their maps are NaN", errors)
        self.assertIn("1 of 1000 voxels are constant over the run, the first at voxel (0, 0, 0)",
                      errors)
        flat = self.path("flat_bold.nii.gz")
        nibabel.save(nibabel.Nifti1Image(numpy.full_like(data, 3.0), image.affine, image.header),
                     flat)
        errors = run(TOLVANE, "glm", flat, "--events", events, "--output", self.path("flat"),
                     status=2).stderr
        self.assertIn("expected a series that varies in some voxel, found 0 voxels with values "
                      "that are not finite and 1000 constant ones", errors)
        self.assertFalse(os.path.exists(self.path("flat")))


class IncompleteDatasets(Fixture):
    """group, evaluate and report refuse a dataset missing runs its study promises."""

    def test_missing_runs_are_listed_unless_allowed(self):
        dataset = self.path("data")
        # Half the runs, as an interrupted or unfinished study leaves them.
        simulate(self.study, dataset, "--subjects", "3", "--runs", "2", "--shard", "1/2")
        commands = {"group": ["group", dataset, "--contrast", "Task"],
                    "evaluate": ["evaluate", dataset, "--contrast", "Task"],
                    "report": ["report", dataset, "--output", self.path("report.html")]}
        for name, command in commands.items():
            errors = run(TOLVANE, *command, status=2).stderr
            self.assertIn(": expected every run that its study promises (", errors, name)
            self.assertIn("found 3 of 6; missing sub-02 run 2, sub-03 run 1, sub-03 run 2. ",
                          errors, name)
            self.assertIn("--allow-incomplete", errors, name)
        self.assertFalse(os.path.exists(os.path.join(dataset, "derivatives", "tolvane-glm")))
        result = run(TOLVANE, *commands["group"], "--allow-incomplete")
        self.assertIn("2 subjects, 3 runs", result.stderr)


class WholeSets(Fixture):
    """group and fit-noise move their sets into place whole, and staging folders of dead
    processes are removed by the next writer."""

    def setUp(self):
        super().setUp()
        self.dataset = self.path("data")
        simulate(self.study, self.dataset, "--subjects", "3", "--runs", "1")

    def test_a_group_set_that_fails_leaves_the_previous_set_whole(self):
        group = os.path.join(self.dataset, "derivatives", "tolvane-group")
        run(TOLVANE, "group", self.dataset, "--contrast", "Task")
        before = snapshot(group)
        # The t map's name taken by a folder: the new set cannot be placed whole.
        t_map = [name for name in before if name.startswith("group_") and "stat-t_" in name][0]
        os.remove(os.path.join(group, t_map))
        os.mkdir(os.path.join(group, t_map))
        del before[t_map]
        before[t_map + "/"] = None
        errors = run(TOLVANE, "group", self.dataset, "--contrast", "Task", "--covariate",
                     self.covariates(), "age", status=3).stderr
        self.assertIn(t_map + ": cannot be written: it is a folder", errors)
        self.assertEqual(snapshot(group), before)

    def covariates(self):
        table = self.path("participants.tsv")
        write_text(table, "participant_id\tage\nsub-01\t20\nsub-02\t30\nsub-03\t45\n")
        return table

    def test_a_fit_noise_set_that_fails_leaves_no_part_of_it(self):
        bold = os.path.join(self.dataset, "sub-01", "func", "sub-01_task-hostile_run-1_bold.nii.gz")
        fit = self.path("fit")
        os.makedirs(os.path.join(fit, "noise.toml"))
        errors = run(TOLVANE, "fit-noise", bold, "--output", fit, status=3).stderr
        self.assertIn("noise.toml: cannot be written: it is a folder", errors)
        self.assertEqual(sorted(os.listdir(fit)), ["noise.toml"])

    def test_staging_folders_of_dead_processes_are_removed_by_the_next_glm(self):
        dead = subprocess.Popen(["true"])
        dead.wait()
        func = os.path.join(self.dataset, "sub-01", "func")
        out = self.path("glm")
        stale = os.path.join(out, f".tolvane-staging-{os.uname().nodename}-{dead.pid}")
        write_text(os.path.join(stale, ".partial-1-map.nii.gz"), "half")
        run(TOLVANE, "glm", os.path.join(func, "sub-01_task-hostile_run-1_bold.nii.gz"),
            "--output", out)
        self.assertFalse(os.path.exists(stale))
        self.assertEqual([n for n in os.listdir(out) if n.startswith(".")], [])


class SetupErrors(Fixture):
    """An output where no file can be created is a setup error (exit 2, as in hvhost),
    found before any work."""

    def test_an_unusable_output_is_refused_before_any_fit(self):
        dataset = self.path("data")
        simulate(self.study, dataset, "--subjects", "1", "--runs", "1")
        bold = os.path.join(dataset, "sub-01", "func", "sub-01_task-hostile_run-1_bold.nii.gz")
        nowhere = "/proc/tolvane-nowhere"  # no file can be created under /proc, even by root
        commands = [["simulate", self.study, "--output", nowhere],
                    ["glm", bold, "--output", nowhere],
                    ["fit-noise", bold, "--output", nowhere],
                    ["report", dataset, "--output", nowhere + "/report.html"]]
        for command in commands:
            errors = run(TOLVANE, *command, status=2).stderr
            self.assertIn("choose another --output", errors, command[0])
            self.assertNotIn("fitting", errors, command[0])
            self.assertNotIn("reading", errors, command[0])
        errors = run(TOLVANE, "report", dataset, "--output", self.folder, status=2).stderr
        self.assertIn("expected the report's file name, found a folder", errors)
        self.assertFalse(os.path.exists(os.path.join(dataset, "derivatives", "tolvane-glm")))


if __name__ == "__main__":
    unittest.main()
