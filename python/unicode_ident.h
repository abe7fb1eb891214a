#pragma once
// Identifier characters and normalisation as Python defines them (through ICU).

#include <string>
#include <string_view>

namespace pelmora {

// XID_Start plus '_' (the first character of a Python identifier).
bool is_identifier_start(char32_t c);
// XID_Continue (any later character).
bool is_identifier_continue(char32_t c);

// The NFKC form of a UTF-8 identifier, as Python stores names. ASCII text is returned as is.
std::string normalize_identifier(std::string_view name);

}  // namespace pelmora
