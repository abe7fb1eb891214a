#pragma once
// SHA-256 of a byte string, for comparing API keys without keeping them in the job store.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora::service {

using Digest = std::array<std::uint8_t, 32>;

Digest sha256(std::string_view data);

// Lower-case hexadecimal text of `digest`.
std::string to_hex(const Digest& digest);

// True when the two digests are equal, taking the same time whatever they hold.
bool digests_equal(const Digest& a, const Digest& b);

}  // namespace pelmora::service
