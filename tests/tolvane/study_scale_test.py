#!/usr/bin/python3
"""Studies with structured noise on many threads and machines: the same bytes for any
number of jobs, shards that add up to the whole study, interruptions that leave only
complete files and resume to the same study, and the refusals that protect a machine.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/study_scale_test.py
"""
import filecmp
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

TOLVANE = os.environ["TOLVANE"]
PROTOCOL = os.path.abspath("examples/block_design.prt")

# A 20 x 20 x 20 grid with every noise model and an effect: small enough for seconds.
STUDY = f"""
subjects = 2
runs = 3
task = "scale"
protocol = "{PROTOCOL}"

[grid]
box = [98, 158, 98, 158, 98, 158]

[noise]
sd = 4
smoothness_mm = 6
model = "ar1"
rho = 0.3
drift = {{ sd = 2, cutoff_s = 100 }}

[[region]]
centre_voxel = [128, 128, 128]
radius_voxels = 2
effects = {{ Task = "2%" }}
"""


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=600)
    if status is not None and result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstderr:\n{result.stderr[-2000:]}")
    return result


def simulate(study, output, *options, status=0):
    return run(TOLVANE, "simulate", study, "--output", output, *options, status=status)


def same_trees(test, first, second):
    comparison = filecmp.dircmp(first, second)
    pending = [comparison]
    while pending:
        current = pending.pop()
        test.assertEqual(current.left_only + current.right_only, [], current.left)
        _, mismatch, errors = filecmp.cmpfiles(current.left, current.right, current.common_files,
                                               shallow=False)
        test.assertEqual(mismatch + errors, [], current.left)
        pending.extend(current.subdirs.values())


def temporaries(root):
    return [os.path.join(folder, name) for folder, _, names in os.walk(root)
            for name in names if name.startswith(".partial-")]


class JobsAndShards(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-scale-")
        cls.study = os.path.join(cls.folder, "study.toml")
        with open(cls.study, "w") as file:
            file.write(STUDY)
        cls.whole = os.path.join(cls.folder, "whole")
        simulate(cls.study, cls.whole, "--jobs", "1")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_two_jobs_give_the_bytes_of_one(self):
        two = os.path.join(self.folder, "two")
        simulate(self.study, two, "--jobs", "2")
        same_trees(self, self.whole, two)

    def test_the_union_of_three_shards_is_the_whole_study(self):
        union = os.path.join(self.folder, "union")
        for index in (1, 2, 3):
            shard = os.path.join(self.folder, f"shard{index}")
            simulate(self.study, shard, "--shard", f"{index}/3")
            shutil.copytree(shard, union, dirs_exist_ok=True)
        same_trees(self, self.whole, union)

    def test_a_bad_shard_is_refused(self):
        result = simulate(self.study, os.path.join(self.folder, "bad"), "--shard", "4/3",
                          status=2)
        self.assertIn("--shard: expected K/N with 1 <= K <= N", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "bad")))


class Interruptions(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tolvane-interrupt-")
        self.study = os.path.join(self.folder, "study.toml")
        # More runs on a larger grid, so that there is time to interrupt.
        with open(self.study, "w") as file:
            file.write(STUDY.replace("runs = 3", "runs = 4")
                       .replace("[98, 158, 98, 158, 98, 158]", "[83, 173, 83, 173, 83, 173]"))
        self.reference = os.path.join(self.folder, "reference")
        simulate(self.study, self.reference, "--jobs", "2")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def interrupted(self, signal_number):
        """Starts the study, waits for its first finished run, and signals it."""
        output = os.path.join(self.folder, "interrupted")
        process = subprocess.Popen([TOLVANE, "simulate", self.study, "--output", output,
                                    "--jobs", "1"], stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 300
        while time.monotonic() < deadline:
            func = os.path.join(output, "sub-01", "func")
            if os.path.isdir(func) and any(n.endswith("_bold.nii.gz") for n in os.listdir(func)):
                break
            time.sleep(0.02)
        process.send_signal(signal_number)
        _, errors = process.communicate(timeout=300)
        return output, process.returncode, errors

    def test_a_killed_study_run_again_gives_the_files_of_one_never_killed(self):
        output, status, _ = self.interrupted(signal.SIGKILL)
        self.assertEqual(status, -signal.SIGKILL)
        bold = [n for _, _, names in os.walk(output) for n in names if n.endswith("_bold.nii.gz")]
        self.assertLess(len(bold), 8, "the study ended before it could be killed")
        simulate(self.study, output, "--jobs", "2")
        same_trees(self, self.reference, output)
        self.assertEqual(temporaries(output), [])

    def test_ctrl_c_finishes_the_runs_in_progress_and_says_how_to_go_on(self):
        output, status, errors = self.interrupted(signal.SIGINT)
        self.assertEqual(status, 130, errors)
        self.assertIn("run the same command again to simulate the rest", errors)
        self.assertEqual(temporaries(output), [])
        # Every bold image there is whole: it is the reference's, byte for byte.
        for folder, _, names in os.walk(output):
            for name in names:
                if name.endswith("_bold.nii.gz"):
                    twin = os.path.join(self.reference, os.path.relpath(folder, output), name)
                    self.assertTrue(filecmp.cmp(os.path.join(folder, name), twin, shallow=False))
        simulate(self.study, output)
        same_trees(self, self.reference, output)

    def test_a_second_ctrl_c_stops_at_once_with_a_message_and_the_study_resumes(self):
        output = os.path.join(self.folder, "twice")
        process = subprocess.Popen([TOLVANE, "simulate", self.study, "--output", output,
                                    "--jobs", "1"], stderr=subprocess.PIPE, text=True)
        while not os.path.isdir(output):
            time.sleep(0.01)
        time.sleep(0.2)
        process.send_signal(signal.SIGINT)
        time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        _, errors = process.communicate(timeout=300)
        self.assertEqual(process.returncode, 130, errors)
        self.assertIn("stopped at once by a second signal", errors)
        simulate(self.study, output)
        same_trees(self, self.reference, output)


class Refusals(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tolvane-refuse-")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def refused(self, text, *options):
        study = os.path.join(self.folder, "study.toml")
        with open(study, "w") as file:
            file.write(text)
        output = os.path.join(self.folder, "out")
        result = simulate(study, output, *options, status=2)
        self.assertFalse(os.path.exists(output), "a refused study wrote files")
        return result.stderr

    def test_runs_that_cannot_fit_in_memory_with_the_jobs_asked(self):
        # 174 x 120 x 138 voxels of 1000 volumes: 2.9 GB a run, far beyond 64 of them.
        text = (STUDY.replace("[98, 158, 98, 158, 98, 158]", "[57, 231, 52, 172, 59, 197]")
                .replace("[grid]", "[grid]\nresolution = 1")
                .replace('task = "scale"', 'task = "scale"\nvolumes = 1000'))
        errors = self.refused(text, "--jobs", "64")
        self.assertIn("jobs at once, but this machine has", errors)
        self.assertIn("use --jobs", errors)

    def test_structured_noise_with_the_plugins_signal_or_generator(self):
        errors = self.refused(STUDY.replace('task = "scale"', 'task = "scale"\nsignal = "replace"'))
        self.assertIn("key noise.smoothness_mm: structured noise needs signal = \"add\"", errors)
        errors = self.refused(STUDY.replace('task = "scale"', 'task = "scale"\ngenerator = "ran1"'))
        self.assertIn("structured noise needs generator = \"philox\"", errors)

    def test_autoregression_out_of_range_or_without_its_model(self):
        errors = self.refused(STUDY.replace("rho = 0.3", "rho = 1.0"))
        self.assertIn("key noise.rho: expected an autocorrelation with |rho| < 1", errors)
        errors = self.refused(STUDY.replace('model = "ar1"\n', ""))
        self.assertIn("key noise.rho: expected only with model = \"ar1\"", errors)


class Int16Storage(unittest.TestCase):
    """datatype = "int16" against the same study stored as float32: nibabel reads each
    value back within half a step of the float, the rounding error's sd is at most 2% of
    the noise sd, the truth is the same float files, and impossible scales are refused."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-int16-")
        cls.float32 = os.path.join(cls.folder, "float32")
        cls.int16 = os.path.join(cls.folder, "int16")
        for output, datatype in ((cls.float32, "float32"), (cls.int16, "int16")):
            # The same file name, which the dataset records, in a folder of its own.
            os.mkdir(os.path.join(cls.folder, datatype + "_study"))
            study = os.path.join(cls.folder, datatype + "_study", "study.toml")
            with open(study, "w") as file:
                file.write(STUDY.replace('task = "scale"',
                                         f'task = "scale"\ndatatype = "{datatype}"'))
            simulate(study, output, "--jobs", "2")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_nibabel_reads_each_run_back_within_the_rounding_bound(self):
        import nibabel
        import numpy
        bold = [os.path.relpath(os.path.join(folder, name), self.float32)
                for folder, _, names in os.walk(self.float32) for name in names
                if name.endswith("_bold.nii.gz")]
        self.assertEqual(len(bold), 6)
        for name in bold:
            exact = nibabel.load(os.path.join(self.float32, name))
            stored = nibabel.load(os.path.join(self.int16, name))
            self.assertEqual(stored.get_data_dtype(), numpy.int16)
            self.assertEqual(stored.shape, exact.shape)
            numpy.testing.assert_array_equal(stored.affine, exact.affine)
            step = float(stored.dataobj.slope)
            # The largest power of two within 2% x sqrt(12) x noise sd (4): 0.25.
            self.assertEqual(step, 0.25)
            error = stored.get_fdata() - exact.get_fdata()
            # q * step + inter is exact in double, and the float's difference from it is
            # at most half a step; 1e-9 allows for the double subtraction of the values.
            self.assertLessEqual(numpy.abs(error).max(), step / 2 + 1e-9, name)
            self.assertLessEqual(error.std(), 0.02 * 4, name)

    def test_the_truth_is_the_float32_studys_byte_for_byte(self):
        truth = os.path.join(self.float32, "derivatives")
        files = [os.path.relpath(os.path.join(folder, name), self.float32)
                 for folder, _, names in os.walk(truth) for name in names]
        self.assertTrue(any(name.endswith("_effect.nii.gz") for name in files), files)
        for relative in files:
            self.assertTrue(filecmp.cmp(os.path.join(self.float32, relative),
                                        os.path.join(self.int16, relative), shallow=False),
                            relative)

    def test_runs_that_no_int16_scale_can_hold_are_refused_naming_the_run(self):
        output = os.path.join(self.folder, "refused")
        study = os.path.join(self.folder, "refused.toml")
        with open(study, "w") as file:
            file.write(STUDY.replace('task = "scale"', 'task = "scale"\ndatatype = "int16"')
                       .replace('Task = "2%"', "Task = 100000"))
        # One job, so that the first run is the one refused.
        errors = simulate(study, output, "--jobs", "1", status=2).stderr
        self.assertIn("sub-01_task-scale_run-1_bold.nii.gz: its values span", errors)
        self.assertIn("noise sd 4 needs a step of at most 0.2771", errors)
        self.assertIn("more than int16's 65535; use datatype = \"float32\"", errors)
        with open(study, "w") as file:
            file.write(STUDY.replace('task = "scale"', 'task = "scale"\ndatatype = "int16"')
                       .replace("sd = 4\n", "sd = 0\n"))
        errors = simulate(study, output, "--overwrite", status=2).stderr
        self.assertIn("the runs' smallest noise sd is 0; use datatype = \"float32\"", errors)
        with open(study, "w") as file:
            file.write(STUDY.replace('task = "scale"', 'task = "scale"\ndatatype = "int8"'))
        errors = simulate(study, os.path.join(self.folder, "never"), status=2).stderr
        self.assertIn('key datatype: expected "float32" or "int16", found "int8"', errors)


if __name__ == "__main__":
    unittest.main()
