#pragma once
// Small helpers of the job service: random identifiers, time stamps.
// (The errno text is errno_text of agent/platform/errors.h.)

#include <string>

namespace pelmora::service {

// `bytes` random bytes from the kernel (getrandom) as lower-case hexadecimal text.
// Throws std::runtime_error when the kernel gives none.
std::string random_hex(std::size_t bytes);

// A new job identifier: "job-" + 32 lower-case hexadecimal digits (128 random bits).
std::string new_job_id();

// True for text of the form new_job_id() makes.
bool is_job_id(const std::string& text);

// Seconds since the Unix epoch as "2026-12-08T02:00:07.123Z".
std::string iso_time(double epoch_seconds);

}  // namespace pelmora::service
