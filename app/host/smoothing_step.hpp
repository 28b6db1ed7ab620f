#pragma once

#include <cstdint>

#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/processing_steps.hpp"

namespace velvix {

// The skin filter as the frame worker's smoothing step.
class FilterSmoothingStep final : public Smoother {
  public:
    void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                     int level) override {
        filter_.smoothFrame(source, destination, width, height, level);
    }
    int columnGrid() const override { return kFilterGrid; }

  private:
    FilterSmoother filter_;
};

}  // namespace velvix
