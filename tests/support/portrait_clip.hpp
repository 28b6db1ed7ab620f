#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "velvix/pipeline/frame_size.hpp"

namespace velvix::testing {

// Where and how the portrait's face lies in a frame: its centre, its width in pixels and its
// turn (degrees, clockwise on screen), in upright frame coordinates.
struct PortraitPose {
    float centreX = 640;
    float centreY = 360;
    float faceWidth = 240;
    float degrees = 0;
    float reach = 0;  // above 0, only the photo within this many face widths of the face
};

// The demo portrait placed into webcam-sized frames on a textured background, moved, turned and
// scaled about its face: stills and clips with a face whose position is known on every frame.
class PortraitClip {
  public:
    explicit PortraitClip(const std::string& photoPath, FrameSize size = {1280, 720});

    bool loaded() const { return !photo_.empty(); }
    FrameSize size() const { return size_; }

    // One frame in the worker's frame layout: blue, green, red, bottom row first.
    std::vector<std::uint8_t> frame(const PortraitPose& pose) const;
    // One frame with a portrait for each pose, later ones over earlier ones.
    std::vector<std::uint8_t> frame(const std::vector<PortraitPose>& poses) const;
    // The frame without the portrait.
    std::vector<std::uint8_t> background() const;

    // Frame `index` of a clip of `frames` in which the face goes across the frame and back,
    // turning up to 15 degrees each way and growing and shrinking between 180 and 300 pixels.
    static PortraitPose movingPose(int index, int frames);
    // Frame `index` of a clip of `frames` with `faces` (1 to 4) portraits, each moving, turning
    // up to 10 degrees and growing by a sixth in its half (200 pixels wide) or quarter (130).
    static std::vector<PortraitPose> movingGroup(int faces, int index, int frames);

  private:
    void draw(const PortraitPose& pose, std::vector<std::uint8_t>& frame) const;

    FrameSize size_;
    int photoWidth_ = 0;
    int photoHeight_ = 0;
    std::vector<std::uint8_t> photo_;  // RGB, top row first
};

// Frames written as a YUV4MPEG2 file of 4:2:0 pictures (BT.601, full range) for the test camera.
class Y4mWriter {
  public:
    Y4mWriter(const std::string& path, FrameSize size);
    ~Y4mWriter();
    Y4mWriter(const Y4mWriter&) = delete;
    Y4mWriter& operator=(const Y4mWriter&) = delete;

    bool ok() const { return file_ != nullptr; }
    // One frame in the worker's frame layout (blue, green, red, bottom row first).
    void add(const std::vector<std::uint8_t>& frame);

  private:
    std::FILE* file_ = nullptr;
    FrameSize size_;
    std::vector<std::uint8_t> planes_;
};

// Writes a frame (the worker's layout) as a PNG file, the right way up.
bool writeFramePng(const std::string& path, const std::vector<std::uint8_t>& frame, FrameSize size);

}  // namespace velvix::testing
