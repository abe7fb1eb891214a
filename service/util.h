#pragma once
// Small helpers of the job service: random identifiers, private files, time stamps.
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

// Creates `path` and its missing parents with mode 0700 (existing ones are left as they
// are). Throws std::runtime_error naming the path.
void make_private_dirs(const std::string& path);

// Replaces `path` with `content` atomically (a temporary file in the same directory, fsync
// when `sync`, rename), mode 0600. Throws std::runtime_error naming the path.
void write_private_file(const std::string& path, const std::string& content, bool sync = true);

// Seconds since the Unix epoch as "2026-12-08T02:00:07.123Z".
std::string iso_time(double epoch_seconds);

}  // namespace pelmora::service
