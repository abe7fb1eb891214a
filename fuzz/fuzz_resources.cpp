// Fuzz target: what a client sends as a submission's "resources" (untrusted JSON), and the
// sbatch options made from resources that passed the check.
// Checks: a memory amount is never zero nor above 2^62 bytes; checked resources always have
// a cost of at least 1 and give sbatch options without throwing anything but
// std::invalid_argument.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/platform/json_text.h"
#include "service/resources.h"
#include "service/slurm_runner.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto bytes = pelmora::service::parse_memory(text)) {
    check(*bytes > 0 && *bytes <= (std::uint64_t{1} << 62));
  }

  const auto body = pelmora::parse_json_or_discarded(text);
  if (body.is_discarded()) return 0;
  const auto& resources = body.is_object() && body.contains("resources") ? body["resources"] : body;
  if (pelmora::service::check_resources(resources)) return 0;  // refused with a message
  const double cost = pelmora::service::job_cost(resources);
  check(std::isfinite(cost) && cost >= 1.0);
  try {
    const auto args = pelmora::service::slurm_resource_args(resources);
    for (const auto& arg : args) check(arg.starts_with("--"));
  } catch (const std::invalid_argument&) {
    // A "gpu" of a shape Slurm has no request for: the job fails with this message.
  }
  return 0;
}
