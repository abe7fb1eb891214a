#include "agent/platform/logger.h"

#include <spdlog/spdlog.h>

namespace pelmora {

std::shared_ptr<spdlog::logger> agent_logger() {
  static const std::shared_ptr<spdlog::logger> logger = [] {
    if (auto existing = spdlog::get(kAgentLoggerName)) return existing;
    auto created = std::make_shared<spdlog::logger>(kAgentLoggerName);
    spdlog::register_logger(created);
    return created;
  }();
  return logger;
}

}  // namespace pelmora
