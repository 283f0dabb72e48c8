#!/usr/bin/python3
"""tolvane glm, evaluate and report through the executable, on a simulated study: maps
read back with nibabel, evaluations checked against what was simulated, and the report
opened in headless Chromium.

Run by CTest with the system interpreter (Debian's nibabel and numpy) from the
repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/analysis_test.py
REPORT_SCREENSHOT names where the report's screenshot goes (default: the temporary
folder, removed afterwards). Without Chromium the browser test is skipped, unless
CI=true, where it fails.
"""
import base64
import json
import os
import re
import select
import shutil
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

import nibabel
import numpy

TOLVANE = os.environ["TOLVANE"]
EXAMPLES = os.path.abspath("examples")
STEM = "sub-01_task-blocks_run-1"
CHROMIUM_SECONDS = 120


def run(*arguments, status=0):
    result = subprocess.run([*arguments], capture_output=True, text=True, timeout=600)
    if result.returncode != status:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}, expected "
                             f"{status}\nstdout:\n{result.stdout[-2000:]}\n"
                             f"stderr:\n{result.stderr[-2000:]}")
    return result


def png_size(data):
    """Checks every chunk's CRC and that the image data inflate, and returns the size."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError("not a PNG signature")
    position, size, compressed = 8, None, b""
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        crc = struct.unpack(">I", data[position + 8 + length:position + 12 + length])[0]
        if zlib.crc32(kind + body) != crc:
            raise AssertionError(f"bad CRC in chunk {kind}")
        if kind == b"IHDR":
            size = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            compressed += body
        position += 12 + length
    width, height = size
    # Each row: a filter byte and three bytes per pixel (8-bit RGB).
    if len(zlib.decompress(compressed)) != height * (1 + 3 * width):
        raise AssertionError("image data of the wrong size")
    return size


class Chromium:
    """Headless Chromium driven through its debugging pipe (file descriptors 3 and 4):
    one page, the events it raises, and commands answered in order."""

    def __init__(self, executable, profile):
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()

        def as_pipe_fds():
            # Copies first: a pipe may itself be 3 or 4, and dup2 onto itself would
            # leave it closed on exec.
            reading, writing = os.dup(to_browser_read), os.dup(from_browser_write)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        self.process = subprocess.Popen(
            [executable, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--hide-scrollbars", f"--user-data-dir={profile}",
             "--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            close_fds=False, preexec_fn=as_pipe_fds)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.buffer, self.events, self.next_id, self.session = b"", [], 0, None

    def _message(self, deadline):
        while b"\0" not in self.buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.from_browser], [], [], remaining)[0]:
                raise AssertionError("Chromium did not answer in time")
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise AssertionError("Chromium closed its debugging pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        request = {"id": self.next_id, "method": method, "params": params}
        if self.session and not method.startswith(("Target.", "Browser.")):
            request["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(request).encode() + b"\0")
        deadline = time.monotonic() + CHROMIUM_SECONDS
        while True:
            message = self._message(deadline)
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise AssertionError(f"{method}: {message['error']}")
                return message["result"]
            self.events.append(message)

    def wait_for(self, method):
        deadline = time.monotonic() + CHROMIUM_SECONDS
        while not any(event.get("method") == method for event in self.events):
            self.events.append(self._message(deadline))

    def open(self, url, width):
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        for domain in ("Page", "Network", "Runtime", "Log"):
            self.call(f"{domain}.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=900,
                  deviceScaleFactor=1, mobile=False)
        self.call("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression,
                         returnByValue=True)["result"]["value"]

    def screenshot(self, width, file):
        height = self.evaluate("document.documentElement.scrollHeight")
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        shot = self.call("Page.captureScreenshot", format="png")
        with open(file, "wb") as out:
            out.write(base64.b64decode(shot["data"]))

    def close(self):
        try:
            self.call("Browser.close")
        except AssertionError:
            pass
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)


class StudyFolder(unittest.TestCase):
    """One simulated run of the minimal study (a sphere with Task = 2% of the baseline),
    shared by the tests of a class."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tolvane-analysis-")
        cls.dataset = os.path.join(cls.folder, "study")
        run(TOLVANE, "simulate", os.path.join(EXAMPLES, "minimal_study.toml"), "--output",
            cls.dataset, "--subjects", "1")
        cls.bold = os.path.join(cls.dataset, "sub-01", "func", f"{STEM}_bold.nii.gz")
        cls.truth = os.path.join(cls.dataset, "derivatives", "tolvane", "sub-01", "func", STEM)
        cls.glm = os.path.join(cls.dataset, "derivatives", "tolvane-glm", "sub-01", "func")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def map_path(self, label, stat):
        return os.path.join(self.glm, f"{STEM}_contrast-{label}_stat-{stat}_statmap.nii.gz")


class GlmEvaluateReport(StudyFolder):
    def test_a_fresh_dataset_then_the_analysed_one_give_complete_reports(self):
        # Before any analysis the report fits the GLM itself.
        fresh = os.path.join(self.folder, "fresh.html")
        run(TOLVANE, "report", self.dataset, "--output", fresh)
        with open(fresh) as file:
            page = file.read()
        self.assertIn("fitted for this report", page)
        # The dataset's events leave Rest out (the baseline): Task is fitted against it.
        self.assertIn("t of Task", page)
        self.assertNotIn("t of Task - Rest", page)

        # The protocol's own events hold Rest, which a contrast keeps in the design.
        result = run(TOLVANE, "glm", self.bold, "--output", self.glm, "--contrast", "Task - Rest",
                     "--prewhiten", "ar1", "--events",
                     os.path.join(EXAMPLES, "block_design_events.tsv"))
        # 266 volumes less Rest, Task, 8 cosines and the constant.
        self.assertIn("255 degrees of freedom", result.stderr)
        self.assertIn("AR(1) prewhitening with rho", result.stderr)
        t_image = nibabel.load(self.map_path("TaskMinusRest", "t"))
        source = nibabel.load(self.bold)
        self.assertEqual(t_image.shape, source.shape[:3])
        numpy.testing.assert_array_equal(t_image.affine, source.affine)
        self.assertEqual(t_image.header.get_intent()[0], "t test")
        design = os.path.join(self.glm, f"{STEM}_design.tsv")
        with open(design) as file:
            self.assertEqual(file.readline().split("\t")[:2], ["Rest", "Task"])

        # Both kinds of truth that simulate writes: the label image (int32) and the
        # condition's amplitude map (float).
        labels = f"{self.truth}_desc-regions_dseg.nii.gz"
        amplitudes = f"{self.truth}_desc-Task_effect.nii.gz"
        evaluation = os.path.join(self.glm, f"{STEM}_contrast-TaskMinusRest_evaluation.json")
        result = run(TOLVANE, "evaluate", "--truth", amplitudes,
                     "--stat", self.map_path("TaskMinusRest", "t"), "--threshold", "3.1",
                     "--threshold", "5", "--effect", self.map_path("TaskMinusRest", "effect"),
                     "--output", evaluation)
        self.assertRegex(result.stdout, r"ROC area\s+0\.9\d+ \(SD under the null 0\.0\d+\)")
        with open(evaluation) as file:
            scored = json.load(file)
        sphere = nibabel.load(amplitudes).get_fdata() != 0
        self.assertEqual(scored["truthKind"], "amplitudes")
        self.assertEqual(scored["positives"], int(sphere.sum()))
        self.assertGreater(scored["areaUnderCurve"], 0.9)
        self.assertEqual([row["threshold"] for row in scored["thresholds"]], [3.1, 5.0])
        t_values = t_image.get_fdata()
        self.assertEqual(scored["thresholds"][0]["truePositives"],
                         int((t_values[sphere] > 3.1).sum()))
        self.assertEqual(scored["thresholds"][0]["falsePositives"],
                         int((t_values[~sphere] > 3.1).sum()))
        self.assertAlmostEqual(scored["regions"][0]["peakStatistic"],
                               float(t_values[sphere].max()), places=4)
        # Task was 2 data units; with noise sd 5 over 266 volumes its estimate lies well
        # within 1 of that on average over the sphere.
        self.assertLess(abs(scored["effectError"]["bias"]), 1.0)

        result = run(TOLVANE, "evaluate", "--truth", labels,
                     "--stat", self.map_path("TaskMinusRest", "t"), "--effect",
                     self.map_path("TaskMinusRest", "effect"), "--true-effect", "2")
        self.assertIn("(label image): " + str(int(sphere.sum())) + " positives", result.stdout)
        self.assertIn("sphere1 (label 1)", result.stdout)

        report = os.path.join(self.dataset, "derivatives", "tolvane-report", "report.html")
        run(TOLVANE, "report", self.dataset)
        with open(report) as file:
            page = file.read()
        self.assertNotIn("<script", page)
        self.assertIn("Evaluation of t of Task - Rest", page)
        self.assertNotIn("fitted for this report", page)
        sources = re.findall(r'<img src="([^"]*)" width="(\d+)" height="(\d+)"', page)
        self.assertEqual(len(sources), page.count("<img"))
        self.assertEqual(len(sources), 4)  # three slices and the design matrix
        for uri, width, height in sources:
            self.assertTrue(uri.startswith("data:image/png;base64,"), uri[:40])
            self.assertEqual(png_size(base64.b64decode(uri.split(",", 1)[1])),
                             (int(width), int(height)))
        self.check_in_chromium(report)

    def check_in_chromium(self, report):
        executable = shutil.which("chromium")
        if executable is None:
            if os.environ.get("CI") == "true":
                self.fail("chromium is not installed (scripts/install-dependencies installs it)")
            self.skipTest("chromium is not installed; the page was not opened in a browser")
        browser = Chromium(executable, os.path.join(self.folder, "profile"))
        try:
            browser.open("file://" + report, 1280)
            images = browser.evaluate(
                "[...document.images].map(i => [i.complete, i.naturalWidth, i.naturalHeight])")
            self.assertEqual(len(images), 4)
            for complete, width, height in images:
                self.assertTrue(complete and width > 0 and height > 0, images)
            self.assertEqual(browser.evaluate("document.scripts.length"), 0)
            screenshot = os.environ.get("REPORT_SCREENSHOT",
                                        os.path.join(self.folder, "report.png"))
            browser.screenshot(1280, screenshot)
            with open(screenshot, "rb") as file:
                width, height = png_size(file.read())
            self.assertEqual(width, 1280)
            self.assertGreater(height, 1000)
        finally:
            browser.close()
        requested = [event["params"]["request"]["url"] for event in browser.events
                     if event.get("method") == "Network.requestWillBeSent"]
        self.assertIn("file://" + report, requested)
        for url in requested:
            self.assertTrue(url == "file://" + report or url.startswith("data:"), url)
        problems = [event for event in browser.events
                    if event.get("method") in ("Network.loadingFailed", "Runtime.exceptionThrown")
                    or (event.get("method") == "Log.entryAdded"
                        and event["params"]["entry"]["level"] == "error")]
        self.assertEqual(problems, [])


class BadInput(StudyFolder):
    def refused(self, *arguments, expected):
        result = run(TOLVANE, *arguments, status=2)
        self.assertIn("tolvane: error: ", result.stderr)
        for text in expected:
            self.assertIn(text, result.stderr)

    def test_unusable_inputs_are_refused_with_a_message_and_status_2(self):
        output = os.path.join(self.folder, "glm")
        # Events whose conditions are not those the contrast names, and events with a
        # condition that has no event inside the run.
        other_events = os.path.join(self.folder, "faces_events.tsv")
        with open(other_events, "w") as file:
            file.write("onset\tduration\ttrial_type\n0\t10\tFaces\n20\t10\tHouses\n"
                       "9000\t10\tCars\n")
        self.refused("glm", self.bold, "--events", other_events, "--output", output,
                     expected=["Cars", other_events])
        with open(other_events, "w") as file:
            file.write("onset\tduration\ttrial_type\n0\t10\tFaces\n20\t10\tHouses\n")
        self.refused("glm", self.bold, "--events", other_events, "--output", output,
                     "--contrast", "Task - Rest", expected=["Task - Rest", "Faces", "Houses"])
        # A series whose header has no TR.
        source = nibabel.load(self.bold)
        no_tr = os.path.join(self.folder, "sub-01_task-blocks_bold.nii.gz")
        image = nibabel.Nifti1Image(numpy.asarray(source.dataobj)[..., :20], source.affine)
        image.header.set_xyzt_units("mm", "sec")
        image.header["pixdim"][4] = 0
        nibabel.save(image, no_tr)
        self.refused("glm", no_tr, "--events", other_events, "--output", output,
                     expected=[no_tr, "TR"])
        self.assertFalse(os.path.exists(output))

        # Maps on another grid: the truth cropped by one slice, and shifted by 3 mm.
        labels = f"{self.truth}_desc-regions_dseg.nii.gz"
        truth = nibabel.load(labels)
        cropped = os.path.join(self.folder, "cropped_dseg.nii.gz")
        nibabel.save(nibabel.Nifti1Image(numpy.asarray(truth.dataobj)[:, :, :-1], truth.affine),
                     cropped)
        shifted = os.path.join(self.folder, "shifted_dseg.nii.gz")
        moved = truth.affine.copy()
        moved[0, 3] += 3
        nibabel.save(nibabel.Nifti1Image(numpy.asarray(truth.dataobj), moved), shifted)
        effect = f"{self.truth}_desc-Task_effect.nii.gz"
        self.refused("evaluate", "--truth", cropped, "--stat", effect,
                     expected=["58 x 40 x 45", "58 x 40 x 46"])
        self.refused("evaluate", "--truth", shifted, "--stat", effect,
                     expected=[shifted, effect, "affine"])
        # A map of p values would rank backwards: refused, with the t map advised.
        p_map = os.path.join(self.folder, f"{STEM}_contrast-Task_stat-p_statmap.nii.gz")
        shutil.copy(effect, p_map)
        self.refused("evaluate", "--truth", effect, "--stat", p_map,
                     expected=[p_map, "p values", "give the t map"])
        # A report of a folder that is no dataset.
        self.refused("report", self.folder, expected=["sub-*/func"])


if __name__ == "__main__":
    unittest.main()
