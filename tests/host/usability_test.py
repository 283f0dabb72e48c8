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


if __name__ == "__main__":
    unittest.main()
