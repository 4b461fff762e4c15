// Result codes the simulated engine gives on its own (a test may force any other).
#pragma once

namespace velto {
namespace sim {

constexpr int kOk = 0;
// The operation was refused: a refused sub-interface, a path that cannot be resolved.
constexpr int kFailed = -1;
// A null text, record or out pointer, or an unknown id.
constexpr int kInvalidArgument = -2;

}  // namespace sim
}  // namespace velto
