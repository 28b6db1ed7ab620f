#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web_messages.hpp"

namespace velvix {

// Registered to run at the creation of every document, before the page's own scripts.
std::string_view documentScript();

// Wires the page's controls and, on every page but the sign-up page, fills the camera list
// from `cameraNames` (device index order) and selects the remembered camera. Each byte of a
// name reaches the page as the code unit of the same value, quotes and markup escaped, so the
// option's value is posted back byte for byte.
std::string composePageSetupScript(const std::vector<std::string>& cameraNames);

// The page setup script with the cameras as they are found now: composed afresh for every page
// that loads and whenever cameras are plugged in or removed.
class PageSetupScript {
  public:
    explicit PageSetupScript(CameraNameLister listCameras) : listCameras_(std::move(listCameras)) {}

    std::string text() const { return composePageSetupScript(listCameras_()); }

  private:
    CameraNameLister listCameras_;
};

}  // namespace velvix
