#pragma once
// The job service's logger, "pelmora.service": a line per request and per job transition.
// Created without sinks; `pelmora serve` gives it one on standard error. Never given a key.

#include <memory>

#include <spdlog/logger.h>

namespace pelmora::service {

inline constexpr const char* kServiceLoggerName = "pelmora.service";

// The one shared logger, created on first use. Thread-safe.
std::shared_ptr<spdlog::logger> service_logger();

}  // namespace pelmora::service
