#pragma once
// Where a bundle's preamble goes in a script: after what must stay at the top of it.

#include <cstddef>
#include <string_view>

namespace pelmora {

// The script is cut in two: code[0, head_end) stays ahead of the preamble and
// code[tail_start, end) follows it; code[head_end, tail_start) is dropped (blanks only).
struct PreambleSplit {
  size_t head_end = 0;
  size_t tail_start = 0;
  // True when the head holds at least one `from __future__` import.
  bool has_future_imports = false;
};

// The split point of `code`, a valid Python source text.
//
// A `from __future__` import must precede every other statement of a module but the
// docstring, so the head is: a leading byte-order mark, then, when the script begins with
// future imports (optionally after its docstring), everything up to the end of the logical
// line of the last of them. The head then ends at the start of a line and tail_start ==
// head_end. When the last future import shares its line with a later statement
// ("from __future__ import annotations; import os"), the head ends after that ';' (a
// trailing ';' is valid Python) and the tail starts at the statement that follows, so the
// blanks between them are dropped and the tail begins at column 0.
//
// Without leading future imports the head is only the byte-order mark, if any: the
// preamble goes ahead of everything else.
//
// The scan stops at the first statement that is neither the docstring nor a future
// import, and at anything it does not recognise, so it never reads past the top of the
// script; on text that is not valid Python the result is still a pair of offsets within
// it, with head_end <= tail_start.
PreambleSplit find_preamble_split(std::string_view code);

}  // namespace pelmora
