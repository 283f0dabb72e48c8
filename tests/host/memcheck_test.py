#!/usr/bin/python3
"""hvhost and the plug-in module under valgrind's memcheck: complete runs on a small grid
in both cluster modes and both output formats, `info` and `convert`, and runs that end
on bad input. Each must end with no memcheck error: no invalid read or write, no use
of an uninitialised value, and no leak (definitely, indirectly or possibly lost).

Run by CTest in ordinary builds. A build with the sanitizers cannot run under valgrind,
so there the test reports itself skipped (exit status 77), as it does without valgrind.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HVHOST = os.environ["HVHOST"]
MODULE = os.environ["MODULE"]
SKIPPED = 77

SMALL_GRID = ["--box", "100,112,100,112,100,109"]  # 4 x 4 x 3 voxels at resolution 3
MEMCHECK = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect,possible", "--quiet"]


class UnderMemcheck(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.out = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def write(self, name, text):
        path = os.path.join(self.out, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def memcheck(self, *arguments, status=0):
        result = subprocess.run(MEMCHECK + [HVHOST, *arguments], capture_output=True, text=True,
                                timeout=600)
        self.assertNotEqual(result.returncode, 99, "memcheck errors:\n" + result.stderr[-6000:])
        self.assertEqual(result.returncode, status, result.stderr[-3000:])
        return result

    def test_sphere_run_saving_nifti_then_voi_run_saving_native_then_info_and_convert(self):
        sphere = self.write("sphere.txt", "12\nexamples/block_design.prt\n2\nno\n104\n104\n103\n"
                                          "sphere.nii.gz\n")
        self.memcheck("--answers", sphere, *SMALL_GRID, "--output-dir", self.out, MODULE)
        vois = self.write("vois.txt", "reference-space 1\nvoi A\n101 101 101\n104 104 104\n"
                                      "voi B\n107 107 104\n200 200 200\n")
        answers = self.write("voi_answers.txt", "12\nexamples/block_design_events.tsv\nyes\n1\n2\n"
                                                "vois.vtc\n")
        self.memcheck("--answers", answers, "--voi", vois, *SMALL_GRID, "--output-dir", self.out,
                      MODULE)
        vtc = os.path.join(self.out, "vois.vtc")
        self.assertIn("4 x 4 x 3 voxels, 12 time points", self.memcheck("info", vtc).stdout)
        self.memcheck("convert", vtc, os.path.join(self.out, "vois.nii"))

    def test_runs_that_end_on_bad_input(self):
        broken = self.write("broken.prt", "units volumes\ncondition A\n1 x\n")
        self.memcheck("--defaults", "--protocol", broken, *SMALL_GRID, "--output-dir", self.out,
                      MODULE, status=1)
        drifted = self.write("drifted.txt", "time points => 5\ncross => yes\n")
        self.memcheck("--answers", drifted, *SMALL_GRID, "--output-dir", self.out, MODULE,
                      status=1)
        outside = self.write("outside.txt", "reference-space 1\nvoi A\n300 0 0\n")
        self.memcheck("--defaults", "--voi", outside, MODULE, status=2)
        truncated = self.write("truncated.vtc", "HVTC" + "x" * 200)
        self.memcheck("info", truncated, status=1)
        self.memcheck("--defaults", "--protocol", "examples/block_design.prt", *SMALL_GRID,
                      "--output-dir", self.out, "--log", "/dev/full", MODULE, status=3)


if __name__ == "__main__":
    if os.environ.get("SANITIZED") == "ON":
        print("skipped: a build with the sanitizers cannot run under valgrind")
        sys.exit(SKIPPED)
    if shutil.which("valgrind") is None:
        print("skipped: valgrind is not installed (scripts/install-dependencies installs it)")
        sys.exit(SKIPPED)
    unittest.main()
