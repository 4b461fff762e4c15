// The simulated engine's version, as getEngineVersion reports it.
#pragma once

namespace velto {
namespace sim {

constexpr const char* kEngineVersion = "4.2.0-sim";
constexpr int kEngineBuild = 4201;

}  // namespace sim
}  // namespace velto
