#pragma once

#include <cstdint>
#include <optional>

#include "velvix/pipeline/face_mask.hpp"
#include "velvix/pipeline/face_outputs.hpp"
#include "velvix/pipeline/frame_size.hpp"

// The colour of one face's own skin, learned from its cheeks and forehead, so that inside the
// face's outline smoothing leaves what differs from that skin in colour (greyer or redder hair,
// a beard, glasses' frames, a beige wall) as it is, where the fixed skin-colour test lets a
// wide range of colours through. Brightness counts only where the face has hair and no
// blemishes to speak of, above the brows and below the lower lip: elsewhere it does not tell
// dark hair from a shadow or a mole on the skin, which smoothing must take.
namespace velvix {

// Chroma (BT.601 Cb and Cr less 128) in the units the blend counts in: the whole-number
// products of isSkinColour's test shifted right by kToneShift, about 7.8 units to one step.
inline constexpr int kToneShift = 15;
inline constexpr float kToneUnitsPerStep = 256000.0f / (1 << kToneShift);
// A tolerance is given in 1 / kToneUnit of itself.
inline constexpr int kToneUnit = 256;
// Pixels within one tolerance of the skin's chroma are smoothed fully; beyond, the weight falls
// with the square of the distance to nothing at the square root of kToneFade tolerances.
inline constexpr int kToneFade = 5;
// The tolerance is this many times the samples' spread (1.4826 times their median absolute
// deviation, the standard deviation of a normal spread), and at least kToneToleranceFloor steps
// of Cb or Cr. Measured on the annotated faces' cheeks, a narrower tolerance leaves some of
// their blotches (reddened or yellowed skin) less smoothed than the fixed test does.
inline constexpr float kToneSpreads = 5.0f;
inline constexpr float kToneToleranceFloor = 4.0f;
// Above the brows and below the lower lip, a pixel darker than this share of the skin's
// brightness keeps its texture, and one brighter than kHairFadeEnd is smoothed as skin; between
// them smoothing fades. On the annotated faces, fringes and beards lie mostly below 0.6 of the
// cheeks' brightness, and a lit forehead or chin hardly ever does.
inline constexpr float kHairFadeStart = 0.5f;
inline constexpr float kHairFadeEnd = 0.75f;

struct SkinTone {
    std::int32_t cb = 0;  // the skin's chroma, in tone units
    std::int32_t cr = 0;
    // Chroma differences times these, shifted right by 8, count kToneUnit to a tolerance.
    std::int32_t cbScale = 0;
    std::int32_t crScale = 0;
    std::int32_t brightness = 0;  // the skin's, as red + 2 green + blue
};

// The skin's colour of a face from samples of its picture: a grid on each cheek (between the
// lower lid, the nose's wing, the mouth's corner and the jaw, kept off their edges) and rows
// just above the brows. The chroma's middle is the samples' median, which a fringe over the
// forehead or a shadow on a cheek does not move. `landmarks` are in the buffer's columns and
// rows; `capture` is the frame in the capture layout. Nothing when too few samples lie in the
// frame, or when their chroma's middle is not skin-coloured by the fixed test (a grey picture,
// a strong colour cast): such a face keeps the fixed test.
std::optional<SkinTone> learnSkinTone(const FaceLandmarks& landmarks, const std::uint8_t* capture,
                                      FrameSize size);

// Lowers the alpha of `mask` where a pixel above the brows or below the lower lip is much darker
// than the skin (kHairFadeStart, kHairFadeEnd): a fringe or a beard keeps its texture.
// `pixels` holds the mask's area, 4 bytes a pixel (blue, green and red in either order), rows
// 4 x mask.stride bytes apart; `landmarks` are in the frame's columns and rows.
void keepHairTexture(const FaceLandmarks& landmarks, const SkinTone& tone,
                     const std::uint8_t* pixels, AlphaView mask);

}  // namespace velvix
