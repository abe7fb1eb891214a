#pragma once
// How local jobs are kept apart from the service and from each other.
//
// bubblewrap: each job runs in new mount, PID and IPC namespaces. It sees the file system
// read-only, its own directory writable, an empty /tmp, and in place of each hidden
// directory (the service's data directory) an empty one; its /proc shows only its own
// processes, and every process it starts ends with it (the namespace's first process dies
// with the service too). The service's files, other jobs and the service's environment are
// out of its sight.
// supervisor: where bubblewrap cannot run, the job runs as this user without namespaces,
// under a subreaper supervisor (SpawnOptions::supervise) so that its processes still end with
// it; it can read what this user can.

#include <string>
#include <vector>

namespace pelmora::service {

enum class Confinement { bubblewrap, supervisor };

// "bubblewrap" or "supervisor".
const char* confinement_name(Confinement confinement);

struct ConfinementProbe {
  Confinement confinement = Confinement::supervisor;
  std::string bwrap;    // the bwrap program found, with bubblewrap
  std::string problem;  // why bubblewrap is not used, otherwise
};

// Runs a trivial command under `bwrap` (a path or a name on PATH) with the options jobs get.
// Takes up to a few seconds; never throws.
ConfinementProbe probe_confinement(const std::string& bwrap = "bwrap");

// The command line that runs `command` under bubblewrap in `work_dir`, with `hidden`
// directories emptied. Requires: absolute paths.
std::vector<std::string> bubblewrap_command(const std::string& bwrap, const std::string& work_dir,
                                            const std::vector<std::string>& hidden,
                                            const std::vector<std::string>& command);

}  // namespace pelmora::service
