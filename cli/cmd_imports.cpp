// pelmora imports: the verdict and import names of Python files, or of a JSON lines stream.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/platform/json_text.h"
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

// The report on one file: its output line, or why it cannot be read.
struct FileReport {
  std::string line;   // "PATH ok|invalid NAME...\n"
  std::string error;  // non-empty: the file could not be read
};

FileReport report_file(const std::string& path) {
  FileReport report;
  std::string code;
  try {
    code = read_text_file(path);
  } catch (const FileError& e) {
    report.error = e.what();
    return report;
  }
  const SourceCheck scan = check_source(code);
  report.line = path;
  report.line += scan.valid ? " ok" : " invalid";
  for (const std::string& name : scan.imports) {
    report.line += ' ';
    report.line += name;
  }
  report.line += '\n';
  return report;
}

// One line per file, in the order given: PATH ok|invalid NAME... Unreadable files are
// reported on standard error and make the exit status 1; the others are still reported.
// Many files are read and checked on every core; each line is written as soon as the lines
// before it are.
int run_files(const std::vector<std::string>& files) {
  const size_t workers =
      std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), files.size() / 4 + 1);
  std::vector<std::optional<FileReport>> reports(files.size());
  std::atomic<size_t> next{0};
  std::mutex mutex;
  std::condition_variable ready;
  auto work = [&] {
    for (size_t i = next++; i < files.size(); i = next++) {
      FileReport report = report_file(files[i]);
      const std::lock_guard<std::mutex> lock(mutex);
      reports[i] = std::move(report);
      ready.notify_one();
    }
  };
  std::vector<std::jthread> threads;
  for (size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  if (workers == 1) work();

  // When writing fails, the workers stop taking files before the error leaves.
  struct StopWorkers {
    std::atomic<size_t>& next;
    size_t end;
    ~StopWorkers() { next = end; }
  } stop{next, files.size()};
  int status = kExitOk;
  for (size_t i = 0; i < files.size(); ++i) {
    FileReport report;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait(lock, [&] { return reports[i].has_value(); });
      report = std::move(*reports[i]);
      reports[i].reset();
    }
    if (!report.error.empty()) {
      std::fflush(stdout);
      std::cerr << "pelmora: error: cannot read '" << files[i] << "': " << report.error << "\n";
      status = kExitError;
      continue;
    }
    write_stdout(report.line);
  }
  return status;
}

// Lines {"code": TEXT} in, lines {"valid": BOOL, "imports": [NAME...]} out, in order.
int run_jsonl() {
  std::string line;
  while (std::getline(std::cin, line)) {
    nlohmann::json out;
    try {
      const nlohmann::json in = parse_json(line);
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
