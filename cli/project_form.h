#pragma once
// What `pelmora submit` and `pelmora bundle` share for the two forms of an offload: the
// project request of a command line, and the hint when the module bundle falls short.

#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/project.h"

namespace pelmora::cli {

// The project request for `file` run from this process's working directory with `args`;
// the home directory from HOME.
ProjectRequest project_request(const std::string& file, const std::vector<std::string>& args);

// Prints one warning line on standard error when the module bundle of `file` (its text
// `source`) cannot carry it as it runs in place. Never throws.
void print_module_bundle_hint(std::string_view source, const std::string& file);

}  // namespace pelmora::cli
