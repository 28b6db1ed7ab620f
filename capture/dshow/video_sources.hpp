#pragma once

#include <dshow.h>

#include <memory>
#include <string>
#include <vector>

namespace velvix {

// Where a DirectShow backend's devices come from: their names, and for one of them a source
// filter added to a graph.
class VideoSources {
  public:
    virtual ~VideoSources() = default;

    // The devices present now, in a stable order.
    virtual std::vector<std::u16string> names() = 0;
    // Adds the source filter of device `index` to `graph` under its name. Fails when the
    // device is gone or cannot be made.
    virtual HRESULT addSource(int index, IGraphBuilder& graph, IBaseFilter** source) = 0;
};

// The video input devices of the system device enumerator: every moniker whose property bag
// can be read, named by its friendly name (or its description).
std::shared_ptr<VideoSources> systemVideoInputs();

}  // namespace velvix
