#pragma once
// The environment every job and every Slurm command gets.

#include <string>
#include <vector>

namespace pelmora::service {

// From this process's environment (`environ_`), only what a program needs to run: PATH,
// HOME, USER, LOGNAME, SHELL, LANG, LANGUAGE, LC_*, TZ, TERM, TMPDIR, plus the variables
// named in `pass` (pelmora serve --pass-env); then PYTHONUNBUFFERED=1. Nothing else, so no
// key, password or connection string of the service reaches a job.
std::vector<std::string> job_environment(char** environ_, const std::vector<std::string>& pass = {});

// Whether `name` may be given to --pass-env: a variable name ([A-Za-z_][A-Za-z0-9_]*) that is
// not one of the service's own (PELMORA_*, GATEWAY_*) nor PYTHONUNBUFFERED.
bool passable_env_name(const std::string& name);

}  // namespace pelmora::service
