#pragma once
// A private single-node Slurm cluster for tests: its own munge key and munged socket,
// slurmctld and slurmd (as root) on free ports, every file in a temporary directory. The
// daemons are this process's children; each one is stopped by its pid when the cluster
// object goes, also when a test fails. Slurm's commands find the cluster through SLURM_CONF,
// which the object sets in this process's environment while it lives.

#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "agent/platform/subprocess.h"
#include "service_fixture.h"

namespace pelmora::service::testing {

class SlurmCluster {
 public:
  SlurmCluster() {
    if (geteuid() != 0) {
      why_not_ = "the private Slurm cluster needs root (slurmd and munged's key)";
      return;
    }
    for (const char* program : {"munged", "slurmctld", "slurmd", "sbatch", "setpriv"}) {
      if (!find_program(program) && !find_program(std::string("/usr/sbin/") + program)) {
        why_not_ = std::string("Slurm is not installed (no ") + program + ")";
        return;
      }
    }
    try {
      start();
    } catch (const std::exception& e) {
      why_not_ = std::string("the private Slurm cluster did not start: ") + e.what();
      stop();
    }
  }
  ~SlurmCluster() { stop(); }
  SlurmCluster(const SlurmCluster&) = delete;
  SlurmCluster& operator=(const SlurmCluster&) = delete;

  // Empty when the cluster runs; else why it does not (for GTEST_SKIP).
  const std::string& why_not() const { return why_not_; }
  const std::string& dir() const { return dir_.path(); }
  std::string jobs() const { return dir() + "/jobs"; }

  // Runs a Slurm command (a name in /usr/bin) against the cluster; its standard output.
  std::string command(std::vector<std::string> argv) const {
    argv[0] = "/usr/bin/" + argv[0];
    SpawnOptions run;
    run.argv = std::move(argv);
    return run_command(run, 30, 1 << 20).out;
  }
  // Slurm's state for a job ("RUNNING", "CANCELLED", ...), empty when unknown.
  std::string state(long slurm_id) const {
    std::string out = command({"squeue", "-h", "-t", "all", "-j", std::to_string(slurm_id), "-o", "%T"});
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
  }

  // The controller down and up again, for the faults of an outage.
  void stop_controller() { end(ctld_); }
  void start_controller() { ctld_ = daemon({"/usr/sbin/slurmctld", "-D", "-f", conf()}, "slurmctld.out"); }

 private:
  std::string conf() const { return dir() + "/slurm.conf"; }

  static int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port = ntohs(addr.sin_port);
    }
    close(fd);
    if (port == 0) throw std::runtime_error("no free port");
    return port;
  }

  pid_t daemon(std::vector<std::string> argv, const std::string& log) {
    SpawnOptions run;
    run.argv = std::move(argv);
    run.group = ProcessGroup::new_group;
    run.output = ChildOutput::file;
    run.output_file = dir() + "/log/" + log;
    return spawn(run).pid;
  }

  static void end(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
  }

  void start() {
    namespace fs = std::filesystem;
    const std::string d = dir();
    for (const char* sub : {"munge", "munge-run", "state", "spool", "log", "jobs"}) {
      fs::create_directories(d + "/" + sub);
    }
    fs::permissions(d, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
    // munged wants its key private to the munge user and its socket's directory open to all.
    {
      std::ifstream random("/dev/urandom", std::ios::binary);
      std::string key(1024, '\0');
      random.read(key.data(), static_cast<std::streamsize>(key.size()));
      std::ofstream(d + "/munge/munge.key", std::ios::binary) << key;
    }
    SpawnOptions own;
    own.argv = {"/bin/chown", "-R", "munge:munge", d + "/munge", d + "/munge-run"};
    if (run_command(own, 10, 4096).status != 0) throw std::runtime_error("cannot chown to munge");
    fs::permissions(d + "/munge", fs::perms::owner_all);
    fs::permissions(d + "/munge/munge.key", fs::perms::owner_read);
    const std::string socket = d + "/munge-run/munge.socket";
    munged_ = daemon({"/usr/bin/setpriv", "--reuid=munge", "--regid=munge", "--init-groups",
                      "/usr/sbin/munged", "-F", "--key-file=" + d + "/munge/munge.key",
                      "--socket=" + socket, "--pid-file=" + d + "/munge-run/munged.pid",
                      "--log-file=" + d + "/munge/munged.log", "--seed-file=" + d + "/munge/seed"},
                     "munged.out");
    for (int i = 0; i < 100 && !fs::exists(socket); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!fs::exists(socket)) throw std::runtime_error("munged did not start");

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string node = host;
    node = node.substr(0, node.find('.'));
    long memory_mb = sysconf(_SC_PHYS_PAGES) / 1024 * sysconf(_SC_PAGESIZE) / 1024 - 512;
    const int ctld_port = free_port();
    const int slurmd_port = free_port();
    std::ofstream(conf()) << "ClusterName=pelmora-test\n"
                          << "SlurmctldHost=" << node << "(127.0.0.1)\n"
                          << "SlurmctldPort=" << ctld_port << "\nSlurmdPort=" << slurmd_port << "\n"
                          << "SlurmUser=root\nSlurmdUser=root\n"
                          << "AuthType=auth/munge\nCredType=cred/munge\n"
                          << "AuthInfo=socket=" << socket << "\n"
                          << "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
                          << "JobAcctGatherType=jobacct_gather/none\n"
                          << "AccountingStorageType=accounting_storage/none\nJobCompType=jobcomp/none\n"
                          << "SelectType=select/cons_tres\nSelectTypeParameters=CR_Core\n"
                          << "SchedulerType=sched/backfill\nSchedulerParameters=sched_interval=1\n"
                          << "ReturnToService=2\nMpiDefault=none\nMinJobAge=300\n"
                          << "StateSaveLocation=" << d << "/state\nSlurmdSpoolDir=" << d << "/spool\n"
                          << "SlurmctldPidFile=" << d << "/slurmctld.pid\n"
                          << "SlurmdPidFile=" << d << "/slurmd.pid\n"
                          << "SlurmctldLogFile=" << d << "/log/slurmctld.log\n"
                          << "SlurmdLogFile=" << d << "/log/slurmd.log\n"
                          << "NodeName=" << node << " NodeAddr=127.0.0.1 CPUs="
                          << std::thread::hardware_concurrency() << " RealMemory=" << memory_mb
                          << " State=UNKNOWN\n"
                          << "PartitionName=debug Nodes=" << node
                          << " Default=YES MaxTime=INFINITE State=UP\n";
    setenv("SLURM_CONF", conf().c_str(), 1);
    start_controller();
    slurmd_ = daemon({"/usr/sbin/slurmd", "-D", "-f", conf()}, "slurmd.out");
    for (int i = 0; i < 300; ++i) {
      if (command({"sinfo", "-h", "-N", "-o", "%T"}).rfind("idle", 0) == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the node did not become idle within 30 s (see " + d + "/log)");
  }

  void stop() {
    end(slurmd_);
    end(ctld_);
    end(munged_);
    unsetenv("SLURM_CONF");
  }

  TempDir dir_;
  std::string why_not_;
  pid_t munged_ = -1;
  pid_t ctld_ = -1;
  pid_t slurmd_ = -1;
};

}  // namespace pelmora::service::testing
