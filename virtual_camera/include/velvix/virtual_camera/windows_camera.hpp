#pragma once

#include <string>
#include <string_view>

// The virtual camera on Windows: "Velvix Camera", a DirectShow video source of our own
// (velvix-camera.dll) that video-call programs load and that reads the frame ring itself. The
// program feeds nothing; it only tells whether the camera is installed and read.
namespace velvix::virtual_camera {

// The name video-call programs list it under; it begins with kLabelPrefix, so the program's
// own camera list leaves it out.
inline constexpr char kWindowsCameraName[] = "Velvix Camera";
// The camera's COM class, in the registry's spelling.
inline constexpr wchar_t kWindowsCameraClassId[] = L"{A408813B-903E-419C-875F-781BB7B4CC76}";
// Names the ring the camera reads when it is not the program's default one (Velvix started
// with --ring, or a test's own ring); read by the process that loads the camera.
inline constexpr char kCameraRingVariable[] = "VELVIX_CAMERA_RING";

enum class WindowsCameraUse {
    notInstalled,  // not registered as a COM class
    idle,          // registered; no program streams from the ring now
    reading,       // a program streams from the ring through it
};

WindowsCameraUse windowsCameraUse(std::string_view ringName);

// Held by a camera while a program streams from ring `ringName` through it, for
// windowsCameraUse to see. It goes with the object, or with its process however that ends.
class ReadingMark {
  public:
    explicit ReadingMark(std::string_view ringName);
    ~ReadingMark();
    ReadingMark(const ReadingMark&) = delete;
    ReadingMark& operator=(const ReadingMark&) = delete;

  private:
    void* event_;
};

}  // namespace velvix::virtual_camera
