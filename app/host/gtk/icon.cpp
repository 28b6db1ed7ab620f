#include "icon.hpp"

#include <cairo.h>

#include <cmath>

namespace velvix {

void paintIcon(cairo_t* cr, double size) {
    const double s = size;
    const double radius = s * 0.22;
    cairo_new_sub_path(cr);
    cairo_arc(cr, s - radius, radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, s - radius, s - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, radius, s - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, radius, radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
    cairo_pattern_t* fill = cairo_pattern_create_linear(0, 0, s, s);
    cairo_pattern_add_color_stop_rgb(fill, 0, 0x9d / 255.0, 0x6b / 255.0, 1.0);
    cairo_pattern_add_color_stop_rgb(fill, 1, 0xf2 / 255.0, 0x7a / 255.0, 0xa8 / 255.0);
    cairo_set_source(cr, fill);
    cairo_fill(cr);
    cairo_pattern_destroy(fill);
    cairo_pattern_t* disc =
        cairo_pattern_create_radial(s * 0.45, s * 0.42, 0, s / 2, s / 2, s * 0.25);
    cairo_pattern_add_color_stop_rgba(disc, 0, 1, 1, 1, 1);
    cairo_pattern_add_color_stop_rgba(disc, 1, 1, 1, 1, 0.8);
    cairo_set_source(cr, disc);
    cairo_arc(cr, s / 2, s / 2, s * 0.25, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_pattern_destroy(disc);
}

}  // namespace velvix
