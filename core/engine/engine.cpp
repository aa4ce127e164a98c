#include <morvex/engine.hpp>

namespace morvex::dic {

DICEngine::DICEngine() = default;
DICEngine::~DICEngine() = default;

void DICEngine::cancel() { cancel_requested.store(true); }

}  // namespace morvex::dic
