// `pelmora cancel JOB` and `pelmora jobs`: job management on the job service.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/platform/json_text.h"
#include "agent/platform/terminal_text.h"
#include "agent/client/errors.h"
#include "agent/client/job_client.h"
#include "cli/commands.h"
#include "cli/host_config.h"

namespace pelmora::cli {
namespace {

using nlohmann::json;

// The client of the service named by the flags, the environment or the saved login.
JobClient host_client(const std::optional<std::string>& flag_key,
                      const std::optional<std::string>& flag_url) {
  auto creds = resolve_host_credentials(flag_key, flag_url);
  if (!creds.api_key || creds.api_key->empty()) {
    throw std::runtime_error(
        "no API key: pass --api-key, set PELMORA_API_KEY, or run `pelmora login`");
  }
  return JobClient({.api_url = creds.api_url, .api_key = *creds.api_key, .transport = {}});
}

// The message for a refusal: the service's own "error" text when it sent one.
std::runtime_error host_error(const JobServiceError& e) {
  if (e.kind() == ServiceErrorKind::invalid_api_key) {
    return std::runtime_error("the service rejected the API key");
  }
  json body = parse_json_or_discarded(e.body);
  if (body.is_object() && body.contains("error") && body["error"].is_string()) {
    return std::runtime_error(escape_for_terminal(body["error"].get<std::string>()));
  }
  return std::runtime_error("the service answered " + std::to_string(e.status) + ": " +
                            escape_for_terminal(e.body.substr(0, 600)));
}

std::string text_or_dash(const json& value) {
  if (value.is_string()) return escape_for_terminal(value.get<std::string>());
  if (value.is_number_integer()) return std::to_string(value.get<long long>());
  return "-";
}

}  // namespace

void add_job_commands(CLI::App& app, int& exit_code) {
  struct HostArgs {
    std::string job_id;
    std::optional<std::string> api_key;
    std::optional<std::string> api_url;
    int limit = 20;
    bool json_output = false;
  };
  auto cancel_args = std::make_shared<HostArgs>();
  auto* cancel = app.add_subcommand("cancel", "Cancel a queued or running job.");
  cancel->add_option("JOB", cancel_args->job_id, "The job identifier")->required();
  cancel->add_option("--api-key", cancel_args->api_key, "API key (default: PELMORA_API_KEY or the saved login)");
  cancel->add_option("--api-url", cancel_args->api_url, "Job service URL");
  cancel->callback([cancel_args, &exit_code] {
    const auto& a = *cancel_args;
    const JobClient client = host_client(a.api_key, a.api_url);
    json document;
    try {
      document = client.cancel(a.job_id);
    } catch (const JobServiceError& e) {
      if (e.kind() == ServiceErrorKind::not_found) throw std::runtime_error("no such job: " + a.job_id);
      throw host_error(e);
    }
    const std::string status = document["status"].get<std::string>();
    if (status == "cancelled") {
      std::cout << "Cancelled " << escape_for_terminal(a.job_id) << ".\n";
    } else {
      // A running job is cancelled once its processes are gone.
      std::cout << "Cancelling " << escape_for_terminal(a.job_id) << " (status: "
                << escape_for_terminal(status) << ").\n";
    }
    exit_code = kExitOk;
  });

  auto jobs_args = std::make_shared<HostArgs>();
  auto* jobs = app.add_subcommand("jobs", "List your jobs on the job service, newest first.");
  jobs->add_option("--limit", jobs_args->limit, "How many jobs to show")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  jobs->add_flag("--json", jobs_args->json_output, "Print the service's JSON answer");
  jobs->add_option("--api-key", jobs_args->api_key, "API key (default: PELMORA_API_KEY or the saved login)");
  jobs->add_option("--api-url", jobs_args->api_url, "Job service URL");
  jobs->callback([jobs_args, &exit_code] {
    const auto& a = *jobs_args;
    const JobClient client = host_client(a.api_key, a.api_url);
    json body;
    try {
      body = client.list(a.limit);
    } catch (const JobServiceError& e) {
      throw host_error(e);
    }
    if (a.json_output) {
      std::cout << body.dump(2) << "\n";
      exit_code = kExitOk;
      return;
    }
    if (body["jobs"].empty()) {
      std::cout << "No jobs.\n";
      exit_code = kExitOk;
      return;
    }
    std::printf("%-36s  %-9s  %4s  %-24s  %s\n", "JOB", "STATUS", "EXIT", "CREATED", "SCRIPT");
    for (const auto& job : body["jobs"]) {
      if (!job.is_object()) continue;
      auto field = [&](const char* name) { return job.contains(name) ? text_or_dash(job[name]) : "-"; };
      std::printf("%-36s  %-9s  %4s  %-24s  %s\n", field("job_id").c_str(), field("status").c_str(),
                  field("exit_code").c_str(), field("created_at").c_str(), field("file_path").c_str());
    }
    std::fflush(stdout);
    exit_code = kExitOk;
  });
}

}  // namespace pelmora::cli
