// pelmora imports: the verdict and import names of Python files, or of a JSON lines stream.
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/platform/files.h"
#include "cli/commands.h"
#include "python/source.h"

namespace pelmora::cli {
namespace {

struct ImportsOptions {
  std::vector<std::string> files;
  bool jsonl = false;
};

void write_stdout(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    throw std::runtime_error("cannot write to standard output");
  }
}

std::string dump(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One line per file: PATH ok|invalid NAME... Unreadable files are reported on standard
// error and make the exit status 1; the others are still reported.
int run_files(const std::vector<std::string>& files) {
  int status = kExitOk;
  for (const std::string& path : files) {
    std::string code;
    try {
      code = read_text_file(path);
    } catch (const FileError& e) {
      std::fflush(stdout);
      std::cerr << "pelmora: error: cannot read '" << path << "': " << e.what() << "\n";
      status = kExitError;
      continue;
    }
    const SourceCheck scan = check_source(code);
    std::string line = path;
    line += scan.valid ? " ok" : " invalid";
    for (const std::string& name : scan.imports) {
      line += ' ';
      line += name;
    }
    line += '\n';
    write_stdout(line);
  }
  return status;
}

// Lines {"code": TEXT} in, lines {"valid": BOOL, "imports": [NAME...]} out, in order.
int run_jsonl() {
  std::string line;
  while (std::getline(std::cin, line)) {
    nlohmann::json out;
    try {
      const nlohmann::json in = nlohmann::json::parse(line);
      if (!in.is_object() || !in.contains("code") || !in["code"].is_string()) {
        throw std::invalid_argument("expected an object with a string member \"code\"");
      }
      const std::string& code = in["code"].get_ref<const std::string&>();
      const SourceCheck scan = check_source(code);
      out["valid"] = scan.valid;
      out["imports"] = nlohmann::json::array();
      for (const std::string& name : scan.imports) out["imports"].push_back(name);
    } catch (const nlohmann::json::exception& e) {
      out = nlohmann::json::object();
      out["error"] = std::string("not a JSON line: ") + e.what();
    } catch (const std::invalid_argument& e) {
      out = nlohmann::json::object();
      out["error"] = e.what();
    }
    write_stdout(dump(out) + "\n");
  }
  return kExitOk;
}

}  // namespace

void add_imports_command(CLI::App& app, int& exit_code) {
  auto opts = std::make_shared<ImportsOptions>();
  CLI::App* cmd = app.add_subcommand(
      "imports",
      "Show whether Python files are valid and which modules they import (the names that "
      "local-module discovery looks up).");
  cmd->add_option("FILE", opts->files, "Python files, read as UTF-8 with LF line ends");
  cmd->add_flag("--jsonl", opts->jsonl,
                "Read {\"code\": ...} lines from standard input and write "
                "{\"valid\": ..., \"imports\": [...]} lines");
  cmd->callback([opts, &exit_code, cmd]() {
    if (opts->jsonl == !opts->files.empty()) {
      throw CLI::ValidationError(opts->jsonl ? "--jsonl takes no FILE arguments"
                                             : "give FILE arguments or --jsonl");
    }
    exit_code = opts->jsonl ? run_jsonl() : run_files(opts->files);
    (void)cmd;
  });
}

}  // namespace pelmora::cli
