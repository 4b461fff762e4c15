#include "simengine/SimSubInterface.h"

#include <string>
#include <utility>

#include "simengine/Journal.h"

namespace velto {
namespace sim {

SimSubInterface::SimSubInterface(int id, std::shared_ptr<EngineState> engine)
    : id_(id), engine_(std::move(engine)), reference_(id) {}

void SimSubInterface::release() {
    Args args;
    if (!reference_.giveBack()) {
        args.push_back({"repeated", boolValue(true)});
    }
    journal().record(engine_->id(), "SubInterface" + std::to_string(id_) + ".release",
                     std::move(args));
}

}  // namespace sim
}  // namespace velto
