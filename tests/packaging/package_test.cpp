// The Debian packages as a user gets them: velvix and velvix-landmarks (the model), built with
// CPack from this build tree, looked at with dpkg-deb, checked by lintian and
// desktop-file-validate, unpacked with dpkg -x into folders of their own (velvix alone, and
// both), and their programs run from another folder that holds no model, under strace, to see
// every file they open.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "process.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "virtual_display.hpp"

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

bool onPath(const std::string& program) {
    return runProgram({"/bin/sh", "-c", "command -v " + program}).exitCode == 0;
}

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

// The file names the copyright file's "Files:" stanzas cover.
std::set<std::string> filesWithLicences(const std::string& copyright) {
    std::set<std::string> names;
    for (const std::string& line : linesOf(copyright)) {
        if (line.starts_with("Files:")) {
            std::istringstream files(line.substr(6));
            for (std::string file; files >> file;) {
                names.insert(fs::path(file).filename().string());
            }
        }
    }
    return names;
}

constexpr char kModelMissing[] = "landmark model velvix.dat: no such file";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Built and unpacked once for all cases.
class Package : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        for (const char* tool :
             {"dpkg-deb", "dpkg-shlibdeps", "file", "lintian", "desktop-file-validate", "strace"}) {
            if (!onPath(tool)) {
                missingTool_ = tool;
                return;
            }
        }
        folder_ = new testing::ScopedFolder;
        const auto built = runProgram(
            {VELVIX_CPACK, "--config", VELVIX_CPACK_CONFIG, "-B", folder_->path() + "/out"},
            kToolMilliseconds);
        buildLog_ = built.output;
        for (const auto& entry : fs::directory_iterator(folder_->path() + "/out")) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() == ".deb") {
                (name.starts_with("velvix-landmarks_") ? landmarksDeb_ : deb_) =
                    entry.path().string();
            }
        }
        if (!deb_.empty() && !landmarksDeb_.empty()) {
            runProgram({"/usr/bin/env", "dpkg", "-x", deb_, rootWithoutModel()});
            runProgram({"/usr/bin/env", "dpkg", "-x", deb_, root()});
            runProgram({"/usr/bin/env", "dpkg", "-x", landmarksDeb_, root()});
        }
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    void SetUp() override {
        if (!missingTool_.empty()) {
            GTEST_SKIP() << "needs " << missingTool_ << " (scripts/setup installs it)";
        }
        ASSERT_FALSE(deb_.empty() || landmarksDeb_.empty()) << "CPack made no packages:\n"
                                                            << buildLog_;
    }

    // Both packages unpacked, and velvix alone.
    static std::string root() { return folder_->path() + "/root"; }
    static std::string rootWithoutModel() { return folder_->path() + "/without-model"; }
    static std::string field(const std::string& deb, const std::string& name) {
        const auto read = runProgram({"/usr/bin/env", "dpkg-deb", "--field", deb, name});
        return read.output.substr(0, read.output.find_last_not_of('\n') + 1);
    }
    static std::string listing(const std::string& deb) {
        return runProgram({"/usr/bin/env", "dpkg-deb", "--contents", deb}).output;
    }

    static inline std::string missingTool_;
    static inline testing::ScopedFolder* folder_ = nullptr;
    static inline std::string buildLog_;
    static inline std::string deb_;
    static inline std::string landmarksDeb_;
};

TEST_F(Package, SaysWhatItIsAndHoldsEverythingAnInstallationNeeds) {
    // The model's research-only terms put it into non-free, and a package that recommends it
    // into contrib.
    for (const auto& [deb, fields] :
         {std::pair{deb_,
                    std::vector<std::pair<std::string, std::string>>{
                        {"Package", "velvix"},
                        {"Version", VELVIX_VERSION},
                        {"Section", "contrib/video"},
                        {"Recommends", "velvix-landmarks, v4l2loopback-dkms"}}},
          std::pair{landmarksDeb_, std::vector<std::pair<std::string, std::string>>{
                                       {"Package", "velvix-landmarks"},
                                       {"Version", VELVIX_VERSION},
                                       {"Section", "non-free/video"},
                                       {"Architecture", "all"},
                                       {"Enhances", "velvix"}}}}) {
        for (const auto& [name, value] : fields) {
            EXPECT_EQ(field(deb, name), value) << deb;
        }
    }
    // Worked out by dpkg-shlibdeps from the libraries the programs link.
    const std::string depends = field(deb_, "Depends");
    for (const char* library : {"libc6", "libgtk-3-0", "libwebkit2gtk-4.1-0", "libopencv-core",
                                "libv4l-0", "libpipewire-0.3-0"}) {
        EXPECT_TRUE(contains(depends, library)) << library << " in " << depends;
    }

    const std::string model = listing(landmarksDeb_);
    for (const char* path :
         {"/usr/share/velvix/velvix.dat", "/usr/share/doc/velvix-landmarks/copyright",
          "/usr/share/doc/velvix-landmarks/changelog.gz"}) {
        EXPECT_TRUE(contains(model, std::string(" .") + path + "\n")) << path << " in\n" << model;
    }
    for (const std::string& line : linesOf(model)) {
        EXPECT_TRUE(line.ends_with("/") || contains(line, "/velvix.dat") ||
                    contains(line, "/doc/velvix-landmarks/"))
            << line;
    }
    EXPECT_TRUE(contains(testing::readFile(root() + "/usr/share/doc/velvix-landmarks/copyright"),
                         "research use only"));

    const std::string listing = Package::listing(deb_);
    EXPECT_FALSE(contains(listing, "velvix.dat")) << listing;
    const std::string id = VELVIX_APP_ID;
    for (const std::string& path : std::vector<std::string>{
             "/usr/bin/velvix", "/usr/bin/velvix-ring", "/usr/bin/velvix-process",
             "/usr/share/velvix/haarcascade_frontalface_alt2.xml",
             std::string("/usr/share/velvix/") + kDetectorFile,
             "/usr/share/applications/" + id + ".desktop",
             "/usr/share/icons/hicolor/scalable/apps/" + id + ".svg",
             "/usr/share/icons/hicolor/16x16/apps/" + id + ".png",
             "/usr/share/icons/hicolor/48x48/apps/" + id + ".png",
             "/usr/share/icons/hicolor/256x256/apps/" + id + ".png",
             "/usr/share/man/man1/velvix.1.gz", "/usr/share/man/man1/velvix-ring.1.gz",
             "/usr/share/man/man1/velvix-process.1.gz", "/usr/share/doc/velvix/copyright",
             "/usr/share/doc/velvix/changelog.gz",
             "/usr/share/velvix/modprobe.d/velvix-camera.conf",
             "/usr/share/velvix/modules-load.d/velvix-camera.conf"}) {
        EXPECT_TRUE(contains(listing, " ." + path + "\n")) << path << " in\n" << listing;
    }
    // The v4l2loopback snippets are opt-in: nothing is put into /etc.
    for (const std::string& line : linesOf(listing)) {
        EXPECT_TRUE(contains(line, " ./usr/")) << line;
    }

    const std::string changelog =
        runProgram({"/usr/bin/env", "gzip", "-dc", root() + "/usr/share/doc/velvix/changelog.gz"})
            .output;
    EXPECT_EQ(changelog.rfind(std::string("velvix (") + VELVIX_VERSION + ") ", 0), 0u)
        << "the changelog's last entry is for another version:\n"
        << changelog;

    // Every data file the programs read comes with the terms it is under, in each package.
    for (const char* package : {"velvix", "velvix-landmarks"}) {
        const std::set<std::string> licensed = filesWithLicences(
            testing::readFile(root() + "/usr/share/doc/" + package + "/copyright"));
        for (const auto& entry : fs::directory_iterator(root() + "/usr/share/velvix")) {
            if (entry.is_regular_file()) {
                EXPECT_TRUE(licensed.contains(entry.path().filename().string()))
                    << "no licence stanza for " << entry.path() << " in " << package;
            }
        }
    }
}

TEST_F(Package, PassesLintianAndItsDesktopEntryIsValid) {
    const auto lintian =
        runProgram({"/usr/bin/env", "lintian", deb_, landmarksDeb_}, kToolMilliseconds);
    for (const std::string& line : linesOf(lintian.output)) {
        EXPECT_FALSE(line.starts_with("E: ") || line.starts_with("W: ")) << line;
    }

    const std::string entry = root() + "/usr/share/applications/" + VELVIX_APP_ID + ".desktop";
    const auto validated = runProgram({"/usr/bin/env", "desktop-file-validate", entry});
    EXPECT_EQ(validated.exitCode, 0) << validated.output;
    EXPECT_EQ(validated.output, "");
    const std::string text = testing::readFile(entry);
    EXPECT_TRUE(contains(text, "\nExec=velvix\n")) << text;
    EXPECT_TRUE(contains(text, std::string("\nIcon=") + VELVIX_APP_ID + "\n")) << text;
    EXPECT_TRUE(contains(text, std::string("\nStartupWMClass=") + VELVIX_WINDOW_CLASS + "\n"))
        << text;
}

// Successful opens for reading, from strace's one file per process. Files the program makes
// itself (such as the thread sanitizer's scratch file) are none of its data.
std::vector<std::string> filesRead(const std::string& traceFolder) {
    std::vector<std::string> files;
    for (const auto& trace : fs::directory_iterator(traceFolder)) {
        for (const std::string& line : linesOf(testing::readFile(trace.path().string()))) {
            const auto open = line.find("open");
            const auto quote = line.find('"', open);
            const auto end = line.find('"', quote + 1);
            const auto result = line.rfind(" = ");
            const bool opened = result != std::string::npos && result + 3 < line.size() &&
                                std::isdigit(static_cast<unsigned char>(line[result + 3]));
            if (open == std::string::npos || quote == std::string::npos ||
                end == std::string::npos || !opened || contains(line, "O_WRONLY") ||
                contains(line, "O_CREAT")) {
                continue;
            }
            files.push_back(line.substr(quote + 1, end - quote - 1));
        }
    }
    return files;
}

// What a program may read outside its installation: the system's shared libraries and their
// configuration, the kernel's files, and what the user handed it in the folder it runs in.
bool systemFileOrInput(const std::string& path, const std::string& runFolder) {
    for (const std::string folder :
         {"/proc", "/sys", "/dev", "/etc", "/usr/lib/ssl", "/usr/share/pipewire"}) {
        if (path == folder || path.starts_with(folder + "/")) {
            return true;
        }
    }
    const std::string name = fs::path(path).filename().string();
    return contains(name, ".so") || path.find('/') == std::string::npos ||
           path.starts_with(runFolder + "/");
}

// Runs the unpacked program from `runFolder` with an empty environment (no source tree or
// test camera reachable through it) and these variables.
std::vector<std::string> isolated(const std::string& runFolder,
                                  const std::vector<std::string>& program,
                                  const std::vector<std::string>& variables = {}) {
    std::vector<std::string> command = {"/usr/bin/env", "-i", "-C", runFolder,
                                        "PATH=/usr/bin:/bin"};
    command.insert(command.end(), variables.begin(), variables.end());
    command.insert(command.end(), program.begin(), program.end());
    return command;
}

// The same, tracing what it opens.
std::vector<std::string> traced(const std::string& traceFolder, const std::string& runFolder,
                                const std::vector<std::string>& program) {
    std::vector<std::string> tracer = {
        "strace", "-ff", "-qq", "-e", "trace=open,openat,openat2", "-o", traceFolder + "/open"};
    tracer.insert(tracer.end(), program.begin(), program.end());
    // The leak checker of a sanitizer build cannot work under a tracer.
    return isolated(runFolder, tracer, {"ASAN_OPTIONS=detect_leaks=0"});
}

void expectOnlyOwnData(const std::vector<std::string>& read, const std::string& root,
                       const std::string& runFolder, const std::string& program) {
    std::set<std::string> own;
    for (const std::string& path : read) {
        if (path.starts_with(root + "/")) {
            own.insert(path.substr(root.size()));
        } else {
            EXPECT_TRUE(systemFileOrInput(path, runFolder)) << program << " read " << path;
        }
    }
    EXPECT_TRUE(own.contains("/usr/share/velvix/velvix.dat")) << program;
    EXPECT_TRUE(own.contains(std::string("/usr/share/velvix/") + kDetectorFile)) << program;
}

TEST_F(Package, UnpackedProgramsFindTheirDataInTheirOwnPrefixAndNowhereElse) {
    const std::string run = folder_->path() + "/run";
    fs::create_directories(run);
    fs::copy_file(VELVIX_DEMO_PHOTO, run + "/portrait.png");
    const std::string modelLine =
        "landmark model " + root() + "/usr/share/velvix/velvix.dat: 5 stages";

    const std::string processTrace = folder_->path() + "/trace-process";
    fs::create_directories(processTrace);
    const auto processed =
        runProgram(traced(processTrace, run, {root() + "/usr/bin/velvix-process", "portrait.png"}),
                   kToolMilliseconds);
    ASSERT_EQ(processed.exitCode, 0) << processed.output;
    EXPECT_TRUE(contains(processed.output, "\"face\":{\"accepted\":true")) << processed.output;
    EXPECT_TRUE(contains(processed.output, "\"landmarks\":true")) << processed.output;
    EXPECT_TRUE(contains(processed.output, modelLine)) << processed.output;
    EXPECT_TRUE(contains(processed.output, std::string("\"detector\":\"") + kDetectorName + "\""))
        << processed.output;
    expectOnlyOwnData(filesRead(processTrace), root(), run, "velvix-process");

    // The window's program without its window, on the portrait as test camera with smoothing
    // on: its model line comes before its first frame, and the end of its input stops it.
    const std::string appTrace = folder_->path() + "/trace-velvix";
    fs::create_directories(appTrace);
    const testing::ScopedRingName ring;
    const std::string log = folder_->path() + "/velvix.log";
    testing::ChildProcess velvix(
        traced(appTrace, run,
               {root() + "/usr/bin/velvix", "--headless", "--exit-on-eof", "--run-seconds", "120",
                "--ring", ring.get(), "--file-camera", "portrait.png"}),
        log, true);
    velvix.writeInput("velv:CAMERA:Test camera: portrait.png\nvelv:SMOOTH:on,60\n");
    EXPECT_TRUE(velvix.waitForOutput("landmark model ", kToolMilliseconds))
        << testing::readFile(log);
    velvix.closeInput();
    EXPECT_EQ(velvix.waitForExit(kToolMilliseconds), 0) << testing::readFile(log);
    const std::string said = testing::readFile(log);
    EXPECT_TRUE(contains(said, modelLine)) << said;
    EXPECT_TRUE(contains(said, std::string("velvix: face detector: ") + kDetectorName + "\n"))
        << said;
    expectOnlyOwnData(filesRead(appTrace), root(), run, "velvix");
}

// velvix alone: the programs go on, smoothing faces within an ellipse, and each says once, as
// it starts, that the model is missing and where it comes from.
TEST_F(Package, WithoutTheModelTheProgramsSayItOnceAndGoOn) {
    const std::string run = folder_->path() + "/run-without-model";
    fs::create_directories(run);
    fs::copy_file(VELVIX_DEMO_PHOTO, run + "/portrait.png");
    const std::string bin = rootWithoutModel() + "/usr/bin/";

    const auto processed =
        runProgram(isolated(run, {bin + "velvix-process", "portrait.png"}), kToolMilliseconds);
    ASSERT_EQ(processed.exitCode, 0) << processed.output;
    EXPECT_TRUE(contains(processed.output, "\"face\":{\"accepted\":true")) << processed.output;
    EXPECT_TRUE(contains(processed.output, "\"landmarks\":false")) << processed.output;
    EXPECT_EQ(occurrences(processed.output, kModelMissing), 1u) << processed.output;
    EXPECT_TRUE(contains(processed.output, "the package velvix-landmarks")) << processed.output;

    const testing::ScopedRingName ring;
    const std::string log = folder_->path() + "/velvix-without-model.log";
    testing::ChildProcess velvix(
        isolated(run, {bin + "velvix", "--headless", "--exit-on-eof", "--run-seconds", "120",
                       "--ring", ring.get(), "--file-camera", "portrait.png"}),
        log, true);
    velvix.writeInput("velv:CAMERA:Test camera: portrait.png\nvelv:SMOOTH:on,60\n");
    EXPECT_TRUE(
        testing::waitUntil([&] { return FrameRingReader::open(ring.get()).readyCount() >= 30; },
                           std::chrono::milliseconds(kToolMilliseconds)))
        << testing::readFile(log);
    velvix.closeInput();
    EXPECT_EQ(velvix.waitForExit(kToolMilliseconds), 0) << testing::readFile(log);
    EXPECT_EQ(occurrences(testing::readFile(log), kModelMissing), 1u) << testing::readFile(log);
}

}  // namespace
}  // namespace velvix
