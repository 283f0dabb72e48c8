#!/usr/bin/python3
"""What a new user sees: runs through the hvhost executable whose files must survive,
runs that would quietly produce no signal, and the messages that must explain
themselves. Interactive dialogues are driven through a pseudo-terminal.

Run by CTest with the system interpreter, from the repository root:
  HVHOST=build/host/hvhost MODULE=build/libtolvane.so /usr/bin/python3 usability_test.py
"""
import os
import pty
import subprocess
import tempfile
import threading
import unittest

import nibabel
import numpy

HVHOST = os.environ["HVHOST"]
MODULE = os.environ["MODULE"]

# A 4 x 4 x 3 grid keeps every run short; its box spans VMR voxels 100-111 (X, Y), 100-108 (Z).
SMALL_GRID = ["--box", "100,112,100,112,100,109"]
PROTOCOL = os.path.abspath("examples/block_design.prt")


def run_hvhost(*arguments, status):
    result = subprocess.run([HVHOST, *arguments], capture_output=True, text=True, timeout=300)
    if result.returncode != status:
        raise AssertionError(f"hvhost {' '.join(arguments)} exited {result.returncode}, "
                             f"expected {status}\nstderr:\n{result.stderr[-3000:]}")
    return result


def run_at_terminal(arguments, typed, status):
    """Runs hvhost with standard input and error on a pseudo-terminal and types the
    lines of `typed` as a person would; returns what the terminal showed."""
    master, slave = pty.openpty()
    process = subprocess.Popen([HVHOST, *arguments], stdin=slave, stderr=slave,
                               stdout=subprocess.PIPE)
    os.close(slave)
    shown = bytearray()

    def read_terminal():
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the last holder of the terminal's other side has ended
                return
            if not chunk:
                return
            shown.extend(chunk)

    reader = threading.Thread(target=read_terminal)
    reader.start()
    os.write(master, "".join(line + "\n" for line in typed).encode())
    process.communicate(timeout=300)
    reader.join(timeout=10)
    os.close(master)
    text = shown.decode(errors="replace").replace("\r\n", "\n")
    if process.returncode != status:
        raise AssertionError(f"hvhost exited {process.returncode}, expected {status}\n{text[-3000:]}")
    return text


class UserFolder(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.dir = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def answers(self, *lines):
        return self.write("answers.txt", "\n".join(lines) + "\n")


class SavingIntoAFolderThatDoesNotExist(UserFolder):
    def test_terminal_says_what_is_wrong_and_asks_again(self):
        shown = run_at_terminal(
            [*SMALL_GRID, "--output-dir", self.dir, MODULE],
            ["12", PROTOCOL, "2", "y", "missing/run1.nii.gz", "run1.nii.gz"], status=0)
        self.assertIn(f"{self.path('missing', 'run1.nii.gz')}: cannot be saved: the folder "
                      f"{self.path('missing')} does not exist", shown)
        self.assertNotIn("** ERROR", shown)
        self.assertTrue(os.path.isfile(self.path("run1.nii.gz")))

    def test_script_fails_at_that_answer_naming_its_line(self):
        script = self.answers("12", PROTOCOL, "2", "yes", "missing/run1.nii.gz")
        result = run_hvhost("--answers", script, *SMALL_GRID, "--output-dir", self.dir, MODULE,
                            status=1)
        self.assertIn(f"{script}:5: {self.path('missing', 'run1.nii.gz')}: cannot be saved: the "
                      f"folder {self.path('missing')} does not exist; the run is cancelled",
                      result.stderr)
        self.assertNotIn("** ERROR", result.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), ["answers.txt"])



class RunsThatSucceedWithoutSignal(UserFolder):
    """Each run completes (exit 0) with data that holds noise alone; hvhost must say so
    after the run, and must stay quiet about a run whose cluster does get its signal."""

    # Inside the small grid's box, so that the cluster lies in the VTC.
    INSIDE = ["--cross", "105,105,104"]

    def run_defaults(self, protocol, *extra):
        return run_hvhost("--defaults", "--protocol", protocol, *SMALL_GRID, "--output-dir",
                          self.dir, *extra, MODULE, status=0).stderr

    def test_cluster_outside_the_vtc(self):
        self.assertIn("warning: every cluster voxel lies outside the VTC's bounding box "
                      "(X 100-112, Y 100-112, Z 100-109), so the simulated data holds noise alone",
                      self.run_defaults(PROTOCOL, "--cross", "10,10,10"))
        self.assertNotIn("warning", self.run_defaults(PROTOCOL, *self.INSIDE))

    def test_predictor_zero_throughout(self):
        late = self.write("late.prt", "units volumes\ncondition Early\n1 250\n"
                                      "condition Late\n300 310\n")
        stderr = self.run_defaults(late, *self.INSIDE)
        self.assertIn('warning: the predictor "Late" chosen for the cluster is zero throughout the '
                      "run's 250 volumes", stderr)
        self.assertNotIn('"Early" chosen', stderr)

    def test_protocol_that_ends_long_before_the_run(self):
        script = self.answers("1000", "default", "default", "default", "default")
        stderr = run_hvhost("--answers", script, "--protocol", PROTOCOL, *SMALL_GRID, *self.INSIDE,
                            "--output-dir", self.dir, MODULE, status=0).stderr
        self.assertIn("warning: the protocol's events end at volume 250 (500 s), but the run has "
                      "1000 volumes (2000 s)", stderr)
        # A tail shorter than the HRF's response is the usual rest at the end of a run.
        script = self.answers("260", "default", "default", "default", "default")
        stderr = run_hvhost("--answers", script, "--protocol", PROTOCOL, *SMALL_GRID, *self.INSIDE,
                            "--output-dir", self.dir, MODULE, status=0).stderr
        self.assertNotIn("events end at", stderr)

    def test_cancelled_dialogue_that_the_plugin_took_as_zero_is_echoed_and_named(self):
        script = self.answers("250", "default", "2", "no", "cancel", "105", "105", "default")
        stderr = run_hvhost("--answers", script, "--protocol", PROTOCOL, *SMALL_GRID, "--output-dir",
                            self.dir, MODULE, status=0).stderr
        self.assertIn("? Enter X position of simulated cluster: -> cancel", stderr)
        self.assertIn('warning: the dialogue "Enter X position of simulated cluster:" was cancelled, '
                      "and the plug-in went on with 0 as the answer", stderr)
        saved = self.answers("250", "default", "2", "yes", "cancel")
        stderr = run_hvhost("--answers", saved, "--protocol", PROTOCOL, *SMALL_GRID, *self.INSIDE,
                            "--output-dir", self.dir, MODULE, status=0).stderr
        self.assertIn('"Enter Name For Saving Created VTC File:" was cancelled, and the plug-in went '
                      "on without a file", stderr)



class Messages(UserFolder):
    def test_terminal_asks_again_for_a_number_out_of_range_and_shows_formats_and_cross(self):
        shown = run_at_terminal(
            [*SMALL_GRID, "--cross", "105,105,104", "--output-dir", self.dir, MODULE],
            ["5000", "12", PROTOCOL, "2", "y", "run.vtc"], status=0)
        self.assertIn("please enter a whole number from 1 to 1000", shown)
        self.assertNotIn("5000 is outside", shown)
        self.assertIn("wrote " + self.path("run.vtc") + " (4 x 4 x 3 voxels, 12 time points)", shown)
        self.assertIn("(Protocol Files (*.prt); hvhost also reads BIDS events tables (*.tsv))", shown)
        self.assertIn("Do you want to use the cross position as the cluster center ?\n"
                      "(the cross is at VMR voxel 105, 105, 104)", shown)

    def test_scripts_keep_the_spin_box_and_show_mismatched_prompts_as_the_terminal_does(self):
        script = self.answers("5000", PROTOCOL, "cross position => yes")
        stderr = run_hvhost("--answers", script, *SMALL_GRID, "--output-dir", self.dir, MODULE,
                            status=1).stderr
        self.assertIn("warning: 5000 is outside 1 to 1000; using 1000", stderr)
        self.assertIn('but it asks "Select condition:\n\n1: Rest\n2: Task"; the run is cancelled',
                      stderr)
        self.assertNotIn("\\x0a", stderr)

    def test_info_reads_nifti_output_and_never_prints_raw_bytes(self):
        script = self.answers("12", PROTOCOL, "2", "yes", "run.nii.gz")
        run_hvhost("--answers", script, *SMALL_GRID, "--output-dir", self.dir, MODULE, status=0)
        info = run_hvhost("info", self.path("run.nii.gz"), status=0).stdout
        self.assertIn("format:        NIfTI-1, gzip-compressed, FLOAT32 voxels", info)
        self.assertIn("grid:          4 x 4 x 3 voxels, 12 time points", info)
        self.assertIn("time step:     2 s", info)
        # A file that is neither: its first bytes are escaped, not printed raw.
        with open(self.path("odd.vtc"), "wb") as f:
            f.write(b"\xff\x8b\x08\x1b" + bytes(300))
        stderr = run_hvhost("info", self.path("odd.vtc"), status=1).stderr
        self.assertIn('found "\\xff\\x8b\\x08\\x1b"', stderr)
        self.assertTrue(stderr.isascii() and all(c.isprintable() or c == "\n" for c in stderr))

    def test_label_image_placed_unlike_the_anatomical_is_refused_with_both_transforms(self):
        def labels(name, x_offset):
            affine = numpy.eye(4)
            affine[:3, 3] = [x_offset, -128, -128]
            image = numpy.zeros((256, 256, 256), dtype=numpy.uint8)
            image[104:107, 104:107, 103:106] = 1  # inside the small grid
            nibabel.save(nibabel.Nifti1Image(image, affine), self.path(name))
            return self.path(name)

        arguments = ["--defaults", "--protocol", PROTOCOL, *SMALL_GRID, "--output-dir", self.dir]
        stderr = run_hvhost(*arguments, "--voi", labels("shifted.nii.gz", -120), MODULE,
                            status=2).stderr
        self.assertIn("shifted.nii.gz: expected a label image placed like the VMR, found another "
                      "voxel-to-world transform: the label image has [1 0 0 -120; 0 1 0 -128; "
                      "0 0 1 -128], the VMR [1 0 0 -128; 0 1 0 -128; 0 0 1 -128]", stderr)
        # Within the tolerance (a thousandth of a millimetre) it is the same placement.
        run_hvhost(*arguments, "--voi", labels("aligned.nii.gz", -128.0005), MODULE, status=0)

    def test_one_file_per_voi_option(self):
        stderr = run_hvhost("--defaults", "--voi", "examples/two_vois.txt,labels.nii.gz", MODULE,
                            status=2).stderr
        self.assertIn("--voi examples/two_vois.txt,labels.nii.gz: no such file; --voi takes one "
                      "file, so give each its own --voi", stderr)


class ConformingAnAnatomical(UserFolder):
    """--conform: an anatomical of another grid becomes a 256^3 VMR of 1 mm along its own
    axes, centred where it lies; the VTC's export and the resampled copy land in its world."""

    # 40 x 48 x 44 voxels of 4 mm, turned by 30 degrees and with its axes permuted.
    COS, SIN = 4 * numpy.cos(numpy.pi / 6), 4 * numpy.sin(numpy.pi / 6)
    AFFINE = numpy.array([[COS, 0, -SIN, -70], [SIN, 0, COS, -90], [0, 4, 0, -60], [0, 0, 0, 1]])
    SHAPE = (40, 48, 44)

    @staticmethod
    def ramp(world):
        """Intensities linear in world position, which trilinear interpolation reproduces."""
        return 500 + 0.5 * world[0] - 0.25 * world[1] + 0.125 * world[2]

    def write_anatomical(self):
        index = numpy.indices(self.SHAPE).reshape(3, -1)
        world = self.AFFINE[:3, :3] @ index + self.AFFINE[:3, 3:]
        values = self.ramp(world).reshape(self.SHAPE).astype(numpy.float32)
        nibabel.save(nibabel.Nifti1Image(values, self.AFFINE), self.path("t1.nii.gz"))
        return self.path("t1.nii.gz")

    def test_anatomical_of_another_grid_runs_and_lands_in_its_world_place(self):
        anatomy = self.write_anatomical()
        script = self.answers("12", PROTOCOL, "2", "yes", "run.nii.gz")
        stderr = run_hvhost("--answers", script, "--vmr", anatomy, "--conform", *SMALL_GRID,
                            "--output-dir", self.dir, MODULE, status=0).stderr
        self.assertIn(f"wrote {self.path('conformed_anatomical.nii.gz')} (256 x 256 x 256 voxels "
                      "of 1 x 1 x 1 mm, float32)", stderr)
        # Unit axes along the original's, centre (127.5 each) on the original's centre.
        axes = self.AFFINE[:3, :3] / numpy.linalg.norm(self.AFFINE[:3, :3], axis=0)
        centre = self.AFFINE[:3, :3] @ ((numpy.array(self.SHAPE) - 1) / 2) + self.AFFINE[:3, 3]
        expected = numpy.eye(4)
        expected[:3, :3] = axes
        expected[:3, 3] = centre - axes @ numpy.full(3, 127.5)

        # Affines are stored in float32: 1e-4 mm is a few of its roundings at 200 mm.
        vtc = nibabel.load(self.path("run.nii.gz"))
        grid = numpy.array([[3, 0, 0, 100], [0, 3, 0, 100], [0, 0, 3, 100], [0, 0, 0, 1]])
        numpy.testing.assert_allclose(vtc.affine, expected @ grid, atol=1e-4)
        self.assertEqual(vtc.shape, (4, 4, 3, 12))

        conformed = nibabel.load(self.path("conformed_anatomical.nii.gz"))
        self.assertEqual(conformed.shape, (256, 256, 256))
        numpy.testing.assert_allclose(conformed.affine, expected, atol=1e-4)
        # Voxels sampled across the volume: the ramp where they lie inside the original
        # (float32 values of about 500, with 1e-3 for the stored transforms' rounding),
        # 0 outside; a band of 0.01 voxels at the edge is left out as undecidable.
        voxels = numpy.random.default_rng(7).integers(0, 256, size=(3, 40000))
        to_source = numpy.linalg.inv(self.AFFINE) @ expected
        source = to_source[:3, :3] @ voxels + to_source[:3, 3:]
        last = numpy.array(self.SHAPE)[:, None] - 1
        inside = numpy.all((source > 0.01) & (source < last - 0.01), axis=0)
        outside = numpy.any((source < -0.01) | (source > last + 0.01), axis=0)
        values = numpy.asarray(conformed.dataobj)[tuple(voxels)]
        world = expected[:3, :3] @ voxels + expected[:3, 3:]
        numpy.testing.assert_allclose(values[inside], self.ramp(world[:, inside]), atol=1e-3)
        numpy.testing.assert_array_equal(values[outside], 0)
        self.assertGreater(inside.sum(), 5000)
        self.assertGreater(outside.sum(), 5000)

    def test_refusal_names_conform_which_needs_an_invertible_anatomical_and_keeps_a_conformed_one(
            self):
        anatomy = self.write_anatomical()
        stderr = run_hvhost("--defaults", "--vmr", anatomy, MODULE, status=1).stderr
        self.assertIn("the VMR (--vmr) is 40 x 48 x 44 voxels; the plug-in needs 256 x 256 x 256. "
                      "Add --conform", stderr)
        stderr = run_hvhost("--defaults", "--conform", MODULE, status=2).stderr
        self.assertIn("--conform resamples the anatomical given with --vmr FILE, and none was "
                      "given", stderr)
        flat = nibabel.Nifti1Image(numpy.ones((4, 4, 4), numpy.float32), None)
        flat.set_sform(numpy.diag([2.0, 2.0, 0.0, 1.0]), code=1)
        nibabel.save(flat, self.path("flat.nii"))
        stderr = run_hvhost("--defaults", "--vmr", self.path("flat.nii"), "--conform", MODULE,
                            status=2).stderr
        self.assertIn("flat.nii: cannot be conformed: expected a voxel-to-world transform with an "
                      "inverse, found 4 x 4 x 4, affine [2 0 0 0; 0 2 0 0; 0 0 0 0]", stderr)
        # Already 256^3 of 1 mm (here turned and shifted): taken as it is, no copy written.
        placed = numpy.array([[0, -1, 0, 100], [1, 0, 0, -50], [0, 0, 1, 7], [0, 0, 0, 1]])
        nibabel.save(nibabel.Nifti1Image(numpy.zeros((256,) * 3, numpy.uint8), placed),
                     self.path("conformed.nii.gz"))
        script = self.answers("12", PROTOCOL, "2", "yes", "run.nii.gz")
        stderr = run_hvhost("--answers", script, "--vmr", self.path("conformed.nii.gz"),
                            "--conform", *SMALL_GRID, "--output-dir", self.dir, MODULE,
                            status=0).stderr
        self.assertIn("already is 256 x 256 x 256 voxels of 1 x 1 x 1 mm; the VMR is that image as "
                      "it is, and no resampled copy is written", stderr)
        self.assertFalse(os.path.exists(self.path("conformed_anatomical.nii.gz")))
        grid = numpy.array([[3, 0, 0, 100], [0, 3, 0, 100], [0, 0, 3, 100], [0, 0, 0, 1]])
        numpy.testing.assert_allclose(nibabel.load(self.path("run.nii.gz")).affine, placed @ grid,
                                      atol=1e-4)


if __name__ == "__main__":
    unittest.main()
