#include "velvix/pipeline/frame_processor.hpp"

#include <cstring>

#include "velvix/pipeline/pixels.hpp"

namespace velvix {
namespace {

std::size_t bytesFor(FrameSize size, int bytesPerPixel) {
    return static_cast<std::size_t>(size.pixels()) * static_cast<std::size_t>(bytesPerPixel);
}

// The quarter-size picture of the face step, with room for 32 more rows below it.
std::size_t smallBytesFor(FrameSize size) {
    return static_cast<std::size_t>(size.width / 4) *
           static_cast<std::size_t>(size.height / 4 + 32) * 3;
}

void growTo(std::vector<std::uint8_t>& buffer, std::size_t bytes) {
    if (buffer.size() < bytes) {
        buffer.resize(bytes);
    }
}

struct Rectangle {
    int x;
    int y;
    int width;
    int height;
};

// The accepted face as a rectangle of the worker's own buffers, which are turned by 180
// degrees against the face step's coordinates; nothing when it does not lie inside the frame.
std::optional<Rectangle> faceRectangleInFrame(const FaceOutputs& face, FrameSize size) {
    const Rectangle rectangle{size.width - face.faceX - face.faceWidth,
                              size.height - face.faceY - face.faceHeight, face.faceWidth,
                              face.faceHeight};
    const bool inside = face.faceX >= 0 && face.faceY >= 0 && rectangle.width > 0 &&
                        rectangle.height > 0 && rectangle.x >= 0 && rectangle.y >= 0;
    if (!inside) {
        return std::nullopt;
    }
    return rectangle;
}

void copyRectangleOut(const std::uint8_t* frame, FrameSize size, const Rectangle& r,
                      std::uint8_t* packed) {
    const std::size_t rowBytes = static_cast<std::size_t>(r.width) * 4;
    for (int row = 0; row < r.height; ++row) {
        const std::size_t source =
            (static_cast<std::size_t>(r.y + row) * static_cast<std::size_t>(size.width) +
             static_cast<std::size_t>(r.x)) *
            4;
        std::memcpy(packed + rowBytes * static_cast<std::size_t>(row), frame + source, rowBytes);
    }
}

// Writes the packed 4-byte rectangle back into the 3-byte output frame, keeping byte order.
void copyRectangleBack(const std::uint8_t* packed, const Rectangle& r, FrameSize size,
                       std::uint8_t* output) {
    for (int row = 0; row < r.height; ++row) {
        const std::uint8_t* source =
            packed + static_cast<std::size_t>(row) * static_cast<std::size_t>(r.width) * 4;
        std::uint8_t* destination =
            output + (static_cast<std::size_t>(r.y + row) * static_cast<std::size_t>(size.width) +
                      static_cast<std::size_t>(r.x)) *
                         3;
        packPixels(source, destination, r.width, 1, true);
    }
}

void smoothFaceRectangle(FrameBuffers& buffers, FrameSize size, const Rectangle& r, int level,
                         Smoother& smoother, const FaceOutputs& face) {
    copyRectangleOut(buffers.capture(), size, r, buffers.work());
    smoother.smoothFrame(buffers.work(), buffers.capture(), r.width, r.height, level);
    maskFeatures(buffers.work(), buffers.capture(), r.width, r.height, true, face);
    copyRectangleBack(buffers.capture(), r, size, buffers.output());
}

void smoothWholeFrame(FrameBuffers& buffers, FrameSize size, int level, Smoother& smoother,
                      const FaceOutputs& face) {
    smoother.smoothFrame(buffers.capture(), buffers.work(), size.width, size.height, level);
    maskFeatures(buffers.capture(), buffers.work(), size.width, size.height, false, face);
    packPixels(buffers.work(), buffers.output(), size.width, size.height, true);
}

}  // namespace

FrameBuffers::FrameBuffers(FrameSize size) {
    reserve(size);
}

void FrameBuffers::reserve(FrameSize size) {
    growTo(capture_, bytesFor(size, 4));
    growTo(output_, bytesFor(size, 3));
    growTo(work_, bytesFor(size, 4));
    growTo(turned_, bytesFor(size, 3));
    growTo(small_, smallBytesFor(size));
    growTo(grey_, bytesFor(size, 1));
}

FaceStepBuffers FrameBuffers::faceStepBuffers(FrameSize size) {
    return {output(), turned(), small(), grey(), size};
}

void processFrame(FrameBuffers& buffers, FrameSize size, const AppliedSettings& settings,
                  const ProcessingSteps& steps, FaceOutputs& face) {
    packPixels(buffers.capture(), buffers.output(), size.width, size.height, false);
    if (!settings.smoothOn || steps.smoother == nullptr) {
        return;
    }
    if (steps.faceStep != nullptr) {
        steps.faceStep->run(buffers.faceStepBuffers(size), face);
    }
    const auto rectangle = face.faceValid ? faceRectangleInFrame(face, size) : std::nullopt;
    if (rectangle) {
        smoothFaceRectangle(buffers, size, *rectangle, settings.smoothLevel, *steps.smoother, face);
    } else {
        smoothWholeFrame(buffers, size, settings.smoothLevel, *steps.smoother, face);
    }
}

}  // namespace velvix
