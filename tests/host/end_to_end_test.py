#!/usr/bin/python3
"""Complete simulations through the hvhost executable and the plug-in module, judged by
the field's own NIfTI reader (nibabel) and by hvhost's native VTC tools.

Run by CTest with the system interpreter, which has Debian's nibabel and numpy:
  HVHOST=build/host/hvhost MODULE=build/libtolvane.so /usr/bin/python3 end_to_end_test.py
from the repository root (the answer scripts name files under examples/).
"""
import os
import subprocess
import tempfile
import unittest

import nibabel
import numpy

HVHOST = os.environ["HVHOST"]
MODULE = os.environ["MODULE"]

# Default VTC box and resolution: grid index = round((c - start) / 3).
X_START, Y_START, Z_START, RESOLUTION = 57, 52, 59, 3
NOISE_SD = 5.0
# The first two deviates of a fresh generator seeded with -1, scaled and shifted as the
# noise pass does: they land in voxels (0,0,0) and (1,0,0) at time point 0.
FIRST_NOISE_VALUES = (5.0 * -0.836854 + 100.0, 5.0 * -0.17228 + 100.0)


def grid_index(x, y, z):
    return tuple(int(numpy.floor((c - s) / RESOLUTION + 0.5))
                 for c, s in ((x, X_START), (y, Y_START), (z, Z_START)))


def run_hvhost(*arguments, check_status=0):
    result = subprocess.run([HVHOST, *arguments], capture_output=True, text=True, timeout=600)
    if check_status is not None and result.returncode != check_status:
        raise AssertionError(f"hvhost {' '.join(arguments)} exited {result.returncode}, "
                             f"expected {check_status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


def read_design_matrix(path):
    with open(path) as text:
        rows = [line.rstrip("\n") for line in text if not line.startswith("#")]
    names = rows[0].split("\t")
    values = numpy.array([[float(v) for v in row.split("\t")] for row in rows[1:]],
                         dtype=numpy.float32)
    return names, values


def sphere_offsets():
    return [(dx, dy, dz) for dz in range(-2, 3) for dy in range(-2, 3) for dx in range(-2, 3)
            if dx * dx + dy * dy + dz * dz <= 4]


def voi_voxels(path):
    """VMR voxels per VOI name of a VOI text file in reference space 1."""
    vois = {}
    with open(path) as text:
        for line in text:
            words = line.split()
            if not words or words[0].startswith("#") or words[0] == "reference-space":
                continue
            if words[0] == "voi":
                name = line.split(None, 1)[1].strip()
                vois[name] = []
            else:
                vois[name].append(tuple(int(w) for w in words))
    return vois


class ClusterChecks(unittest.TestCase):
    """A cluster voxel holds 100 + 3 p + 5 g with fresh noise g: averaged over the
    cluster's N voxels, the residual after removing 100 + 3 p is noise of sd 5/sqrt(N),
    and the average follows p closely. Bounds are four standard errors wide."""

    def assert_cluster_follows(self, courses, predictor):
        courses = numpy.asarray(courses, dtype=numpy.float64)
        voxels, points = courses.shape
        average = courses.mean(axis=0)
        residual = average - (100.0 + 3.0 * predictor)
        self.assertLess(abs(residual.mean()), 4 * NOISE_SD / numpy.sqrt(voxels * points))
        self.assertAlmostEqual(residual.std() / (NOISE_SD / numpy.sqrt(voxels)), 1.0, delta=0.25)
        self.assertGreater(numpy.corrcoef(average, predictor)[0, 1], 0.6)

    def assert_noise_only(self, courses, predictor):
        courses = numpy.asarray(courses, dtype=numpy.float64)
        voxels, points = courses.shape
        average = courses.mean(axis=0)
        self.assertLess(abs(average.mean() - 100.0), 4 * NOISE_SD / numpy.sqrt(voxels * points))
        self.assertAlmostEqual(courses.std(), NOISE_SD, delta=4 * NOISE_SD / numpy.sqrt(2 * voxels * points))
        self.assertLess(abs(numpy.corrcoef(average, predictor)[0, 1]), 4 / numpy.sqrt(points))


class SphereCluster(ClusterChecks):
    """examples/answers_sphere.txt: a sphere around an entered centre, NIfTI output."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.result = run_hvhost("--answers", "examples/answers_sphere.txt",
                                "--output-dir", cls.folder.name, MODULE)
        cls.image = nibabel.load(os.path.join(cls.folder.name, "sphere.nii.gz"))
        cls.data = numpy.asarray(cls.image.dataobj, dtype=numpy.float32)
        names, cls.design = read_design_matrix(
            os.path.join(cls.folder.name, "plugin_created.rtc"))
        cls.task = cls.design[:, names.index("Task")]

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_nibabel_sees_the_grid_voxel_size_tr_and_units(self):
        self.assertEqual(self.image.shape, (58, 40, 46, 250))
        self.assertEqual(self.image.header.get_zooms(), (3.0, 3.0, 3.0, 2.0))
        self.assertEqual(self.image.header.get_xyzt_units(), ("mm", "sec"))
        self.assertEqual(self.image.get_data_dtype(), numpy.float32)
        # Grid voxel (0,0,0) is VMR voxel (57, 52, 59); the default VMR puts voxel 128 at 0 mm.
        numpy.testing.assert_array_equal(self.image.affine[:3, 3], [57 - 128, 52 - 128, 59 - 128])

    def test_first_values_are_the_generators_first_deviates(self):
        self.assertAlmostEqual(float(self.data[0, 0, 0, 0]), FIRST_NOISE_VALUES[0], places=3)
        self.assertAlmostEqual(float(self.data[1, 0, 0, 0]), FIRST_NOISE_VALUES[1], places=3)

    def test_sphere_voxels_follow_the_task_predictor_and_the_rest_is_noise(self):
        cx, cy, cz = grid_index(120, 100, 130)
        inside = [self.data[cx + dx, cy + dy, cz + dz] for dx, dy, dz in sphere_offsets()]
        self.assertEqual(len(inside), 33)
        self.assert_cluster_follows(inside, self.task)
        # The box corners and the offsets at distance sqrt(5) or more keep their noise.
        outside = [self.data[cx + dx, cy + dy, cz + dz]
                   for dz in range(-2, 3) for dy in range(-2, 3) for dx in range(-2, 3)
                   if dx * dx + dy * dy + dz * dz > 4]
        self.assert_noise_only(outside, self.task)

    def test_log_goes_to_standard_output_as_given(self):
        lines = self.result.stdout.splitlines()
        self.assertIn("// Plugin>  Selected position: X: 120  Y: 100  Z: 130", lines)
        self.assertIn("// Plugin>    250 / 250 ...", lines)
        self.assertEqual(lines[-2:], ["// Plugin>  Tolvane Plugin completed!", " "])


class VoiClusters(ClusterChecks):
    """examples/answers_voi.txt with examples/two_vois.txt: native VTC, then convert."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        out = cls.folder.name
        run_hvhost("--answers", "examples/answers_voi.txt", "--voi", "examples/two_vois.txt",
                   "--output-dir", out, MODULE)
        cls.vtc = os.path.join(out, "voi_clusters.vtc")
        cls.info = run_hvhost("info", cls.vtc).stdout
        cls.nifti = os.path.join(out, "voi_clusters.nii")
        run_hvhost("convert", cls.vtc, cls.nifti)
        cls.image = nibabel.load(cls.nifti)
        cls.data = numpy.asarray(cls.image.dataobj, dtype=numpy.float32)
        names, design = read_design_matrix(os.path.join(out, "plugin_created.rtc"))
        cls.rest, cls.task = design[:, names.index("Rest")], design[:, names.index("Task")]

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_info_describes_the_native_file(self):
        self.assertIn("58 x 40 x 46 voxels, 250 time points", self.info)
        self.assertIn("TR:            2000 ms", self.info)
        self.assertIn("examples/block_design_events.tsv", self.info)

    def test_converted_file_has_the_shape_and_tr(self):
        self.assertEqual(self.image.shape, (58, 40, 46, 250))
        self.assertEqual(self.image.header.get_zooms()[3], 2.0)

    def test_each_voi_follows_the_predictor_chosen_for_it(self):
        vois = voi_voxels("examples/two_vois.txt")
        left = [self.data[grid_index(*voxel)] for voxel in vois["Left cluster"]]
        right = [self.data[grid_index(*voxel)] for voxel in vois["Right cluster"]]
        self.assert_cluster_follows(left, self.task)
        self.assert_cluster_follows(right, self.rest)
        between = [self.data[grid_index(x + 40, y, z)] for x, y, z in vois["Left cluster"]]
        self.assert_noise_only(between, self.task)


class RunsThatEndEarly(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.out = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def test_script_out_of_step_cancels_and_writes_no_vtc(self):
        script = os.path.join(self.out, "drifted.txt")
        with open(script, "w") as f:
            f.write("time points => 20\nprotocol file => examples/block_design.prt\n"
                    "cross position => yes\n")
        result = run_hvhost("--answers", script, "--output-dir", self.out, MODULE,
                            check_status=1)
        self.assertIn(f"{script}:3: expected the integer dialogue to contain \"cross position\"",
                      result.stderr)
        self.assertNotIn("Simulated.vtc", os.listdir(self.out))

    def test_run_that_ends_early_leaves_the_earlier_files_as_they_were(self):
        def files():
            contents = {}
            for name in sorted(os.listdir(self.out)):
                with open(os.path.join(self.out, name), "rb") as f:
                    contents[name] = f.read()
            return contents

        broken = os.path.join(self.out, "broken.prt")
        with open(broken, "w") as f:
            f.write("units volumes\ncondition A\n1 x\n")
        small = ["--box", "100,112,100,112,100,109", "--output-dir", self.out]
        run_hvhost("--defaults", "--protocol", "examples/block_design.prt", *small, MODULE)
        before = files()
        self.assertEqual(sorted(before), ["Simulated.vtc", "broken.prt", "plugin_created.rtc"])
        result = run_hvhost("--defaults", "--protocol", broken, *small, MODULE, check_status=1)
        self.assertIn("plugin_created.rtc was not saved; an earlier file of that name is as it was",
                      result.stderr)
        self.assertEqual(files(), before)

    def test_defaults_with_an_events_table_complete_and_fill_the_log_file(self):
        log = os.path.join(self.out, "run.log")
        result = run_hvhost("--defaults", "--protocol", "examples/block_design_events.tsv",
                            "--box", "100,130,100,130,100,130", "--tr", "1000",
                            "--output-dir", self.out, "--log", log, MODULE)
        with open(log) as text:
            logged = text.read()
        self.assertIn("// Plugin>  Dims of created VTC, X: 10  Y: 10  Z: 10", logged)
        self.assertTrue(result.stdout.endswith(logged))
        image_info = run_hvhost("info", os.path.join(self.out, "Simulated.vtc")).stdout
        self.assertIn("TR:            1000 ms", image_info)

    def write_anatomical(self, shape, affine):
        path = os.path.join(self.out, "anatomy.nii.gz")
        nibabel.save(nibabel.Nifti1Image(numpy.zeros(shape, dtype=numpy.uint8), affine), path)
        return path

    def test_vtc_from_a_given_anatomical_is_placed_in_its_space(self):
        # A rotated, anisotropic anatomical: grid voxels must land where the VMR's
        # transform puts the VMR voxels they cover.
        vmr_affine = numpy.array([[0, -1, 0, 100], [1, 0, 0, -50], [0, 0, 2, 7], [0, 0, 0, 1]],
                                 dtype=float)
        anatomy = self.write_anatomical((256, 256, 256), vmr_affine)
        answers = os.path.join(self.out, "answers.txt")
        with open(answers, "w") as f:
            f.write("10\nexamples/block_design.prt\n2\nyes\nplaced.nii\n")
        run_hvhost("--answers", answers, "--vmr", anatomy, "--output-dir", self.out, MODULE)
        image = nibabel.load(os.path.join(self.out, "placed.nii"))
        grid = numpy.array([[3, 0, 0, 57], [0, 3, 0, 52], [0, 0, 3, 59], [0, 0, 0, 1]], dtype=float)
        numpy.testing.assert_allclose(image.affine, vmr_affine @ grid, atol=1e-5)
        numpy.testing.assert_allclose(image.header.get_zooms(), (3.0, 3.0, 6.0, 2.0))

    def test_anatomical_of_another_size_is_refused_by_the_plugin(self):
        anatomy = self.write_anatomical((256, 256, 128), numpy.eye(4))
        result = run_hvhost("--defaults", "--vmr", anatomy, MODULE, check_status=1)
        self.assertIn('requires a VMR with "256" dimensions', result.stderr)
        self.assertIn("the VMR (--vmr) is 256 x 256 x 128 voxels; the plug-in needs 256 x 256 x 256",
                      result.stderr)

    def test_old_host_version_is_refused_by_the_plugin(self):
        result = run_hvhost("--defaults", "--host-version", "1.9.9", MODULE, check_status=1)
        self.assertIn("version 2.0.0 or higher required", result.stderr)
        self.assertEqual(result.stdout.count("// Plugin>"), 0)

    def test_vtc_larger_than_memory_is_refused_with_its_size(self):
        answers = os.path.join(self.out, "answers.txt")
        with open(answers, "w") as f:
            f.write("1000\n")
        result = run_hvhost("--answers", answers, "--box", "0,256,0,256,0,256", "--resolution",
                            "1", "--output-dir", self.out, MODULE, check_status=1)
        self.assertIn("needs 62.50 GiB", result.stderr)
        self.assertEqual(os.listdir(self.out), ["answers.txt"])

    def test_bad_options_are_usage_errors(self):
        run_hvhost("--defaults", "--box", "1,2,3", MODULE, check_status=2)
        run_hvhost("--defaults", "--voi", "examples/block_design.prt", MODULE, check_status=2)
        run_hvhost("--defaults", "missing-module.so", check_status=2)
        run_hvhost("convert", "examples/block_design.prt", os.path.join(self.out, "x.nii"),
                   check_status=1)


if __name__ == "__main__":
    unittest.main()
