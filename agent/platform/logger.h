#pragma once
// The library logger "pelmora.agent". The library creates it without sinks and configures
// nothing else on it; where its records go is the host's affair (add a sink to it).

#include <memory>

#include <spdlog/logger.h>

namespace pelmora {

inline constexpr const char* kAgentLoggerName = "pelmora.agent";

// The one shared logger, created on first use and registered with spdlog under its name.
// Thread-safe.
std::shared_ptr<spdlog::logger> agent_logger();

}  // namespace pelmora
