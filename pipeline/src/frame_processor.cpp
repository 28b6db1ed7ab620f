#include "velvix/pipeline/frame_processor.hpp"

#include <algorithm>
#include <cstring>

#include "velvix/pipeline/pixels.hpp"
#include "velvix/pipeline/skin_tone.hpp"

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

// The accepted face as a rectangle of the worker's own buffers, which are turned by 180
// degrees against the face step's coordinates; nothing when it does not lie inside the frame.
std::optional<PixelArea> faceRectangleInFrame(const FaceOutputs& face, FrameSize size) {
    const PixelArea rectangle{size.width - face.faceX - face.faceWidth,
                              size.height - face.faceY - face.faceHeight, face.faceWidth,
                              face.faceHeight};
    const bool inside = face.faceX >= 0 && face.faceY >= 0 && rectangle.width > 0 &&
                        rectangle.height > 0 && rectangle.x >= 0 && rectangle.y >= 0;
    if (!inside) {
        return std::nullopt;
    }
    return rectangle;
}

// The area smoothed for a face region: its bounds, widened to whole steps of 16 columns where
// the frame allows, so that the vectorised filter works on the buffer directly.
PixelArea filterAreaFor(const PixelArea& bounds, FrameSize size, int grid) {
    PixelArea area = bounds;
    area.width = std::min(size.width, (bounds.width + grid - 1) / grid * grid);
    area.x = std::max(0, std::min(bounds.x, size.width - area.width));
    return area;
}

void copyRectangleOut(const std::uint8_t* frame, FrameSize size, const PixelArea& r,
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
void copyRectangleBack(const std::uint8_t* packed, const PixelArea& r, FrameSize size,
                       std::uint8_t* output) {
    for (int row = 0; row < r.height; ++row) {
        const std::uint8_t* source =
            packed + static_cast<std::size_t>(row) * static_cast<std::size_t>(r.width) * 4;
        std::uint8_t* destination =
            output + (static_cast<std::size_t>(r.y + row) * static_cast<std::size_t>(size.width) +
                      static_cast<std::size_t>(r.x)) *
                         3;
        packPixels(source, destination, r.width, 1, PackFrom::filterLayout);
    }
}

// The first byte of [from, to) that is not 0, or `to`. Eight bytes a step: a row of a face's
// mask is mostly long runs.
const std::uint8_t* firstNonZero(const std::uint8_t* from, const std::uint8_t* to) {
    for (; to - from >= 8; from += 8) {
        std::uint64_t eight = 0;
        std::memcpy(&eight, from, sizeof eight);
        if (eight != 0) {
            break;
        }
    }
    return std::find_if(from, to, [](std::uint8_t a) { return a != 0; });
}

const std::uint8_t* firstZero(const std::uint8_t* from, const std::uint8_t* to) {
    const void* zero = std::memchr(from, 0, static_cast<std::size_t>(to - from));
    return zero == nullptr ? to : static_cast<const std::uint8_t*>(zero);
}

// The pixels of a face's area that its mask smooths, blended with their unsmoothed twins by
// the mask (and the skin's tone, when learned) and written into the 3-byte output frame, run by
// run of alpha above 0 while the run is in the caches. Pixels of alpha 0 are left alone, so
// that the areas of faces side by side, which may overlap, keep each other's smoothing.
struct MaskedBlend {
    const std::uint8_t* unsmoothed;  // the area's pixels, 4 bytes each, rows area.width apart
    std::uint8_t* smoothed;          // the same layout; blended in place
    const std::uint8_t* alpha;
    const SkinTone* tone;  // null: the fixed skin-colour test alone
};

void blendRun(const MaskedBlend& b, std::size_t first, int count) {
    const std::size_t bytes = first * 4;
    if (b.tone != nullptr) {
        blendSkinOfTone(b.unsmoothed + bytes, b.smoothed + bytes, b.alpha + first,
                        static_cast<std::size_t>(count), *b.tone);
    } else {
        blendSkin(b.unsmoothed + bytes, b.smoothed + bytes, b.alpha + first,
                  static_cast<std::size_t>(count));
    }
}

void blendMaskedIntoOutput(const MaskedBlend& b, const PixelArea& r, FrameSize size,
                           std::uint8_t* output) {
    for (int row = 0; row < r.height; ++row) {
        const std::size_t rowStart =
            static_cast<std::size_t>(row) * static_cast<std::size_t>(r.width);
        const std::uint8_t* rowAlpha = b.alpha + rowStart;
        const std::uint8_t* rowEnd = rowAlpha + r.width;
        std::uint8_t* destination =
            output + (static_cast<std::size_t>(r.y + row) * static_cast<std::size_t>(size.width) +
                      static_cast<std::size_t>(r.x)) *
                         3;
        int column = 0;
        while (column < r.width) {
            const int start = static_cast<int>(firstNonZero(rowAlpha + column, rowEnd) - rowAlpha);
            const int end = static_cast<int>(firstZero(rowAlpha + start, rowEnd) - rowAlpha);
            if (end > start) {
                const std::size_t first = rowStart + static_cast<std::size_t>(start);
                blendRun(b, first, end - start);
                packPixels(b.smoothed + first * 4,
                           destination + static_cast<std::size_t>(start) * 3, end - start, 1,
                           PackFrom::filterLayout);
            }
            column = end;
        }
    }
}

// One smoothing pass over the frame in the buffers.
struct Smoothing {
    FrameBuffers& buffers;
    FrameSize size;
    int level;
    Smoother& smoother;
};

// Smooths a picture and gives it back its finest grain, so that skin keeps its texture.
void smoothKeepingGrain(const Smoothing& s, std::uint8_t* source, std::uint8_t* destination,
                        int width, int height) {
    s.smoother.smoothFrame(source, destination, width, height, s.level);
    returnFineGrain(source, destination, width, height, s.level, s.buffers.grainScratch());
}

void smoothFaceRectangle(const Smoothing& s, const PixelArea& r, const FaceOutputs& face) {
    FrameBuffers& b = s.buffers;
    copyRectangleOut(b.capture(), s.size, r, b.work());
    smoothKeepingGrain(s, b.work(), b.capture(), r.width, r.height);
    maskFeatures(b.work(), b.capture(), r.width, r.height, FeatureBoxes::keepUnsmoothed, face);
    copyRectangleBack(b.capture(), r, s.size, b.output());
}

void smoothWholeFrame(const Smoothing& s, const FaceOutputs& face) {
    FrameBuffers& b = s.buffers;
    smoothKeepingGrain(s, b.capture(), b.work(), s.size.width, s.size.height);
    maskFeatures(b.capture(), b.work(), s.size.width, s.size.height, FeatureBoxes::ignore, face);
    packPixels(b.work(), b.output(), s.size.width, s.size.height, PackFrom::filterLayout);
}

// The rectangle mask: the face step's rectangle smoothed as a whole, or the whole frame when
// there is no face.
void smoothWithinRectangle(const Smoothing& s, const FaceOutputs& face) {
    const auto rectangle = face.faceValid ? faceRectangleInFrame(face, s.size) : std::nullopt;
    if (rectangle) {
        smoothFaceRectangle(s, *rectangle, face);
    } else {
        smoothWholeFrame(s, face);
    }
}

// Only the area around the face is smoothed; the mask decides how much of it is used, and the
// skin's own colour, where the landmarks show where to learn it, which pixels are skin. The
// capture buffer keeps the camera's frame for the next face.
void smoothFaceRegion(const Smoothing& s, const FaceRegion& region) {
    FrameBuffers& b = s.buffers;
    const PixelArea area =
        filterAreaFor(region.bounds, s.size, std::max(1, s.smoother.columnGrid()));
    const std::optional<SkinTone> tone =
        region.landmarks ? learnSkinTone(*region.landmarks, b.capture(), s.size) : std::nullopt;
    copyRectangleOut(b.capture(), s.size, area, b.work());
    smoothKeepingGrain(s, b.work(), b.smoothedArea(), area.width, area.height);
    drawFaceMask(region, 0, {b.mask(), area, area.width}, b.maskScratch());
    if (tone) {
        keepHairTexture(*region.landmarks, *tone, b.work(), {b.mask(), area, area.width});
    }
    blendMaskedIntoOutput({b.work(), b.smoothedArea(), b.mask(), tone ? &*tone : nullptr}, area,
                          s.size, b.output());
}

// Every face of the frame, each by its own mask: the widest as the fade gives it, the others
// as the face step found them.
void smoothFaceRegions(const Smoothing& s, const FaceRegion& widest, const FaceOutputs& face) {
    smoothFaceRegion(s, widest);
    for (int k = 0; k < face.otherFaceCount; ++k) {
        const auto region = faceRegionOf(face.otherFaces[static_cast<std::size_t>(k)], s.size);
        if (region) {
            smoothFaceRegion(s, *region);
        }
    }
}

// While the rest of the frame fades in or out, the whole frame is smoothed and blended by a
// mask of the face over the rest's alpha.
void smoothAroundFaceRegion(const Smoothing& s, const FaceRegion& region, std::uint8_t background) {
    FrameBuffers& b = s.buffers;
    const PixelArea frame{0, 0, s.size.width, s.size.height};
    smoothKeepingGrain(s, b.capture(), b.work(), s.size.width, s.size.height);
    drawFaceMask(region, background, {b.mask(), frame, frame.width}, b.maskScratch());
    blendSkin(b.capture(), b.work(), b.mask(), frame.pixels());
    packPixels(b.work(), b.output(), s.size.width, s.size.height, PackFrom::filterLayout);
}

void smoothWithinFaceOutline(const Smoothing& s, const FaceOutputs& face, FaceRegionFade& fade) {
    const FaceRegionFade::Step step = fade.next(faceRegionOf(face, s.size), s.size);
    if (step.region == nullptr) {
        smoothWholeFrame(s, face);
    } else if (step.background == 0) {
        smoothFaceRegions(s, *step.region, face);
    } else {
        smoothAroundFaceRegion(s, *step.region, step.background);
    }
}

void smoothPackedFrame(FrameBuffers& buffers, FrameSize size, const AppliedSettings& settings,
                       const ProcessingSteps& steps, const GreyAreas& greyReady, FaceOutputs& face,
                       FaceRegionFade& fade) {
    if (!settings.smoothOn || steps.smoother == nullptr) {
        fade.forget();
        return;
    }
    if (steps.faceStep != nullptr) {
        steps.faceStep->run(buffers.faceStepBuffers(size, greyReady), face);
    }
    const Smoothing smoothing{buffers, size, settings.smoothLevel, *steps.smoother};
    if (settings.maskShape == MaskShape::rectangle) {
        fade.forget();
        smoothWithinRectangle(smoothing, face);
    } else {
        smoothWithinFaceOutline(smoothing, face, fade);
    }
}

// The areas of the grey picture the face step will read, cut to the frame; none when it will
// not run.
GreyAreas greyAreasToConvert(const AppliedSettings& settings, const ProcessingSteps& steps,
                             FrameSize size) {
    if (!settings.smoothOn || steps.smoother == nullptr || steps.faceStep == nullptr) {
        return {};
    }
    const GreyAreas wanted = steps.faceStep->greyAreasWanted();
    GreyAreas inFrame;
    for (int k = 0; k < wanted.count && k < static_cast<int>(wanted.areas.size()); ++k) {
        const GreyAreas::Area& a = wanted.areas[static_cast<std::size_t>(k)];
        const GreyAreas::Area cut{std::max(a.left, 0), std::max(a.top, 0),
                                  std::min(a.right, size.width), std::min(a.bottom, size.height)};
        if (cut.left < cut.right && cut.top < cut.bottom) {
            inFrame.areas[static_cast<std::size_t>(inFrame.count++)] = cut;
        }
    }
    return inFrame;
}

// Packs the camera's frame a band of rows at a time and converts the band's part of each grey
// area while those rows are still in the caches.
void packWithGrey(FrameBuffers& buffers, FrameSize size, const GreyAreas& areas) {
    if (areas.count == 0) {
        packPixels(buffers.capture(), buffers.output(), size.width, size.height,
                   PackFrom::captureLayout);
        return;
    }
    constexpr int kBandRows = 16;
    const auto width = static_cast<std::size_t>(size.width);
    for (int top = 0; top < size.height; top += kBandRows) {
        const int bottom = std::min(size.height, top + kBandRows);
        packPixels(buffers.capture() + static_cast<std::size_t>(top) * width * 4,
                   buffers.output() + static_cast<std::size_t>(top) * width * 3, size.width,
                   bottom - top, PackFrom::captureLayout);
        for (int k = 0; k < areas.count; ++k) {
            const GreyAreas::Area& a = areas.areas[static_cast<std::size_t>(k)];
            turnedGrey(buffers.output(), size, a.left, std::max(top, a.top), a.right,
                       std::min(bottom, a.bottom), buffers.grey());
        }
    }
}

}  // namespace

FrameBuffers::FrameBuffers(FrameSize size) {
    reserve(size);
}

void FrameBuffers::reserve(FrameSize size) {
    growTo(capture_, bytesFor(size, 4));
    growTo(output_, bytesFor(size, 3));
    growTo(work_, bytesFor(size, 4));
    growTo(smoothedArea_, bytesFor(size, 4));
    growTo(turned_, bytesFor(size, 3));
    growTo(small_, smallBytesFor(size));
    growTo(grey_, bytesFor(size, 1));
    growTo(mask_, bytesFor(size, 1));
    growTo(maskRowSums_, maskRowSumBytes(size));
    if (maskColumnSums_.size() < static_cast<std::size_t>(size.width)) {
        maskColumnSums_.resize(static_cast<std::size_t>(size.width));
    }
    const std::size_t grainValues = grainScratchBytes(size.width) / sizeof(std::int32_t);
    if (grainScratch_.size() < grainValues) {
        grainScratch_.resize(grainValues);
    }
}

FaceStepBuffers FrameBuffers::faceStepBuffers(FrameSize size, const GreyAreas& greyReady) {
    return {output(), turned(), small(), grey(), size, greyReady};
}

void processFrame(FrameBuffers& buffers, FrameSize size, const AppliedSettings& settings,
                  const ProcessingSteps& steps, FaceOutputs& face, FaceRegionFade& fade) {
    const GreyAreas greyReady = greyAreasToConvert(settings, steps, size);
    packWithGrey(buffers, size, greyReady);
    if (steps.tap != nullptr) {
        steps.tap->unsmoothed(buffers.output(), size);
    }
    smoothPackedFrame(buffers, size, settings, steps, greyReady, face, fade);
    if (steps.tap != nullptr) {
        steps.tap->published(buffers.output(), size);
    }
}

}  // namespace velvix
