#!/usr/bin/python3
"""Bad input and failing output through the hvhost executable: every case of the table
in docs/reliability.md, with the message and exit status a user sees. Nothing may
crash, hang or leave a partial file; each refusal names the file (and the line, for
text) and says what was expected.

Run by CTest with the system interpreter, from the repository root:
  HVHOST=build/host/hvhost MODULE=build/libtolvane.so /usr/bin/python3 hostile_input_test.py
"""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import nibabel
import numpy

HVHOST = os.environ["HVHOST"]
MODULE = os.environ["MODULE"]

# A 4 x 4 x 3 grid keeps every run short.
SMALL_GRID = ["--box", "100,112,100,112,100,109"]
PROTOCOL = os.path.abspath("examples/block_design.prt")
BINARY = bytes(range(256)) * 8
HUGE = 3 << 30  # sparse: claimed at once, never written


def run_hvhost(*arguments, status, stdout=subprocess.PIPE, timeout=300):
    result = subprocess.run([HVHOST, *arguments], stdout=stdout, stderr=subprocess.PIPE,
                            text=True, timeout=timeout)
    if result.returncode != status:
        raise AssertionError(f"hvhost {' '.join(arguments)} exited {result.returncode}, "
                             f"expected {status}\nstderr:\n{result.stderr[-3000:]}")
    return result


class HostileInput(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.dir = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, content):
        with open(self.path(name), "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
        return self.path(name)

    def sparse(self, name, size):
        with open(self.path(name), "wb") as f:
            f.truncate(size)
        return self.path(name)

    def answers(self, *lines):
        return self.write("answers.txt", "\n".join(lines) + "\n")

    def run_with_protocol(self, protocol, time_points=12, status=1, *extra):
        """A sphere run on the small grid that links `protocol`."""
        script = self.answers(str(time_points), protocol, "2", "yes", "out.vtc")
        return run_hvhost("--answers", script, *SMALL_GRID, "--output-dir", self.dir, *extra,
                          MODULE, status=status)

    def assert_refused(self, result, *expected):
        for text in expected:
            self.assertIn(text, result.stderr)
        self.assertNotIn("out.vtc", os.listdir(self.dir))

    def small_vtc(self):
        self.run_with_protocol(PROTOCOL, status=0)
        return self.path("out.vtc")


class MissingEmptyBinaryAndHugeFiles(HostileInput):
    def test_protocols_and_events_tables(self):
        for suffix in (".prt", ".tsv"):
            missing = self.path("missing" + suffix)
            self.assert_refused(
                run_hvhost("--defaults", "--protocol", missing, MODULE, status=2),
                f"{missing}: no such protocol file")
            self.assert_refused(
                self.run_with_protocol(self.write("empty" + suffix, "")),
                "empty" + suffix + ":1: expected", "; the run is cancelled")
            self.assert_refused(
                self.run_with_protocol(self.write("binary" + suffix, BINARY)),
                "binary" + suffix + ":1: expected text, found a NUL byte (is this a binary file?)")
            self.assert_refused(
                self.run_with_protocol(self.sparse("huge" + suffix, HUGE)),
                "huge" + suffix + ": expected a text file of at most 16 MiB, found one of 3.00 GiB")

    def test_voi_files_and_label_images(self):
        cases = [("missing.txt", None, "missing.txt: cannot be opened for reading: No such file"),
                 ("empty.txt", "", "empty.txt:1: expected 'reference-space CODE' first, found nothing"),
                 ("binary.txt", BINARY, "binary.txt:1: expected text, found a NUL byte"),
                 ("huge.txt", HUGE, "huge.txt: expected a text file of at most 256 MiB"),
                 ("missing.nii.gz", None, "missing.nii.gz: expected a NIfTI file, found no such file"),
                 ("empty.nii.gz", "", "empty.nii.gz: expected a NIfTI image, found none"),
                 ("binary.nii.gz", BINARY, "binary.nii.gz: expected a NIfTI image, found none"),
                 ("huge.nii", HUGE, "huge.nii: expected a NIfTI image, found none")]
        for name, content, message in cases:
            if isinstance(content, int):
                self.sparse(name, content)
            elif content is not None:
                self.write(name, content)
            result = run_hvhost("--defaults", "--voi", self.path(name), MODULE, status=2)
            self.assertIn(message, result.stderr)
            self.assertEqual(result.stdout.count("// Plugin>"), 0)  # nothing was run

    def test_answers_scripts(self):
        missing = self.path("missing.txt")
        self.assertIn(f"{missing}: cannot be opened for reading: No such file",
                      run_hvhost("--answers", missing, MODULE, status=2).stderr)
        self.assertIn("no answer left for the integer dialogue",
                      run_hvhost("--answers", self.write("e.txt", ""), MODULE, status=1).stderr)
        self.assertIn("b.txt:1: expected text, found a NUL byte",
                      run_hvhost("--answers", self.write("b.txt", BINARY), MODULE, status=2).stderr)
        self.assertIn("h.txt: expected a text file of at most 1 MiB, found one of 3.00 GiB",
                      run_hvhost("--answers", self.sparse("h.txt", HUGE), MODULE, status=2).stderr)
        # A device that never ends is refused at its first NUL byte, not read forever.
        self.assertIn("/dev/zero:1: expected text, found a NUL byte",
                      run_hvhost("--answers", "/dev/zero", MODULE, status=2, timeout=30).stderr)

    def test_native_vtc_files(self):
        cases = [(None, "cannot be opened for reading: No such file"),
                 ("", "expected a header of 168 bytes, found a file of 0"),
                 (BINARY, 'expected the magic "HVTC" at its start, found "\\x00\\x01\\x02\\x03"'),
                 (HUGE, 'found "\\x00\\x00\\x00\\x00"')]
        for number, (content, message) in enumerate(cases):
            name = self.path(f"case{number}.vtc")
            if isinstance(content, int):
                self.sparse(name, content)
            elif content is not None:
                self.write(name, content)
            self.assertIn(message, run_hvhost("info", name, status=1).stderr)
            self.assertIn(message, run_hvhost("convert", name, self.path("x.nii"), status=1).stderr)
            self.assertNotIn("x.nii", os.listdir(self.dir))

    def test_folders_and_overlong_names(self):
        self.assertIn("expected a text file, found a folder",
                      run_hvhost("--defaults", "--voi", self.dir, MODULE, status=2).stderr)
        self.assertIn("expected a VTC file, found a folder", run_hvhost("info", self.dir, status=1).stderr)
        overlong = "p" * 5000 + ".prt"
        self.assertIn("no such protocol file",
                      run_hvhost("--defaults", "--protocol", overlong, MODULE, status=2).stderr)


class MalformedContent(HostileInput):
    def test_wrong_columns(self):
        cases = [("cols.tsv", "onset\ttrial_type\n0\tA\n",
                  "cols.tsv:1: expected the tab-separated columns onset and duration"),
                 ("fields.tsv", "onset\tduration\n0\t10\n20\t10\tTask\n",
                  "fields.tsv:3: expected 2 tab-separated fields, found 3"),
                 ("three.prt", "units volumes\ncondition A\n1 5 9\n",
                  "three.prt:3: expected 'units', 'condition NAME' or an interval of two numbers")]
        for name, text, message in cases:
            self.assert_refused(self.run_with_protocol(self.write(name, text)), message)
        vois = self.write("two.txt", "reference-space 1\nvoi A\n100 100\n")
        self.assertIn("two.txt:3: expected 'voi NAME' or a voxel of three whole numbers",
                      run_hvhost("--defaults", "--voi", vois, MODULE, status=2).stderr)

    def test_non_numeric_values(self):
        self.assert_refused(self.run_with_protocol(self.write("a.prt", "units volumes\ncondition A\n1 x\n")),
                            'a.prt:3: expected a volume interval of whole numbers 1 <= begin <= end, found "1 x"')
        self.assert_refused(self.run_with_protocol(self.write("a.tsv", "onset\tduration\nsoon\t2\n")),
                            'a.tsv:2: expected a number of seconds in column onset, found "soon"')
        self.assert_refused(self.run_with_protocol(self.write("n.tsv", "onset\tduration\nnan\t2\n")),
                            "n.tsv:2: expected a number of seconds in column onset")
        vois = self.write("v.txt", "reference-space 1\nvoi A\na b c\n")
        self.assertIn("v.txt:3: expected 'voi NAME' or a voxel of three whole numbers, found \"a b c\"",
                      run_hvhost("--defaults", "--voi", vois, MODULE, status=2).stderr)
        script = self.answers("many")
        self.assertIn(f"{script}:1: expected a whole number, 'default' or 'cancel' for the integer dialogue",
                      run_hvhost("--answers", script, MODULE, status=1).stderr)
        run_hvhost("--defaults", "--tr", "fast", MODULE, status=2)
        run_hvhost("--defaults", "--box", "1,2,3,4,5,x", MODULE, status=2)

    def test_negative_zero_and_reversed_intervals(self):
        for number, (text, message) in enumerate([
                ("units volumes\ncondition A\n-1 3\n", ":3: expected a volume interval"),
                ("units volumes\ncondition A\n0 3\n", ":3: expected a volume interval"),
                ("units volumes\ncondition A\n5 3\n", ":3: expected a volume interval"),
                ("units milliseconds\ncondition A\n-500 300\n", ":3: expected a millisecond interval"),
                ("onset\tduration\n4\t-1\n", ":2: expected a duration of 0 seconds or more")]):
            name = f"bad{number}" + (".tsv" if text.startswith("onset") else ".prt")
            self.assert_refused(self.run_with_protocol(self.write(name, text)), name + message)
        # Impulses (zero length) and events before the first volume are legitimate.
        impulses = self.write("impulse.prt", "units milliseconds\ncondition A\n2500 2500\ncondition B\n0 4000\n")
        self.run_with_protocol(impulses, status=0)
        early = self.run_with_protocol(self.write("early.tsv", "onset\tduration\n-2\t4\n0\t0\n"), status=0)
        self.assertIn("early.tsv:2: condition \"events\": -2000 to 2000 ms starts before the first volume; cut there",
                      early.stderr)

    def design_matrix(self):
        with open(self.path("plugin_created.rtc")) as text:
            rows = [line.rstrip("\n").split("\t") for line in text if not line.startswith("#")]
        return rows[0], numpy.array(rows[1:], dtype=numpy.float32)

    def test_overlapping_intervals_are_on_wherever_any_is_on(self):
        overlapping = self.write("overlap.prt", "units volumes\ncondition A\n1 6\n4 9\ncondition B\n3 5\n")
        self.run_with_protocol(overlapping, time_points=40, status=0)
        _, overlapped = self.design_matrix()
        self.write("merged.prt", "units volumes\ncondition A\n1 9\ncondition B\n3 5\n")
        self.run_with_protocol(self.path("merged.prt"), time_points=40, status=0)
        _, merged = self.design_matrix()
        numpy.testing.assert_array_equal(overlapped, merged)

    def test_intervals_past_the_last_volume_are_cut_with_a_warning(self):
        longer = self.write("longer.prt", "units volumes\ncondition Rest\n1 10\n21 30\n41 50\n"
                                          "condition Task\n11 20\n31 40\n")
        # The cluster lies in the small grid, so that only the protocol draws warnings.
        result = self.run_with_protocol(longer, 35, 0, "--cross", "105,105,104")
        self.assertIn('longer.prt:5: condition "Rest": volumes 41 to 50 start after the last volume, 35; ignored',
                      result.stderr)
        self.assertIn('longer.prt:8: condition "Task": volumes 31 to 40 reach past the last volume, 35; cut there',
                      result.stderr)
        self.assertEqual(result.stderr.count("warning"), 2)
        # Many such intervals are named up to five, then counted.
        self.assertIn("block_design.prt: 7 more intervals reach outside the run",
                      self.run_with_protocol(PROTOCOL, time_points=30, status=0).stderr)
        _, values = self.design_matrix()
        self.assertEqual(values.shape, (30, 2))

    def test_voi_voxel_outside_the_vmr(self):
        vois = self.write("far.txt", "reference-space 1\nvoi A\n100 100 100\n100 256 100\n")
        self.assertIn("far.txt:4: expected a voxel inside the VMR of 256 x 256 x 256 voxels, found one at "
                      "VMR (100, 256, 100) in reference space 1",
                      run_hvhost("--defaults", "--voi", vois, MODULE, status=2).stderr)
        flipped = self.write("flipped.txt", "reference-space 3\nvoi A\n-2147483648 0 0\n")
        self.assertIn("flipped.txt:3: expected a voxel inside the VMR",
                      run_hvhost("--defaults", "--voi", flipped, MODULE, status=2).stderr)

    def test_voi_label_image_of_the_wrong_size(self):
        labels = self.path("labels.nii.gz")
        nibabel.save(nibabel.Nifti1Image(numpy.ones((64, 64, 64), dtype=numpy.uint8), numpy.eye(4)), labels)
        self.assertIn("labels.nii.gz: expected a label image on the VMR grid of 256 x 256 x 256 voxels, "
                      "found 64 x 64 x 64",
                      run_hvhost("--defaults", "--voi", labels, MODULE, status=2).stderr)

    def test_truncated_and_foreign_vtc_files(self):
        vtc = self.small_vtc()
        with open(vtc, "rb") as f:
            content = f.read()
        truncated = self.write("truncated.vtc", content[:-4])
        for command in (["info", truncated], ["convert", truncated, self.path("t.nii")]):
            self.assertIn("time points after the header, found a file of", run_hvhost(*command, status=1).stderr)
        self.assertIn("expected a header of 168 bytes, found a file of 100",
                      run_hvhost("info", self.write("short.vtc", content[:100]), status=1).stderr)
        foreign = self.path("anatomy.nii")
        nibabel.save(nibabel.Nifti1Image(numpy.zeros((4, 4, 4), dtype=numpy.float32), numpy.eye(4)), foreign)
        # `info` reads NIfTI files too; `convert` takes only native ones.
        self.assertIn("expected a native VTC, found a NIfTI file, which needs no conversion",
                      run_hvhost("convert", foreign, self.path("f.nii"), status=1).stderr)
        self.assertIn("format:        NIfTI-1, FLOAT32 voxels", run_hvhost("info", foreign, status=0).stdout)
        other = self.write("other.vtc", b"VTC\x02" + bytes(200))
        self.assertIn('expected the magic "HVTC" at its start, found "VTC\\x02" (is it a VTC that hvhost wrote?)',
                      run_hvhost("info", other, status=1).stderr)
        newer = bytearray(content)
        struct.pack_into("<I", newer, 4, 2)
        self.assertIn("expected format version 1, found 2",
                      run_hvhost("info", self.write("newer.vtc", bytes(newer)), status=1).stderr)

    def test_answers_script_out_of_step_or_exhausted(self):
        drifted = self.answers("time points => 12", f"protocol file => {PROTOCOL}", "cross position => yes")
        self.assertIn(f"{drifted}:3: expected the integer dialogue to contain \"cross position\"",
                      run_hvhost("--answers", drifted, *SMALL_GRID, "--output-dir", self.dir, MODULE,
                                 status=1).stderr)
        short = self.answers("12", PROTOCOL)
        self.assertIn(f"{short}: no answer left for the integer dialogue \"Select condition:",
                      run_hvhost("--answers", short, *SMALL_GRID, "--output-dir", self.dir, MODULE,
                                 status=1).stderr)
        # The design matrix saved before the script ran out is not kept: the run ended early.
        self.assertEqual(sorted(os.listdir(self.dir)), ["answers.txt"])


class TooLargeForMemory(HostileInput):
    def test_vtc_too_large_for_memory_is_refused_by_run_and_by_convert(self):
        script = self.answers("1000")
        self.assertIn("needs 62.50 GiB",
                      run_hvhost("--answers", script, "--box", "0,256,0,256,0,256", "--resolution", "1",
                                 "--output-dir", self.dir, MODULE, status=1).stderr)
        # A consistent header over a sparse file of 62.5 GiB: refused before allocating.
        header = struct.pack("<4sIIiiii", b"HVTC", 1, 168, 256, 256, 256, 1000)
        header += struct.pack("<7i", 0, 256, 0, 256, 0, 256, 1) + struct.pack("<d", 2000.0)
        header += struct.pack("<12d", 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0) + struct.pack("<iI", 0, 0)
        vtc = self.path("big.vtc")
        with open(vtc, "wb") as f:
            f.write(header)
            f.truncate(168 + 256 ** 3 * 1000 * 4)
        self.assertIn("the VTC needs 62.50 GiB, more than the",
                      run_hvhost("convert", vtc, self.path("big.nii"), status=1).stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), ["answers.txt", "big.vtc"])


def in_mount_namespace(shell, *arguments, **environment):
    """Runs `shell` (with its arguments as $1...) in a private mount namespace, where
    mounts made for the test vanish with it; None when namespaces are not available."""
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        return None
    return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", shell,
                           "sh", *arguments], capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, **environment))


class FailureInjection(HostileInput):
    EARLIER = "the earlier result\n"

    def save_run(self, save_name, output_dir, time_points=12):
        script = self.write("answers.txt", f"{time_points}\n{PROTOCOL}\n2\nyes\n{save_name}\n")
        return [HVHOST, "--answers", script, *SMALL_GRID, "--output-dir", output_dir, MODULE]

    def test_full_disk_device_is_reported_and_stays_a_device(self):
        result = subprocess.run(self.save_run("/dev/full", self.dir), capture_output=True, text=True)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn("/dev/full: cannot be written: No space left on device", result.stderr)
        self.assertTrue(os.path.exists("/dev/full") and not os.path.isfile("/dev/full"))

    def test_full_file_system_keeps_the_existing_file_and_leaves_no_partial_one(self):
        disk = self.path("disk")
        os.mkdir(disk)
        # 64 KiB of tmpfs: the design matrix fits, the VTC of 1000 time points does not.
        result = in_mount_namespace(
            'disk=$1; shift; mount -t tmpfs -o size=64k tmpfs "$disk" || exit 90; '
            'printf "%s" "$EARLIER" > "$disk/Simulated.vtc"; "$@"; status=$?; '
            'echo "== files"; ls -A "$disk"; echo "== content"; cat "$disk/Simulated.vtc"; exit $status',
            disk, *self.save_run("Simulated.vtc", disk, time_points=1000), EARLIER=self.EARLIER)
        if result is None or result.returncode == 90:
            self.skipTest("no mount namespace or tmpfs here; /dev/full is tested above")
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn("Simulated.vtc: cannot be written: No space left on device", result.stderr)
        files = result.stdout.split("== files\n")[1].split("== content\n")
        self.assertEqual(files[0].split(), ["Simulated.vtc", "plugin_created.rtc"])
        self.assertEqual(files[1], self.EARLIER)

    def test_read_only_output_folder_is_refused_before_the_run(self):
        output = self.path("results")
        os.mkdir(output)
        self.write("results/Simulated.vtc", self.EARLIER)
        result = in_mount_namespace(
            'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" || exit 90; shift; exec "$@"',
            output, *self.save_run("Simulated.vtc", output))
        if result is None or result.returncode == 90:
            self.skipTest("no mount namespace here; the unprivileged case below covers it")
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(f"{output}: no file can be created there: Read-only file system; choose another "
                      "--output-dir", result.stderr)
        self.assertEqual(os.listdir(output), ["Simulated.vtc"])

    def test_saving_into_an_unwritable_place_is_refused_at_the_dialogue(self):
        place = self.path("read-only")
        os.mkdir(place)
        target = self.write("read-only/kept.vtc", self.EARLIER)
        result = in_mount_namespace(
            'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" || exit 90; shift; exec "$@"',
            place, *self.save_run(target, self.dir))
        if result is None or result.returncode == 90:
            self.skipTest("no mount namespace here")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(f"answers.txt:5: {target}: cannot be saved: {place}: no file can be created "
                      "there: Read-only file system; the run is cancelled", result.stderr)
        with open(target) as f:
            self.assertEqual(f.read(), self.EARLIER)
        self.assertEqual(os.listdir(place), ["kept.vtc"])
        # Under a regular file there is no folder at all.
        beside = self.write("plain.txt", "a file")
        result = subprocess.run(self.save_run("plain.txt/x.vtc", self.dir), capture_output=True, text=True)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(f"answers.txt:5: {beside}/x.vtc: cannot be saved: {beside} is not a folder",
                      result.stderr)

    def test_unprivileged_user_cannot_write_a_folder_it_does_not_own(self):
        # Root ignores permission bits, so the run drops to "nobody" first. Everything it
        # needs is copied into a folder that nobody may read but not write.
        shared = self.path("shared")
        os.mkdir(shared)
        for source in (HVHOST, MODULE, PROTOCOL):
            shutil.copy(source, shared)
        os.chmod(self.dir, 0o755)
        os.chmod(shared, 0o755)
        hvhost = os.path.join(shared, os.path.basename(HVHOST))
        module = os.path.join(shared, os.path.basename(MODULE))
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", hvhost,
                   "--defaults", "--protocol", os.path.join(shared, "block_design.prt"), *SMALL_GRID,
                   "--output-dir", shared, module]
        if shutil.which("setpriv") is None or os.geteuid() != 0:
            self.skipTest("needs root and setpriv to run as an unprivileged user")
        result = subprocess.run(command, capture_output=True, text=True)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(f"{shared}: no file can be created there: Permission denied", result.stderr)

    def test_log_file_and_standard_output_on_a_full_disk(self):
        arguments = ["--defaults", "--protocol", PROTOCOL, *SMALL_GRID, "--output-dir", self.dir]
        logged = run_hvhost(*arguments, "--log", "/dev/full", MODULE, status=3)
        self.assertIn("/dev/full: cannot be written: No space left on device; the log goes on on "
                      "standard output only", logged.stderr)
        self.assertIn("// Plugin>  Tolvane Plugin completed!", logged.stdout)
        with open("/dev/full", "w") as full:
            piped = run_hvhost(*arguments, MODULE, status=3, stdout=full)
        self.assertIn("standard output cannot be written", piped.stderr)


if __name__ == "__main__":
    unittest.main()
