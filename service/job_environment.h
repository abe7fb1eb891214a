#pragma once
// The environment every job and every Slurm command gets.

#include <string>
#include <vector>

namespace pelmora::service {

// This process's environment (`environ_`) without anything that looks like a key or secret
// (names holding KEY, SECRET, TOKEN, PASSWORD, PASSWD or CREDENTIAL, in any case, and every
// PELMORA_ and GATEWAY_ variable), plus PYTHONUNBUFFERED=1.
std::vector<std::string> job_environment(char** environ_);

}  // namespace pelmora::service
