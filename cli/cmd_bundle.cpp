// pelmora bundle: the text an offload sends for a script, or the list of its local modules.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/bundle/bundle.h"
#include "agent/bundle/project.h"
#include "agent/bundle/project_imports.h"
#include "agent/platform/files.h"
#include "cli/commands.h"
#include "cli/project_form.h"
#include "python/source.h"

namespace pelmora::cli {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct BundleOptions {
  std::string file;
  bool list = false;
  bool project = false;
  std::vector<std::string> args;
};

void write_stdout(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    throw std::runtime_error("cannot write to standard output");
  }
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

int run_project_bundle(const BundleOptions& opts) {
  const ProjectBundle bundle = build_project_bundle(project_request(opts.file, opts.args));
  write_stdout(opts.list ? project_manifest(bundle) : bundle.text);
  return kExitOk;
}

int run_bundle(const BundleOptions& opts) {
  if (opts.project) return run_project_bundle(opts);
  if (!opts.args.empty()) throw CLI::ValidationError("ARG", "arguments for the script need --project");
  std::string code;
  try {
    code = read_text_file(opts.file);
  } catch (const FileError& e) {
    throw std::runtime_error("cannot read '" + opts.file + "': " + e.what());
  }
  const std::string base_dir = script_base_dir(opts.file);

  // As an offload does: a script that does not parse, or a failure to bundle, sends the
  // script alone.
  std::vector<LocalModule> found;
  const std::string_view source = code.starts_with(kByteOrderMark)
                                      ? std::string_view(code).substr(kByteOrderMark.size())
                                      : std::string_view(code);
  if (!check_source(source).valid) {
    std::cerr << "pelmora: " << opts.file
              << " is not valid Python 3.13; no local modules are looked for (the script is "
                 "sent alone)\n";
  } else {
    try {
      std::set<std::string> seen;
      found = find_local_modules(source, base_dir, seen);
      // The listing's output stays as it was: the hint goes with the text alone.
      if (!opts.list) print_module_bundle_hint(source, opts.file);
    } catch (const std::exception& e) {
      std::cerr << "pelmora: warning: Failed to bundle local modules: " << e.what()
                << " (the script is sent alone)\n";
    }
  }
  const std::string bundle = assemble_bundle(code, module_map(found));
  if (!opts.list) {
    write_stdout(bundle);
    return kExitOk;
  }

  std::string out;
  const std::vector<LocalModule>& files = found;
  size_t name_width = 0;
  size_t path_width = 0;
  for (const auto& f : files) {
    name_width = std::max(name_width, f.name.size());
    path_width = std::max(path_width, f.path.size());
  }
  for (const auto& f : files) {
    std::string line = f.name;
    line.resize(name_width + 2, ' ');
    line += f.path;
    line.resize(name_width + 2 + path_width + 2, ' ');
    line += plural(f.source.size(), "byte", "bytes");
    out += line + "\n";
  }
  if (files.empty()) {
    out += "no local modules; bundle " + plural(bundle.size(), "byte", "bytes") + " (the script alone)\n";
  } else {
    out += "total: " + plural(files.size(), "local module", "local modules") + "; bundle " +
           plural(bundle.size(), "byte", "bytes") + "\n";
  }
  write_stdout(out);
  return kExitOk;
}

}  // namespace

void add_bundle_command(CLI::App& app, int& exit_code) {
  auto opts = std::make_shared<BundleOptions>();
  CLI::App* cmd = app.add_subcommand(
      "bundle",
      "Write the text an offload of a Python script sends: the script with the local modules "
      "it imports joined in ahead of it.");
  cmd->add_flag("--list", opts->list,
                "List the local modules instead: name, file and size, then the bundle's size");
  cmd->add_flag("--project", opts->project,
                "The project form: the files of the script's project (the working directory "
                "when the script lies under it, else the script's directory) and a bootstrap "
                "that runs the script with ARGs, instead of the script with its local modules");
  cmd->add_option("FILE", opts->file, "The Python script")->required();
  cmd->add_option("ARG", opts->args, "With --project: the script's arguments, after --");
  cmd->callback([opts, &exit_code] { exit_code = run_bundle(*opts); });
}

}  // namespace pelmora::cli
