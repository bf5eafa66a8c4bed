// The loader model a simulated device plays, made from its options: shared by the
// device on a line (SimDevice) and the in-process port (SimulatedBackend).
#pragma once

#include "sim/LoaderModel.h"
#include "sim/SimDevice.h"

#include <memory>
#include <string>

namespace sim {

// A new model in its start state for `options`; null with `error` set when the
// options do not make a valid loader.
std::unique_ptr<LoaderModel> MakeLoaderModel(const SimOptions& options, std::string& error);

}  // namespace sim
