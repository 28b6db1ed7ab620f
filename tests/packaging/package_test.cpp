// The Debian packages velvix and velvix-landmarks (the model) made by CPack, checked by lintian,
// unpacked (both, and velvix alone), and their programs run from a folder without a model and
// with an empty environment: they find their data in their own prefix.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "process.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "virtual_display.hpp"  // ScopedFolder

namespace velvix {
namespace {

namespace fs = std::filesystem;
using testing::runProgram;

constexpr int kToolMilliseconds = 300'000;

// The detector the installed programs use and the data file it reads: the network where the
// build had it to ship, otherwise the cascade.
#if VELVIX_SHIPS_FACE_NETWORK
constexpr char kDetectorFile[] = "face_detection_back_256x256_barracuda.onnx";
constexpr char kDetectorName[] = "BlazeFace full-range face_detection_back_256x256_barracuda.onnx";
#else
constexpr char kDetectorFile[] = "haarcascade_frontalface_alt2.xml";
constexpr char kDetectorName[] = "OpenCV cascade haarcascade_frontalface_alt2.xml";
#endif

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string field(const std::string& deb, const std::string& name) {
    return runProgram({"/usr/bin/env", "dpkg-deb", "--field", deb, name}).output;
}

std::string listing(const std::string& deb) {
    return runProgram({"/usr/bin/env", "dpkg-deb", "--contents", deb}).output;
}

// What each package says it is and holds: the model apart, with its research-only terms, which
// put it into non-free and a package that recommends it into contrib; every data file with the
// terms it is under; nothing put into /etc.
void expectPackagesHoldWhatAnInstallationNeeds(const std::string& deb,
                                               const std::string& landmarksDeb,
                                               const std::string& root) {
    EXPECT_EQ(field(deb, "Section"), "contrib/video\n");
    EXPECT_EQ(field(landmarksDeb, "Section"), "non-free/video\n");
    EXPECT_EQ(field(deb, "Recommends"), "velvix-landmarks, v4l2loopback-dkms\n");
    // Worked out by dpkg-shlibdeps from the libraries the programs link.
    const std::string depends = field(deb, "Depends");
    for (const char* library : {"libgtk-3-0", "libwebkit2gtk-4.1-0", "libpipewire-0.3-0"}) {
        EXPECT_TRUE(contains(depends, library)) << library << " in " << depends;
    }
    const std::string contents = listing(deb);
    EXPECT_FALSE(contains(contents, "velvix.dat")) << contents;
    for (const std::string& path :
         {std::string("/usr/share/velvix/") + kDetectorFile,
          std::string("/usr/share/applications/") + VELVIX_APP_ID + ".desktop",
          std::string("/usr/share/velvix/modprobe.d/velvix-camera.conf")}) {
        EXPECT_TRUE(contains(contents, " ." + path + "\n")) << path << " in\n" << contents;
    }
    for (const std::string& line : linesOf(contents)) {
        EXPECT_TRUE(contains(line, " ./usr/")) << line;
    }
    for (const char* package : {"velvix", "velvix-landmarks"}) {
        // The file names the copyright file's "Files:" stanzas cover.
        std::set<std::string> licensed;
        const auto copyright = testing::readFile(root + "/usr/share/doc/" + package + "/copyright");
        for (const std::string& line : linesOf(copyright)) {
            std::istringstream files(line.starts_with("Files:") ? line.substr(6) : "");
            for (std::string file; files >> file;) {
                licensed.insert(fs::path(file).filename().string());
            }
        }
        for (const auto& entry : fs::directory_iterator(root + "/usr/share/velvix")) {
            EXPECT_TRUE(!entry.is_regular_file() ||
                        licensed.contains(entry.path().filename().string()))
                << "no licence stanza for " << entry.path() << " in " << package;
        }
    }
    EXPECT_TRUE(contains(testing::readFile(root + "/usr/share/doc/velvix-landmarks/copyright"),
                         "research use only"));
}

TEST(Package, HoldsWhatItNeedsPassesLintianAndItsProgramsRunFromTheirOwnPrefix) {
    for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "file", "lintian"}) {
        if (runProgram({"/bin/sh", "-c", std::string("command -v ") + tool}).exitCode != 0) {
            GTEST_SKIP() << "needs " << tool << " (scripts/setup installs it)";
        }
    }
    const testing::ScopedFolder folder;
    const auto built =
        runProgram({VELVIX_CPACK, "--config", VELVIX_CPACK_CONFIG, "-B", folder.path() + "/out"},
                   kToolMilliseconds);
    std::string deb;
    std::string landmarksDeb;
    for (const auto& entry : fs::directory_iterator(folder.path() + "/out")) {
        if (entry.path().extension() == ".deb") {
            const bool model = entry.path().filename().string().starts_with("velvix-landmarks_");
            (model ? landmarksDeb : deb) = entry.path().string();
        }
    }
    ASSERT_FALSE(deb.empty() || landmarksDeb.empty()) << "CPack made no packages:\n"
                                                      << built.output;
    // Both packages, and velvix alone.
    const std::string root = folder.path() + "/root";
    const std::string alone = folder.path() + "/without-model";
    for (const auto& [package, into] : {std::pair{deb, alone}, {deb, root}, {landmarksDeb, root}}) {
        runProgram({"/usr/bin/env", "dpkg", "-x", package, into});
    }
    expectPackagesHoldWhatAnInstallationNeeds(deb, landmarksDeb, root);
    const auto lintian =
        runProgram({"/usr/bin/env", "lintian", deb, landmarksDeb}, kToolMilliseconds);
    for (const std::string& line : linesOf(lintian.output)) {
        EXPECT_FALSE(line.starts_with("E: ") || line.starts_with("W: ")) << line;
    }

    const std::string run = folder.path() + "/run";
    fs::create_directories(run);
    fs::copy_file(VELVIX_DEMO_PHOTO, run + "/portrait.png");
    // From `run` with an empty environment: no source tree or test camera is reachable.
    const auto isolated = [&](std::vector<std::string> program) {
        program.insert(program.begin(), {"/usr/bin/env", "-i", "-C", run, "PATH=/usr/bin:/bin"});
        return program;
    };
    const auto processed =
        runProgram(isolated({root + "/usr/bin/velvix-process", "portrait.png"}), kToolMilliseconds);
    ASSERT_EQ(processed.exitCode, 0) << processed.output;
    for (const std::string& said :
         {std::string("\"face\":{\"accepted\":true"),
          "landmark model " + root + "/usr/share/velvix/velvix.dat: 5 stages",
          std::string("\"detector\":\"") + kDetectorName + "\""}) {
        EXPECT_TRUE(contains(processed.output, said)) << processed.output;
    }

    // velvix alone, headless on the portrait as test camera, finds no model anywhere and says
    // once, as it starts, where it comes from; the end of its input stops it.
    const testing::ScopedRingName ring;
    const std::string log = folder.path() + "/velvix.log";
    testing::ChildProcess velvix(
        isolated({alone + "/usr/bin/velvix", "--headless", "--exit-on-eof", "--run-seconds", "120",
                  "--ring", ring.get(), "--file-camera", "portrait.png"}),
        log, true);
    velvix.writeInput("velv:CAMERA:Test camera: portrait.png\nvelv:SMOOTH:on,60\n");
    EXPECT_TRUE(
        testing::waitUntil([&] { return FrameRingReader::open(ring.get()).readyCount() >= 30; },
                           std::chrono::milliseconds(kToolMilliseconds)))
        << testing::readFile(log);
    velvix.closeInput();
    EXPECT_EQ(velvix.waitForExit(kToolMilliseconds), 0) << testing::readFile(log);
    const std::string said = testing::readFile(log);
    EXPECT_EQ(testing::countLinesWith(said, "landmark model velvix.dat: no such file"), 1) << said;
    EXPECT_TRUE(contains(said, "the package velvix-landmarks")) << said;
}

}  // namespace
}  // namespace velvix
