// velvix-write-icons FOLDER NAME: writes the window's icon as the desktop's icon theme wants
// it, FOLDER/hicolor/SIZExSIZE/apps/NAME.png for every size and
// FOLDER/hicolor/scalable/apps/NAME.svg, drawn by the same code as the window's icon.
#include <cairo-svg.h>
#include <cairo.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "icon.hpp"

namespace {

bool finish(cairo_surface_t* surface, const std::string& path) {
    cairo_surface_finish(surface);
    const bool written = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    if (!written) {
        std::fprintf(stderr, "velvix-write-icons: cannot write %s\n", path.c_str());
    }
    return written;
}

bool writePng(const std::filesystem::path& folder, const std::string& name, int size) {
    const std::string side = std::to_string(size);
    const std::filesystem::path apps = folder / "hicolor" / (side + "x" + side) / "apps";
    std::filesystem::create_directories(apps);
    const std::string path = (apps / (name + ".png")).string();
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cr = cairo_create(surface);
    velvix::paintIcon(cr, size);
    cairo_destroy(cr);
    const bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    return finish(surface, path) && written;
}

bool writeSvg(const std::filesystem::path& folder, const std::string& name) {
    const std::filesystem::path apps = folder / "hicolor" / "scalable" / "apps";
    std::filesystem::create_directories(apps);
    const std::string path = (apps / (name + ".svg")).string();
    constexpr double kSide = 128;
    cairo_surface_t* surface = cairo_svg_surface_create(path.c_str(), kSide, kSide);
    cairo_svg_surface_set_document_unit(surface, CAIRO_SVG_UNIT_PX);
    cairo_t* cr = cairo_create(surface);
    velvix::paintIcon(cr, kSide);
    cairo_destroy(cr);
    return finish(surface, path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: velvix-write-icons FOLDER NAME\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const std::string name = argv[2];
    bool written = writeSvg(folder, name);
    for (const int size : velvix::kIconSizes) {
        written = writePng(folder, name, size) && written;
    }
    cairo_debug_reset_static_data();
    return written ? 0 : 1;
}
