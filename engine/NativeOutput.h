// Lines for the process's native standard output (file descriptor 1, not Python's sys.stdout).
// Any thread; each line reaches the stream in one write, so lines written concurrently from
// several threads never interleave, and it is out before the call returns.
#pragma once

#include <cstddef>

namespace pyv {

// `line` must end with its newline. Errors on the stream are ignored.
void writeNativeLine(const char* line, std::size_t length) noexcept;

}  // namespace pyv
