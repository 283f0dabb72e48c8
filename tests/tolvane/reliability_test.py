#!/usr/bin/python3
"""tolvane simulate under a hostile user: an overwrite that removes only the earlier
study's own files, failures that leave the folder as it was, shards started together on
one folder, --jobs out of range and threads that cannot start, and a noise_from that
holds no fit. analysis_reliability_test.py shares its fixture.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/reliability_test.py
"""
import filecmp
import os
import resource
import shutil
import subprocess
import tempfile
import unittest

TOLVANE = os.environ["TOLVANE"]
PROTOCOL = os.path.abspath("examples/block_design.prt")

# A 10 x 10 x 10 grid of 60 volumes with smooth AR(1) noise: a run takes a moment.
STUDY = """
subjects = 2
runs = 2
task = "hostile"
protocol = "{protocol}"
volumes = 60
{extra}
[grid]
box = [113, 143, 113, 143, 113, 143]

[noise]
sd = 4
smoothness_mm = 6
model = "ar1"
rho = 0.3

[[region]]
centre_voxel = [128, 128, 128]
radius_voxels = 2
effects = {{ Task = {effect} }}
"""


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as file:
        file.write(text)


def study_text(protocol=PROTOCOL, extra="", effect='"2%"', sd=4):
    return STUDY.format(protocol=protocol, extra=extra, effect=effect).replace(
        "sd = 4\n", f"sd = {sd}\n")


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=300)
    if status is not None and result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstderr:\n{result.stderr[-2000:]}")
    return result


def simulate(study, output, *options, status=0):
    return run(TOLVANE, "simulate", study, "--output", output, *options, status=status)


def snapshot(root):
    """Every file and folder under root, hidden ones too, with the files' bytes."""
    state = {}
    for folder, folders, names in os.walk(root):
        for name in folders:
            state[os.path.relpath(os.path.join(folder, name), root) + "/"] = None
        for name in names:
            with open(os.path.join(folder, name), "rb") as file:
                state[os.path.relpath(os.path.join(folder, name), root)] = file.read()
    return state


def same_trees(test, first, second):
    comparison = filecmp.dircmp(first, second, ignore=[])
    pending = [comparison]
    while pending:
        current = pending.pop()
        test.assertEqual(current.left_only + current.right_only, [], current.left)
        _, mismatch, errors = filecmp.cmpfiles(current.left, current.right, current.common_files,
                                               shallow=False)
        test.assertEqual(mismatch + errors, [], current.left)
        pending.extend(current.subdirs.values())


class Fixture(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tolvane-hostile-")
        self.study = os.path.join(self.folder, "study.toml")
        write_text(self.study, study_text())

    def tearDown(self):
        shutil.rmtree(self.folder)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)


class Overwrite(Fixture):
    """--overwrite removes what the earlier study's record lists, and nothing else."""

    def test_only_the_earlier_studys_files_go_and_the_users_stay(self):
        dataset = self.path("data")
        simulate(self.study, dataset)
        mine = {"notes.txt": "mine\n", "code/tolvane/notes.txt": "also mine\n",
                "sub-02/my_events.tsv": "onset\tduration\n"}
        for name, text in mine.items():
            write_text(os.path.join(dataset, name), text)
        simulate(self.study, dataset, "--subjects", "1", "--overwrite")
        for name, text in mine.items():
            with open(os.path.join(dataset, name)) as file:
                self.assertEqual(file.read(), text, name)
        # sub-02's runs went; its folder stays for the user's file, without func/.
        self.assertEqual(os.listdir(os.path.join(dataset, "sub-02")), ["my_events.tsv"])
        self.assertFalse(os.path.exists(os.path.join(dataset, "derivatives", "tolvane",
                                                     "sub-02")))
        self.assertTrue(os.path.exists(os.path.join(
            dataset, "sub-01", "func", "sub-01_task-hostile_run-2_bold.nii.gz")))
        with open(os.path.join(dataset, "code", "tolvane", "files.txt")) as file:
            records = file.read().split("\n")
        self.assertIn("sub-01/func/sub-01_task-hostile_run-1_bold.nii.gz", records)
        self.assertNotIn("notes.txt", records)
        self.assertEqual([n for n in os.listdir(dataset) if n.startswith(".")], [])

    def test_files_no_study_wrote_inputs_inside_and_untrusted_records_are_refused(self):
        # A README of the user's where the dataset's README would go.
        folder = self.path("users")
        write_text(os.path.join(folder, "README"), "my README\n")
        before = snapshot(folder)
        errors = simulate(self.study, folder, "--overwrite", status=2).stderr
        self.assertIn("would replace files that no study wrote (" +
                      os.path.join(folder, "README"), errors)
        self.assertEqual(snapshot(folder), before)
        # The study's protocol inside the output folder.
        inside = self.path("inside")
        protocol = os.path.join(inside, "sub-01", "my_events.prt")
        os.makedirs(os.path.dirname(protocol))
        shutil.copy(PROTOCOL, protocol)
        study = self.path("inside.toml")
        write_text(study, study_text(protocol="inside/sub-01/my_events.prt"))
        before = snapshot(inside)
        errors = simulate(study, inside, "--overwrite", status=2).stderr
        self.assertIn("holds the study's inputs (" + protocol, errors)
        self.assertEqual(snapshot(inside), before)
        # A record that points outside the dataset is not trusted.
        dataset = self.path("data")
        simulate(self.study, dataset)
        write_text(self.path("victim.txt"), "keep\n")
        with open(os.path.join(dataset, "code", "tolvane", "files.txt"), "a") as file:
            file.write("../victim.txt\n")
        before = snapshot(dataset)
        errors = simulate(self.study, dataset, "--seed", "9", "--overwrite", status=2).stderr
        self.assertIn('expected a path inside the dataset, found "../victim.txt"', errors)
        self.assertEqual(snapshot(dataset), before)
        self.assertTrue(os.path.exists(self.path("victim.txt")))


class FailedStudies(Fixture):
    """A study refused part way leaves the folder exactly as it was."""

    def test_a_run_refused_late_leaves_an_earlier_dataset_and_a_new_folder_untouched(self):
        dataset = self.path("data")
        simulate(self.study, dataset)
        before = snapshot(dataset)
        # No int16 scale holds an effect of 100000 against noise of sd 4: found only
        # when the first run's values are known.
        refused = self.path("refused.toml")
        write_text(refused, study_text(extra='datatype = "int16"', effect="100000"))
        errors = simulate(refused, dataset, "--overwrite", "--jobs", "1", status=2).stderr
        self.assertIn(refused + ': key datatype = "int16": sub-01_task-hostile_run-1_bold'
                      ".nii.gz: its values span", errors)
        self.assertEqual(snapshot(dataset), before)
        simulate(refused, self.path("new"), "--jobs", "1", status=2)
        self.assertFalse(os.path.exists(self.path("new")))

    def test_int16_without_noise_is_refused_before_any_work_naming_file_and_key(self):
        silent = self.path("silent.toml")
        write_text(silent, study_text(extra='datatype = "int16"', sd=0))
        errors = simulate(silent, self.path("new"), status=2).stderr
        self.assertIn(silent + ': key datatype: "int16"', errors)
        self.assertIn("smallest noise sd is 0", errors)
        self.assertFalse(os.path.exists(self.path("new")))

    def test_staging_folders_of_dead_processes_are_removed_by_the_next_run(self):
        dataset = self.path("data")
        simulate(self.study, dataset, "--subjects", "1", "--runs", "1")
        dead = subprocess.Popen(["true"])
        dead.wait()
        stale = os.path.join(dataset, f".tolvane-staging-{os.uname().nodename}-{dead.pid}")
        write_text(os.path.join(stale, "sub-01", "func", "half.nii.gz"), "half")
        simulate(self.study, dataset, "--subjects", "1", "--runs", "1")
        self.assertFalse(os.path.exists(stale))


class Shards(Fixture):
    """Shards started together on one folder give the files of one process."""

    def test_four_shards_started_at_once_finish_with_the_files_of_one_process(self):
        whole = self.path("whole")
        simulate(self.study, whole, "--jobs", "1")
        together = self.path("together")
        shards = [subprocess.Popen([TOLVANE, "simulate", self.study, "--output", together,
                                    "--shard", f"{k}/4", "--jobs", "1"],
                                   stderr=subprocess.PIPE, text=True) for k in (1, 2, 3, 4)]
        for shard in shards:
            _, errors = shard.communicate(timeout=300)
            self.assertEqual(shard.returncode, 0, errors)
        same_trees(self, whole, together)

    def test_overwrite_with_shards_is_refused(self):
        errors = simulate(self.study, self.path("data"), "--shard", "1/2", "--overwrite",
                          status=2).stderr
        self.assertIn("--overwrite with --shard", errors)
        self.assertFalse(os.path.exists(self.path("data")))


def with_little_memory():
    """Leaves the child 300 MiB of address space: far too little for the stacks of 200
    threads, whatever the process's privileges (a limit of processes binds no root)."""
    resource.setrlimit(resource.RLIMIT_AS, (300 << 20, 300 << 20))


class JobsAndThreads(Fixture):
    """--jobs is range-checked, and threads that cannot be started end the command with
    a message and exit 1, never an abort."""

    def test_jobs_out_of_range_are_refused_with_the_limit(self):
        bold = self.path("bold.nii.gz")
        for jobs in ("0", "-3", "100000"):
            errors = simulate(self.study, self.path("data"), "--jobs", jobs, status=2).stderr
            self.assertIn(f"--jobs: expected a number of threads from 1 to 1024", errors)
            self.assertIn(f"found {jobs}", errors)
            errors = run(TOLVANE, "fit-noise", bold, "--output", self.path("fit"), "--jobs", jobs,
                         status=2).stderr
            self.assertIn(f"found {jobs}", errors)
        self.assertFalse(os.path.exists(self.path("data")))

    def test_threads_that_cannot_start_end_the_command_with_exit_1(self):
        dataset = self.path("data")
        simulate(self.study, dataset, "--subjects", "1", "--runs", "1")
        bold = os.path.join(dataset, "sub-01", "func", "sub-01_task-hostile_run-1_bold.nii.gz")
        commands = {"simulate": [TOLVANE, "simulate", self.study, "--output", self.path("new"),
                                 "--jobs", "200"],
                    "fit-noise": [TOLVANE, "fit-noise", bold, "--output", self.path("fit"),
                                  "--jobs", "200"]}
        for name, command in commands.items():
            result = subprocess.run(command, preexec_fn=with_little_memory, capture_output=True,
                                    text=True, timeout=120)
            if "Sanitizer" in result.stderr:
                self.skipTest("a sanitized program cannot start in 300 MiB")
            self.assertEqual(result.returncode, 1, name + ": " + result.stderr)
            self.assertRegex(result.stderr, r"could not start \d+ threads \(\d+ started, then: "
                                            r"Resource temporarily unavailable\)")
        self.assertFalse(os.path.exists(self.path("new")))
        self.assertFalse(os.path.exists(self.path("fit")))


class NoiseFrom(Fixture):
    """A noise_from that holds no fit is refused rather than ignored."""

    def test_a_folder_an_empty_file_a_device_or_another_toml_are_refused(self):
        write_text(self.path("empty.toml"), "")
        write_text(self.path("other.toml"), "[grid]\nresolution = 3\n")
        refusals = {self.folder: "expected a text file, found a folder",
                    self.path("empty.toml"): "expected the noise.toml that tolvane fit-noise "
                                             "writes, with its [noise] table; found none",
                    self.path("other.toml"): "with its [noise] table; found none",
                    "/dev/zero": "found a NUL byte"}
        for given, message in refusals.items():
            study = self.path("from.toml")
            write_text(study, f'noise_from = "{given}"\n' + study_text())
            errors = simulate(study, self.path("new"), status=2).stderr
            self.assertIn("key noise_from: ", errors, given)
            self.assertIn(message, errors, given)
        self.assertFalse(os.path.exists(self.path("new")))


if __name__ == "__main__":
    unittest.main()
