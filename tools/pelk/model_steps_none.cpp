#include <stdexcept>

#include "model_steps.hpp"

namespace pelk::cli {
namespace {

std::runtime_error no_models() {
  return std::runtime_error("this program runs no models; run the command through `pelk`, which starts pelk-full");
}

}  // namespace

Models load_models(const ModelOptions&) { throw no_models(); }

OverlapResolution resolve_overlaps(const std::vector<ReportRow>&, const ClipAnnotationData&, Models&, int) {
  throw no_models();
}

std::vector<SwapDecision> decide_episodes(const ClipAnnotationData&, Models&) { throw no_models(); }

void repair_with_models(const RepairOptions&) { throw no_models(); }

}  // namespace pelk::cli
