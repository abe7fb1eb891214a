#pragma once
// The "resources" member of a submission, checked once at submission time.

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace pelmora::service {

// An amount of memory in bytes: digits with an optional fraction, then an optional unit
// K, M, G, T (powers of 1000) or Ki, Mi, Gi, Ti (powers of 1024), case-insensitive, with an
// optional trailing "B": "4Gi", "512M", "1.5G", "2048". Absent for anything else, for zero
// and for more than 2^62 bytes.
std::optional<std::uint64_t> parse_memory(const std::string& text);

// The longest "gpu" text a submission may ask for, in bytes.
inline constexpr std::size_t kMaxGpuText = 64;

// Checks a submission's "resources": an object with no members but "gpu" (a string of at
// most kMaxGpuText bytes), "cpu" (an integer from 0 to 4096) and "memory" (a string
// parse_memory accepts). Returns an error message, or nothing when the object is acceptable.
std::optional<std::string> check_resources(const nlohmann::json& resources);

// The credits a job with these (checked) resources costs: its CPU count, at least 1.
double job_cost(const nlohmann::json& resources);

}  // namespace pelmora::service
