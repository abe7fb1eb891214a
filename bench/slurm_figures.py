#!/usr/bin/env python3
"""Figures of the Slurm runner on a private single-node Slurm cluster (as root; Debian's
slurm-wlm and munge), all measured in one run:

  1. submit -> completed for a trivial job through `pelmora serve --runner slurm`, beside
     `sbatch --wait` for the same script on the same cluster (median of RUNS each);
  2. status request latency while sbatch hangs: the controller stopped, 10 submissions in
     flight, 50 status requests (median, 99th percentile, max);
  3. throughput of 30 jobs of one CPU that sleep 2 s, beside the cluster's limit (node CPUs:
     30 * 2 / CPUs seconds).

    bench/slurm_figures.py [RUNS]      (default 5)
    PELMORA=path/to/pelmora bench/slurm_figures.py   (default: build/release/pelmora)
"""
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

PELMORA = os.environ.get("PELMORA", "build/release/pelmora")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    """munged, slurmctld and slurmd in `d`, as the test fixture starts them."""

    def __init__(self, d):
        self.d = d
        self.procs = {}
        for sub in ("munge", "munge-run", "state", "spool", "log", "jobs"):
            os.makedirs(f"{d}/{sub}", exist_ok=True)
        os.chmod(d, 0o755)
        with open(f"{d}/munge/munge.key", "wb") as f:
            f.write(os.urandom(1024))
        subprocess.run(["chown", "-R", "munge:munge", f"{d}/munge", f"{d}/munge-run"], check=True)
        os.chmod(f"{d}/munge", 0o700)
        os.chmod(f"{d}/munge/munge.key", 0o400)
        sock = f"{d}/munge-run/munge.socket"
        self._daemon("munged", ["setpriv", "--reuid=munge", "--regid=munge", "--init-groups",
                                "/usr/sbin/munged", "-F", f"--key-file={d}/munge/munge.key",
                                f"--socket={sock}", f"--pid-file={d}/munge-run/munged.pid",
                                f"--log-file={d}/munge/munged.log", f"--seed-file={d}/munge/seed"])
        while not os.path.exists(sock):
            time.sleep(0.05)
        node = socket.gethostname().split(".")[0]
        self.cpus = os.cpu_count()
        mem = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2**20 - 512
        with open(f"{d}/slurm.conf", "w") as f:
            f.write(f"""ClusterName=pelmora-bench
SlurmctldHost={node}(127.0.0.1)
SlurmctldPort={free_port()}
SlurmdPort={free_port()}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={sock}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
SchedulerParameters=sched_interval=1
ReturnToService=2
MpiDefault=none
MinJobAge=300
StateSaveLocation={d}/state
SlurmdSpoolDir={d}/spool
SlurmctldPidFile={d}/slurmctld.pid
SlurmdPidFile={d}/slurmd.pid
SlurmctldLogFile={d}/log/slurmctld.log
SlurmdLogFile={d}/log/slurmd.log
NodeName={node} NodeAddr=127.0.0.1 CPUs={self.cpus} RealMemory={mem} State=UNKNOWN
PartitionName=debug Nodes={node} Default=YES MaxTime=INFINITE State=UP
""")
        os.environ["SLURM_CONF"] = f"{d}/slurm.conf"
        self.start_controller()
        self._daemon("slurmd", ["/usr/sbin/slurmd", "-D", "-f", os.environ["SLURM_CONF"]])
        for _ in range(300):
            out = subprocess.run(["sinfo", "-h", "-N", "-o", "%T"], capture_output=True, text=True).stdout
            if out.startswith("idle"):
                return
            time.sleep(0.1)
        raise RuntimeError("the node did not become idle")

    def _daemon(self, name, argv):
        log = open(f"{self.d}/log/{name}.out", "w")
        self.procs[name] = subprocess.Popen(argv, stdout=log, stderr=log, start_new_session=True)

    def start_controller(self):
        self._daemon("slurmctld", ["/usr/sbin/slurmctld", "-D", "-f", os.environ["SLURM_CONF"]])

    def stop(self, name):
        p = self.procs.pop(name, None)
        if p:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def close(self):
        for name in ("slurmd", "slurmctld", "munged"):
            self.stop(name)


class Service:
    def __init__(self, d, python):
        self.data = f"{d}/data"
        port = free_port()
        self.url = f"http://127.0.0.1:{port}"
        self.log = open(f"{d}/serve.log", "w")
        self.proc = subprocess.Popen(
            [PELMORA, "serve", "--runner", "slurm", "--data-dir", self.data, "--port", str(port),
             "--python", python, "--slurm-poll", "0.5"], stdout=subprocess.DEVNULL, stderr=self.log)
        key_file = f"{self.data}/state/local_key.json"
        while True:
            try:
                with open(key_file) as f:
                    self.key = json.load(f)["keys"][0]["key"]
                self.get("/v1/health")
                return
            except (OSError, ValueError, KeyError):
                time.sleep(0.05)

    def request(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.url + path, data=data, method=method,
                                     headers={"Authorization": "Bearer " + self.key,
                                              "Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=60) as res:
            return json.load(res)

    def get(self, path):
        return self.request("GET", path)

    def submit(self, code, resources=None):
        return self.request("POST", "/v1/jobs/submit/code",
                            {"code": code, "file_path": None, "resources": resources or {},
                             "fast": False})["job_id"]

    def wait(self, job_id):
        while True:
            doc = self.get(f"/v1/jobs/{job_id}")
            if doc["status"] in ("completed", "failed", "cancelled"):
                return doc
            time.sleep(0.02)

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(60)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    if os.geteuid() != 0:
        sys.exit("needs root (slurmd and munged's key)")
    python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else shutil.which("python3")
    d = tempfile.mkdtemp(prefix="pelmora-slurm-bench-")
    cluster = service = None
    try:
        cluster = Cluster(d)
        service = Service(d, python)
        code = "print('hello')\n"

        through_pelmora = []
        for _ in range(runs):
            start = time.monotonic()
            doc = service.wait(service.submit(code))
            through_pelmora.append(time.monotonic() - start)
            assert doc["status"] == "completed", doc
        plain = []
        work = f"{d}/jobs/plain"
        os.makedirs(work)
        with open(f"{work}/main.py", "w") as f:
            f.write(code)
        for _ in range(runs):
            start = time.monotonic()
            subprocess.run(["sbatch", "--wait", "--quiet", f"--chdir={work}", "--output=/dev/null",
                            f"--wrap={python} -u main.py"], check=True)
            plain.append(time.monotonic() - start)
        print(f"submit -> completed, trivial job ({runs} runs): pelmora median "
              f"{statistics.median(through_pelmora):.2f} s (max {max(through_pelmora):.2f}); "
              f"sbatch --wait median {statistics.median(plain):.2f} s (max {max(plain):.2f})")

        cluster.stop("slurmctld")
        submit_times = []
        ids = []
        for _ in range(10):
            start = time.monotonic()
            ids.append(service.submit(code))
            submit_times.append(time.monotonic() - start)
        time.sleep(1)  # sbatch is hanging on the runner's thread now
        status_times = []
        for i in range(50):
            start = time.monotonic()
            service.get(f"/v1/jobs/{ids[i % len(ids)]}")
            status_times.append(time.monotonic() - start)
            time.sleep(0.1)
        print(f"controller down, 10 submissions in flight: submit answered in max "
              f"{max(submit_times) * 1000:.1f} ms; status latency median "
              f"{statistics.median(status_times) * 1000:.1f} ms, p99 "
              f"{percentile(status_times, 99) * 1000:.1f} ms, max {max(status_times) * 1000:.1f} ms")
        start = time.monotonic()
        cluster.start_controller()
        for job_id in ids:
            assert service.wait(job_id)["status"] == "completed"
        print(f"  after the controller came back, all 10 completed in {time.monotonic() - start:.1f} s")

        sleep_code = "import time\ntime.sleep(2)\n"
        start = time.monotonic()
        ids = [service.submit(sleep_code, {"cpu": 1}) for _ in range(30)]
        for job_id in ids:
            assert service.wait(job_id)["status"] == "completed"
        took = time.monotonic() - start
        limit = 30 * 2 / cluster.cpus
        print(f"30 jobs of 2 s on {cluster.cpus} CPUs: {took:.1f} s, {30 / took:.2f} jobs/s; "
              f"the cluster's limit {limit:.0f} s, {30 / limit:.2f} jobs/s")
    finally:
        if service:
            service.close()
        if cluster:
            cluster.close()
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
