// Reading the process's environment variables. Any thread.
#pragma once

#include <optional>
#include <string>

namespace velto {
namespace sim {

// The variable's value now, or nothing when it is unset. On Windows it is read from the process's
// environment block, not from this library's C runtime: the interpreter sets variables through
// its own runtime (os.environ), whose changes a MinGW-built library's getenv never sees.
std::optional<std::string> environmentVariable(const char* name);

}  // namespace sim
}  // namespace velto
