#include "service/log.h"

#include <mutex>

#include <spdlog/spdlog.h>

namespace pelmora::service {

std::shared_ptr<spdlog::logger> service_logger() {
  static std::once_flag once;
  static std::shared_ptr<spdlog::logger> logger;
  std::call_once(once, [] {
    logger = spdlog::get(kServiceLoggerName);
    if (!logger) {
      logger = std::make_shared<spdlog::logger>(kServiceLoggerName);
      logger->set_level(spdlog::level::info);
      spdlog::register_logger(logger);
    }
  });
  return logger;
}

}  // namespace pelmora::service
