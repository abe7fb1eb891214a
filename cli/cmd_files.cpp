// `pelmora files JOB` and `pelmora get JOB [PATH...]`: the files a job left, listed and
// brought back (cli/job_downloads.h).
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "agent/client/errors.h"
#include "agent/client/http.h"
#include "agent/client/job_client.h"
#include "agent/platform/json_text.h"
#include "agent/platform/terminal_text.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/host_config.h"
#include "cli/job_downloads.h"

namespace pelmora::cli {
namespace {

using nlohmann::json;

struct FilesArgs {
  std::string job_id;
  std::vector<std::string> paths;
  std::string to = ".";
  bool json_output = false;
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
};

Endpoint endpoint_of(const FilesArgs& args) {
  auto creds = resolve_host_credentials(args.api_key, args.api_url);
  if (!creds.api_key || creds.api_key->empty()) {
    throw std::runtime_error(
        "no API key: run `pelmora login`, set PELMORA_API_KEY, or pass --api-key");
  }
  return Endpoint{.api_url = creds.api_url, .api_key = *creds.api_key};
}

// Runs `body`; errors become one line (the key hidden), thrown on for main to print.
template <typename Body>
void guarded(const Endpoint& endpoint, const std::string& job_id, Body&& body) {
  try {
    body();
  } catch (const TransportError& e) {
    throw std::runtime_error(one_line(
        "cannot reach the job service at " + endpoint.api_url + ": " + e.what(), endpoint.api_key));
  } catch (const JobServiceError& e) {
    if (e.kind() == ServiceErrorKind::not_found) {
      throw std::runtime_error("no such job: " + escape_for_terminal(job_id));
    }
    if (e.kind() == ServiceErrorKind::invalid_api_key) {
      throw std::runtime_error("the service rejected the API key");
    }
    json answer = parse_json_or_discarded(e.body);
    std::string why = answer.is_object() && answer.contains("error") && answer["error"].is_string()
                          ? answer["error"].get<std::string>()
                          : "the service answered " + std::to_string(e.status);
    throw std::runtime_error(one_line(why, endpoint.api_key));
  } catch (const std::exception& e) {
    throw std::runtime_error(one_line(e.what(), endpoint.api_key));
  }
}

std::string local_time(double epoch_seconds) {
  auto seconds = static_cast<std::time_t>(epoch_seconds);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

void print_table(const FileList& list) {
  if (list.files.empty() && list.refused.empty()) {
    std::cout << "No files.\n";
    return;
  }
  std::printf("%-5s  %12s  %-19s  %s\n", "TYPE", "SIZE", "MODIFIED", "PATH");
  for (const RemoteFile& f : list.files) {
    const char* type = f.type == "directory" ? "dir"
                       : f.type == "symlink" ? "link"
                       : f.type == "file"    ? (f.executable ? "exec" : "file")
                                             : "other";
    std::string path = escape_for_terminal(f.path);
    if (f.type == "directory") path += "/";
    if (f.type == "symlink") path += " -> " + escape_for_terminal(f.target);
    std::string size = f.type == "file" ? std::to_string(f.size) : "-";
    std::printf("%-5s  %12s  %-19s  %s\n", type, size.c_str(), local_time(f.mtime).c_str(), path.c_str());
  }
  for (const std::string& refused : list.refused) {
    std::printf("refused a path from the service: %s\n", escape_for_terminal(refused).c_str());
  }
  std::fflush(stdout);
}

}  // namespace

void add_file_commands(CLI::App& app, int& exit_code) {
  constexpr const char* kKeyHelp = "API key (default: PELMORA_API_KEY or the saved login)";
  auto files_args = std::make_shared<FilesArgs>();
  auto* files = app.add_subcommand("files", "List the files a job left in its working directory.");
  files->add_option("JOB", files_args->job_id, "The job id")->required();
  files->add_flag("--json", files_args->json_output,
                  "Print {\"root\", \"files\"} as JSON: each entry's \"path\" (\"path_b64\", "
                  "base64, for a name that is not UTF-8), \"type\", \"size\", \"mtime\", "
                  "\"executable\", \"etag\" of a file, \"target\" of a link");
  files->add_option("--api-key", files_args->api_key, kKeyHelp);
  files->add_option("--api-url", files_args->api_url, "Job service URL");
  files->footer(
      "The files are those under the job's working directory (after a project bundle, under "
      "the directory it unpacked into), the service's own left out. Names are shown with "
      "control characters and bytes that are not UTF-8 as \\xNN.\n"
      "Exit status: 0 listed, 1 the list could not be read, 2 bad usage.");
  files->callback([files_args, &exit_code] {
    const auto& a = *files_args;
    const Endpoint endpoint = endpoint_of(a);
    guarded(endpoint, a.job_id, [&] {
      FileList list = list_job_files(JobClient(endpoint), a.job_id);
      if (a.json_output) {
        json out{{"root", list.root}, {"files", list.raw}};
        // ASCII only: no control character of a name, C1 ones included, reaches the terminal.
        std::cout << out.dump(2, ' ', true, json::error_handler_t::replace) << "\n";
      } else {
        print_table(list);
      }
    });
    exit_code = kExitOk;
  });

  auto get_args = std::make_shared<FilesArgs>();
  auto* get = app.add_subcommand("get", "Download a job's files (all of them, or the PATHs given).");
  get->add_option("JOB", get_args->job_id, "The job id")->required();
  get->add_option("PATH", get_args->paths,
                  "Files or directories to fetch, relative to the job's directory (default: "
                  "everything)");
  get->add_option("--to", get_args->to, "The directory to write into (made when missing)")
      ->capture_default_str();
  get->add_option("--api-key", get_args->api_key, kKeyHelp);
  get->add_option("--api-url", get_args->api_url, "Job service URL");
  get->footer(
      "Files keep their relative layout, executable bit and modification time under --to; "
      "nothing is written outside it, whatever the service sends, and no symbolic link in it "
      "is followed. Links, FIFOs and devices in the job are listed and skipped. A file "
      "arrives as NAME.part and is renamed when whole: running the command again after an "
      "interruption resumes where it stopped (when the file has not changed meanwhile). "
      "Large files show their progress when standard error is a terminal.\n"
      "Exit status: 0 every file fetched, 1 some could not be, 2 bad usage.");
  get->callback([get_args, &exit_code] {
    const auto& a = *get_args;
    const Endpoint endpoint = endpoint_of(a);
    GetResult result;
    guarded(endpoint, a.job_id, [&] {
      result = get_job_files(JobClient(endpoint),
                             GetRequest{.job_id = a.job_id, .paths = a.paths, .patterns = {},
                                        .to = a.to, .progress = isatty(STDERR_FILENO) == 1},
                             std::cout);
    });
    std::cout << "Fetched " << result.files << (result.files == 1 ? " file" : " files") << " ("
              << result.bytes << " bytes) into " << escape_for_terminal(a.to)
              << (result.skipped ? ", " + std::to_string(result.skipped) + " skipped" : "") << ".\n";
    exit_code = result.failed ? kExitError : kExitOk;
  });
}

}  // namespace pelmora::cli
