#!/usr/bin/python3
"""tolvane on a Slurm cluster: the test starts a single-node cluster of its own (munged,
slurmctld and slurmd, with the configuration tests/tolvane/slurm/slurm.conf.in, every
file in a temporary folder, ports of its own), submits a job array of four experiment
shards and a merge that waits for them (afterok), and a job array of four simulate
shards; the merged experiment must equal the unsharded one and the shards' datasets,
copied together, the one simulated in one go, byte for byte. The daemons are stopped by their process ids.

Run by CTest with the system interpreter from the repository root:
  TOLVANE=build/tolvane/tolvane /usr/bin/python3 tests/tolvane/slurm_test.py
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

TOLVANE = os.path.abspath(os.environ["TOLVANE"])
PROTOCOL = os.path.abspath("examples/block_design.prt")
CONFIGURATION = os.path.abspath("tests/tolvane/slurm/slurm.conf.in")
DAEMONS = ("munged", "slurmctld", "slurmd")
# How long the jobs may take on a busy machine.
JOB_SECONDS = 600
STUDY = """
subjects = 4
task = "blocks"
protocol = "{protocol}"

[[region]]
name = "sphere"
centre_mm = [0, 0, 0]
radius_mm = 6
effects = {{ Task = "2%" }}

[noise]
sd = 5
smoothness_mm = 6

[grid]
box = [96, 144, 96, 144, 108, 132]
resolution = 3
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def contents(folder):
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(root, name), "rb") as file:
                files[os.path.relpath(os.path.join(root, name), folder)] = file.read()
    return files


class SlurmCluster(unittest.TestCase):

    def start_cluster(self):
        cluster = os.path.join(self.folder, "cluster")
        for sub in ("state", "spool"):
            os.makedirs(os.path.join(cluster, sub))
        key = os.path.join(cluster, "munge.key")
        with open(key, "wb") as file:
            file.write(os.urandom(1024))
        os.chmod(key, 0o400)
        with open(CONFIGURATION) as file:
            text = file.read()
        for name, value in (("HOST", socket.gethostname()), ("CTLD_PORT", free_port()),
                            ("SLURMD_PORT", free_port()), ("FOLDER", cluster),
                            ("CPUS", os.cpu_count())):
            text = text.replace(f"@{name}@", str(value))
        self.configuration = os.path.join(cluster, "slurm.conf")
        with open(self.configuration, "w") as file:
            file.write(text)
        self.pid_files = [os.path.join(cluster, f"{daemon}.pid") for daemon in DAEMONS]
        self.addCleanup(self.stop_cluster)
        subprocess.run(["munged", "--force", f"--socket={cluster}/munge.socket",
                        f"--key-file={key}", f"--pid-file={cluster}/munged.pid",
                        f"--log-file={cluster}/munged.log", f"--seed-file={cluster}/munged.seed"],
                       check=True)
        subprocess.run(["slurmctld", "-f", self.configuration], check=True)
        subprocess.run(["slurmd", "-f", self.configuration], check=True)
        os.environ["SLURM_CONF"] = self.configuration
        deadline = time.time() + 60
        while "idle" not in subprocess.run(["sinfo", "-h", "-o", "%T"], capture_output=True,
                                           text=True).stdout:
            if time.time() > deadline:
                self.fail("the test cluster's node did not come up; see " + cluster)
            time.sleep(1)

    def stop_cluster(self):
        # Each daemon by the process id it wrote, the node first, and waited for.
        for pid_file in reversed(self.pid_files):
            try:
                with open(pid_file) as file:
                    pid = int(file.read().split()[0])
                os.kill(pid, signal.SIGTERM)
            except (OSError, ValueError, IndexError):
                continue
            deadline = time.time() + 20
            while time.time() < deadline:
                try:
                    os.kill(pid, 0)
                except OSError:
                    break
                time.sleep(0.2)

    def submit(self, *arguments):
        result = subprocess.run(["sbatch", "--parsable", "--chdir", self.folder, *arguments],
                                capture_output=True, text=True, check=True)
        return result.stdout.strip().split(";")[0]

    def wait_for(self, *jobs):
        deadline = time.time() + JOB_SECONDS
        while subprocess.run(["squeue", "-h", "-j", ",".join(jobs)], capture_output=True,
                             text=True).stdout.strip():
            if time.time() > deadline:
                self.fail(f"jobs {jobs} still queued or running after {JOB_SECONDS} s")
            time.sleep(1)

    def setUp(self):
        for program in DAEMONS + ("sbatch",):
            if shutil.which(program) is None:
                if os.environ.get("CI") == "true":
                    self.fail(f"{program} is not installed (scripts/install-dependencies --tests)")
                self.skipTest(f"{program} is not installed")
        if os.geteuid() != 0:
            self.skipTest("the test cluster's daemons run as root")
        self.folder = tempfile.mkdtemp(prefix="tolvane-slurm-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.study = os.path.join(self.folder, "study.toml")
        with open(self.study, "w") as file:
            file.write(STUDY.format(protocol=PROTOCOL))

    def test_an_experiment_and_a_study_fanned_out_over_job_arrays(self):
        self.start_cluster()
        experiment = (f"{TOLVANE} experiment {self.study} --contrast Task --repetitions 4 "
                      f"--output shard-$SLURM_ARRAY_TASK_ID --shard $SLURM_ARRAY_TASK_ID/4")
        shards = self.submit("--array=1-4", "--output=experiment-%a.log", "--wrap", experiment)
        merge = self.submit(f"--dependency=afterok:{shards}", "--output=merge.log", "--wrap",
                            f"{TOLVANE} experiment merge shard-1 shard-2 shard-3 shard-4 "
                            f"--output merged")
        study = self.submit("--array=1-4", "--output=simulate-%a.log", "--wrap",
                            f"{TOLVANE} simulate {self.study} --output "
                            f"study-shard-$SLURM_ARRAY_TASK_ID --shard $SLURM_ARRAY_TASK_ID/4")
        self.wait_for(shards, merge, study)

        whole = os.path.join(self.folder, "whole")
        subprocess.run([TOLVANE, "experiment", self.study, "--contrast", "Task", "--repetitions",
                        "4", "--output", whole], check=True, capture_output=True)
        merged = os.path.join(self.folder, "merged")
        self.assertTrue(os.path.isfile(os.path.join(merged, "summary.json")),
                        open(os.path.join(self.folder, "merge.log")).read())
        self.assertEqual(contents(merged), contents(whole))

        dataset = os.path.join(self.folder, "study-in-one-go")
        subprocess.run([TOLVANE, "simulate", self.study, "--output", dataset], check=True,
                       capture_output=True)
        # The shards' folders copied together (shards started at the same moment into one
        # folder can refuse it as another study's, simulate's check of the folder racing
        # with the other shards' first files).
        sharded = {}
        for k in range(1, 5):
            sharded.update(contents(os.path.join(self.folder, f"study-shard-{k}")))
        self.assertEqual(sorted(sharded), sorted(contents(dataset)))
        self.assertEqual(sharded, contents(dataset))


if __name__ == "__main__":
    unittest.main()
