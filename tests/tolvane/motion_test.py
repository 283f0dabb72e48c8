"""Head motion and slice timing through the executable: moved volumes against scipy's
resampler in the bold file's own world coordinates, the confounds table's truth, drawn
trajectories, slice times in the sidecar and in the data, and the BIDS validator.

Run from the source root:
  TOLVANE=build/tolvane/tolvane \
  BIDS_VALIDATOR=tools/bids-validator/node_modules/.bin/bids-validator \
  /usr/bin/python3 tests/tolvane/motion_test.py
"""

import csv
import json
import os
import subprocess
import tempfile
import unittest

import nibabel
import numpy
from scipy import ndimage

TOLVANE = os.environ["TOLVANE"]
BIDS_VALIDATOR = os.environ.get("BIDS_VALIDATOR", "")
EXAMPLES = os.path.abspath("examples")
COLUMNS = ["trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"]

# A grid of 16 x 16 x 8 voxels of 3 mm around the world origin.
SMALL_GRID = """
[grid]
box = [104, 152, 104, 152, 116, 140]
resolution = 3
"""


def simulate(folder, name, text, *options, status=0):
    path = os.path.join(folder, name + ".toml")
    with open(path, "w") as out:
        out.write(text)
    output = os.path.join(folder, name)
    result = subprocess.run([TOLVANE, "simulate", path, "--output", output, *options],
                            capture_output=True, text=True, timeout=300)
    if result.returncode != status:
        raise AssertionError(f"simulate exited {result.returncode}:\n{result.stderr[-2000:]}")
    return output if status == 0 else result.stderr


def rotation(axis, angle):
    c, s = numpy.cos(angle), numpy.sin(angle)
    i, j = [(1, 2), (2, 0), (0, 1)][axis]
    r = numpy.eye(3)
    r[i, i], r[i, j], r[j, i], r[j, j] = c, -s, s, c
    return r


def motion_affine(row):
    m = numpy.eye(4)
    m[:3, :3] = rotation(2, row[5]) @ rotation(1, row[4]) @ rotation(0, row[3])
    m[:3, 3] = row[:3]
    return m


def read_table(path):
    with open(path, newline="") as text:
        return list(csv.DictReader(text, delimiter="\t"))


def framewise_displacement(six):
    change = numpy.abs(numpy.diff(six, axis=0))
    return change[:, :3].sum(axis=1) + 50.0 * change[:, 3:].sum(axis=1)


def run_files(dataset, subject="01", task="sim", run=1):
    stem = f"sub-{subject}_task-{task}_run-{run}"
    return (os.path.join(dataset, f"sub-{subject}", "func", stem),
            os.path.join(dataset, "derivatives", "tolvane", f"sub-{subject}", "func", stem))


class MovedLikeScipy(unittest.TestCase):
    """A noiseless head with structure, replayed from a trajectory file: every moved
    volume is the still run's volume resampled by scipy where the bold file's affine puts
    it, and the truth table holds the file's motion."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-motion-")
        rng = numpy.random.default_rng(3)
        cls.six = numpy.zeros((20, 6))
        cls.six[1:, :3] = rng.uniform(-2, 2, (19, 3))
        cls.six[1:, 3:] = numpy.radians(rng.uniform(-2, 2, (19, 3)))
        with open(os.path.join(cls.folder, "events.tsv"), "w") as out:
            out.write("onset\tduration\ttrial_type\n2\t12\tA\n16\t12\tB\n")
        with open(os.path.join(cls.folder, "head.tsv"), "w") as out:
            out.write("global_signal\t" + "\t".join(COLUMNS) + "\n")
            for row in cls.six:
                out.write("1\t" + "\t".join(repr(float(v)) for v in row) + "\n")
        base = f"""
task = "sim"
protocol = "events.tsv"
volumes = 20
noise = {{ sd = 0 }}
{SMALL_GRID}
[[region]]
centre_mm = [4, -3, 2]
radius_mm = 10
effects = {{ A = 40.0 }}
[[region]]
centre_mm = [-9, 8, -4]
radius_mm = 5
effects = {{ B = 25.0 }}
"""
        cls.still = simulate(cls.folder, "still", base)
        cls.moving = {
            order: simulate(cls.folder, f"moving{order}", base + f"""
[motion]
trajectory = "head.tsv"
interpolation = "{'trilinear' if order == 1 else 'cubic'}"
""") for order in (1, 3)}

    def test_each_volume_is_the_still_one_moved_in_world_space(self):
        still = nibabel.load(run_files(self.still)[0] + "_bold.nii.gz")
        data = numpy.asarray(still.dataobj, numpy.float64)
        grid = still.affine
        shape = data.shape[:3]
        x, y, z = numpy.meshgrid(*[numpy.arange(n) for n in shape], indexing="ij")
        voxels = numpy.stack([x.ravel(), y.ravel(), z.ravel(), numpy.ones(x.size)])
        for order, dataset in self.moving.items():
            moved = numpy.asarray(nibabel.load(run_files(dataset)[0] + "_bold.nii.gz").dataobj)
            self.assertGreater(numpy.abs(moved - data).max(), 10.0, "the head moved")
            self.assertTrue(numpy.array_equal(moved[..., 0], data[..., 0]), "volume 0 is at rest")
            for t in range(1, data.shape[3]):
                c = numpy.linalg.inv(grid) @ numpy.linalg.inv(motion_affine(self.six[t])) @ grid @ voxels
                expected = ndimage.map_coordinates(data[..., t], c[:3], order=order,
                                                   mode="mirror").reshape(shape)
                # Values up to 165 (a unit in the last place is 2^-16 there): the same
                # interpolation in double, rounded once to float.
                numpy.testing.assert_allclose(moved[..., t], expected, rtol=0, atol=1e-4,
                                              err_msg=f"order {order}, volume {t}")

    def test_the_truth_holds_the_file_and_power_fd(self):
        table = read_table(run_files(self.moving[1])[1] + "_desc-confounds_timeseries.tsv")
        self.assertEqual(list(table[0].keys()), COLUMNS + ["framewise_displacement"])
        six = numpy.array([[float(row[c]) for c in COLUMNS] for row in table])
        self.assertTrue(numpy.array_equal(six, self.six))
        self.assertEqual(table[0]["framewise_displacement"], "n/a")
        written = numpy.array([float(row["framewise_displacement"]) for row in table[1:]])
        numpy.testing.assert_allclose(written, framewise_displacement(six), rtol=1e-12)
        with open(run_files(self.moving[1])[1] + "_desc-confounds_timeseries.json") as text:
            sidecar = json.load(text)
        self.assertEqual(sidecar["rot_x"]["Units"], "rad")
        self.assertEqual(sidecar["HeadMotion"]["TrajectoryFile"], "head.tsv")


class DrawnMotionAndSliceTiming(unittest.TestCase):
    """Drawn trajectories with spikes and drift, slice timing with a multiband factor,
    scanner-like noise; the same bytes on any number of jobs, and a valid dataset."""

    STUDY = f"""
subjects = 2
task = "sim"
protocol = "{EXAMPLES}/block_design.prt"
volumes = 30
slice_timing = "interleaved"
multiband = 2
noise = {{ tsnr = 60, snr = 100, drift = {{ sd = 1.0 }} }}
{SMALL_GRID}
[motion]
walk_mm = 0.1
walk_deg = 0.05
spikes = {{ rate_per_min = 6, size_mm = 1.5 }}
drift_mm_per_min = [0, 0, 0.5]
[[region]]
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}
"""

    @classmethod
    def setUpClass(cls):
        # The same study file name in two folders: the sidecars name it.
        cls.one = simulate(tempfile.mkdtemp(prefix="tolvane-motion-"), "study", cls.STUDY,
                           "--jobs", "1")
        cls.two = simulate(tempfile.mkdtemp(prefix="tolvane-motion-"), "study", cls.STUDY,
                           "--jobs", "2")

    def trajectory(self, subject):
        table = read_table(run_files(self.one, subject)[1] + "_desc-confounds_timeseries.tsv")
        six = numpy.array([[float(row[c]) for c in COLUMNS] for row in table])
        fd = numpy.array([float(row["framewise_displacement"]) for row in table[1:]])
        return six, fd

    def test_trajectories_follow_their_parts_and_differ_between_runs(self):
        first, fd = self.trajectory("01")
        second, _ = self.trajectory("02")
        self.assertTrue(numpy.array_equal(first[0], numpy.zeros(6)), "the walk starts at rest")
        self.assertFalse(numpy.array_equal(first, second))
        numpy.testing.assert_allclose(fd, framewise_displacement(first), rtol=1e-12)
        # Spikes of 1.5 mm at a chance of 0.2 per volume: some volume jumps by more than
        # a spike's size less the walk's steps, and its successor jumps back.
        self.assertGreater(fd.max(), 1.5)
        # The drift takes z up by 0.5 mm a minute: about 0.5 mm over the run's minute,
        # against a walk of sd 0.1 sqrt(29) = 0.54 mm.
        steps = numpy.diff(first, axis=0)
        self.assertLess(numpy.abs(numpy.median(steps[:, :3], axis=0) - [0, 0, 0.5 / 30]).max(), 0.06)

    def test_files_are_the_same_for_any_number_of_jobs(self):
        for subject in ("01", "02"):
            for suffix in ("_bold.nii.gz", "_bold.json"):
                with open(run_files(self.one, subject)[0] + suffix, "rb") as a, \
                        open(run_files(self.two, subject)[0] + suffix, "rb") as b:
                    self.assertEqual(a.read(), b.read(), suffix)

    def test_the_sidecar_gives_slice_times_and_the_validator_passes(self):
        with open(run_files(self.one)[0] + "_bold.json") as text:
            sidecar = json.load(text)
        # 8 slices in 2 bands of 4, interleaved: places 0, 2, 1, 3 at 0, 0.5, 1, 1.5 s.
        self.assertEqual(sidecar["SliceTiming"], [0, 1, 0.5, 1.5] * 2)
        self.assertEqual(sidecar["MultibandAccelerationFactor"], 2)
        if not os.path.exists(BIDS_VALIDATOR):
            if os.environ.get("CI"):
                self.fail(f"the BIDS validator is missing at {BIDS_VALIDATOR}")
            self.skipTest("the BIDS validator is not installed")
        result = subprocess.run([BIDS_VALIDATOR, self.one, "--json"], capture_output=True,
                                text=True, timeout=300)
        report = json.loads(result.stdout)
        self.assertEqual([i["key"] for i in report["issues"]["errors"]], [], result.stdout[:3000])
        warnings = [i["key"] for i in report["issues"]["warnings"]]
        self.assertNotIn("SLICE_TIMING_NOT_DEFINED", warnings)


class SliceTimes(unittest.TestCase):
    """A brief event seen by every slice: each slice's response peaks earlier in its
    volumes by its own slice time."""

    def peak_times(self, order):
        folder = tempfile.mkdtemp(prefix="tolvane-slices-")
        with open(os.path.join(folder, "flash.tsv"), "w") as out:
            out.write("onset\tduration\ttrial_type\n4.0\t0.1\tFlash\n")
        dataset = simulate(folder, "slices", f"""
task = "sim"
protocol = "flash.tsv"
tr = 1.0
volumes = 24
slice_timing = "{order}"
noise = {{ sd = 0 }}
{SMALL_GRID}
[[region]]
centre_mm = [0, 0, 0]
radius_mm = 100
effects = {{ Flash = 1000.0 }}
""")
        bold = numpy.asarray(nibabel.load(run_files(dataset)[0] + "_bold.nii.gz").dataobj)
        with open(run_files(dataset)[0] + "_bold.json") as text:
            times = json.load(text)["SliceTiming"]
        peaks = []
        for z in range(bold.shape[2]):
            course = bold[8, 8, z, :].astype(numpy.float64) - 100.0
            k = int(numpy.argmax(course))
            a, b, c = course[k - 1], course[k], course[k + 1]
            peaks.append(k + 0.5 * (a - c) / (a - 2 * b + c))  # the parabola's vertex
        return numpy.array(peaks), numpy.array(times)

    def test_each_slice_peaks_its_slice_time_earlier(self):
        for order in ("ascending", "interleaved"):
            peaks, times = self.peak_times(order)
            self.assertGreater(times.max(), 0.8, order)
            # Volume t of slice z is the response at t + s_z seconds (TR 1 s), so the
            # peak, in volumes, plus the slice time is the same for every slice.
            aligned = peaks + times
            self.assertLess(numpy.abs(aligned - aligned.mean()).max(), 0.1, f"{order}: {aligned}")
            self.assertGreater(numpy.ptp(peaks), 0.5, f"{order}: the slices differ")


class Refusals(unittest.TestCase):
    def test_unusable_motion_and_slice_keys_are_refused_with_the_key(self):
        folder = tempfile.mkdtemp(prefix="tolvane-motion-")
        with open(os.path.join(folder, "bad.tsv"), "w") as out:
            out.write("trans_x\ttrans_y\ttrans_z\trot_x\trot_y\n0\t0\t0\t0\t0\n")
        base = f'protocol = "{EXAMPLES}/block_design.prt"\nvolumes = 10\n'
        cases = [  # (top-level keys, tables, what the message says)
            ('generator = "ran1"', "[motion]\nwalk_mm = 0.1", "key motion: expected generator"),
            ("", '[motion]\ntrajectory = "bad.tsv"', "expected a column rot_z"),
            ("", '[motion]\nwalk_mm = 0.1\ninterpolation = "sinc"', "key motion.interpolation"),
            ("", "[motion]\nwalk_mm = 9", "key motion.walk_mm: expected a step sd"),
            ('slice_timing = "ascending"\nmultiband = 3', "", "key multiband: expected a factor"),
            ("slice_timing = [0, 0.5]", "", "key slice_timing: expected 8 times"),
        ]
        for i, (keys, tables, message) in enumerate(cases):
            stderr = simulate(folder, f"bad{i}", "\n".join([keys, base, SMALL_GRID, tables]),
                              status=2)
            self.assertIn(message, stderr)


class ConfoundsInTheGlm(unittest.TestCase):
    """glm --confounds: the table's columns join the design before the constant, and the
    fit is least squares on that design."""

    def test_truth_columns_join_the_design_and_the_fit(self):
        folder = tempfile.mkdtemp(prefix="tolvane-confounds-")
        dataset = simulate(folder, "study", f"""
task = "sim"
protocol = "{EXAMPLES}/block_design.prt"
volumes = 60
{SMALL_GRID}
[motion]
walk_mm = 0.2
walk_deg = 0.1
[[region]]
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}
""")
        raw, truth = run_files(dataset)
        table = truth + "_desc-confounds_timeseries.tsv"
        output = os.path.join(folder, "glm")
        result = subprocess.run([TOLVANE, "glm", raw + "_bold.nii.gz", "--output", output,
                                 "--confounds", table, "--highpass", "0"],
                                capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        design = read_table(os.path.join(output, "sub-01_task-sim_run-1_design.tsv"))
        self.assertEqual(list(design[0].keys()), ["Task"] + COLUMNS + ["constant"])
        matrix = numpy.array([[float(v) for v in row.values()] for row in design])
        motion = read_table(table)
        self.assertTrue(numpy.array_equal(
            matrix[:, 1:7], [[float(row[c]) for c in COLUMNS] for row in motion]))
        bold = numpy.asarray(nibabel.load(raw + "_bold.nii.gz").dataobj, numpy.float64)
        series = bold.reshape(-1, bold.shape[3]).T
        beta = numpy.linalg.lstsq(matrix, series, rcond=None)[0]
        effect = numpy.asarray(nibabel.load(os.path.join(
            output, "sub-01_task-sim_run-1_contrast-Task_stat-effect_statmap.nii.gz")).dataobj)
        numpy.testing.assert_allclose(effect.reshape(-1), beta[0], rtol=1e-4, atol=1e-3)

        # framewise_displacement's n/a in the first row is 0; a missing column is refused.
        output = os.path.join(folder, "glm-fd")
        result = subprocess.run([TOLVANE, "glm", raw + "_bold.nii.gz", "--output", output,
                                 "--confounds", table, "--confound-columns",
                                 "framewise_displacement,trans_z"],
                                capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        design = read_table(os.path.join(output, "sub-01_task-sim_run-1_design.tsv"))
        self.assertEqual(design[0]["framewise_displacement"], "0")
        self.assertEqual(list(design[0].keys())[-3:], ["framewise_displacement", "trans_z",
                                                       "constant"])
        result = subprocess.run([TOLVANE, "glm", raw + "_bold.nii.gz", "--output", output,
                                 "--confounds", table, "--confound-columns", "csf"],
                                capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 2)
        self.assertIn('expected a column "csf"', result.stderr)


class TaskCorrelatedMotion(unittest.TestCase):
    def test_chosen_parameters_correlate_with_the_predictor_at_r(self):
        folder = tempfile.mkdtemp(prefix="tolvane-task-motion-")
        dataset = simulate(folder, "study", f"""
subjects = 2
task = "sim"
protocol = "{EXAMPLES}/block_design.prt"
volumes = 80
{SMALL_GRID}
[motion]
walk_mm = 0.05
walk_deg = 0.05
task = {{ condition = "Task", r = 0.5, axes = ["trans_z", "rot_x"] }}
[[region]]
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}
""")
        for subject in ("01", "02"):
            truth = run_files(dataset, subject)[1]
            motion = read_table(truth + "_desc-confounds_timeseries.tsv")
            task = [float(row["Task"]) for row in
                    read_table(truth + "_desc-predictors_timeseries.tsv")]
            for column in ("trans_z", "rot_x"):
                values = [float(row[column]) for row in motion]
                # Exact in real arithmetic; the moments in double over walks that wander
                # far from their mean leave a few parts in a billion.
                self.assertAlmostEqual(numpy.corrcoef(values, task)[0, 1], 0.5, places=7)
            with open(truth + "_desc-confounds_timeseries.json") as text:
                self.assertEqual(json.load(text)["HeadMotion"]["TaskCorrelated"],
                                 {"Condition": "Task", "Correlation": 0.5,
                                  "Parameters": ["trans_z", "rot_x"]})


if __name__ == "__main__":
    unittest.main()
