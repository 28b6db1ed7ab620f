#pragma once

#include <array>

typedef struct _cairo cairo_t;

namespace velvix {

// The sizes the icon is drawn at for the window and installed at in the hicolor theme.
inline constexpr std::array<int, 10> kIconSizes = {16, 22, 24, 32, 48, 64, 96, 128, 256, 512};

// The product's icon: a violet-to-rose rounded square holding a soft white disc, drawn into
// the square from the origin to (size, size).
void paintIcon(cairo_t* cr, double size);

}  // namespace velvix
