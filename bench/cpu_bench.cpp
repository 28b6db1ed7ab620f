// The whole program's processor time: `velvix --headless` on the test camera, 1280 x 720 at 30
// frames per second, with smoothing off, on without a face, on with a face (still and moving,
// the moving one also sent as MJPG, as webcams send 1280 x 720 at 30 fps, and decoded by the
// program) and on with one, two and four faces moving (copies of the demo portrait, each in its
// half or quarter of the frame, 200 pixels wide in halves and 130 in quarters). Each case runs
// once for RUN seconds; the program's processor time (from /proc) is read after WARM-UP seconds
// and a second before the end, and its difference over the frames published in between is the
// time per frame in the steady state, without the start-up (reading the model and the network,
// whose cost varies from run to run with what the kernel must do for the memory). The program's
// own last line gives the frame rate and the worst time from a frame's fetch to its publish.
// Then the groups of faces are run in turn for a few rounds, and the median of each round's
// difference is what a further face costs: on a shared machine runs minutes apart differ by more
// than a face.
//   velvix-bench-cpu [WARM-UP_SECONDS RUN_SECONDS [ROUNDS]]
#include <fcntl.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "portrait_clip.hpp"
#include "velvix/platform/shared_memory.hpp"

namespace {

using velvix::testing::PortraitClip;
using velvix::testing::PortraitPose;

struct Run {
    double cpuSeconds = 0;  // between the two readings
    double wallSeconds = 0;
    double framesPerSecond = 0;
    double worstMilliseconds = 0;
    bool ok = false;
};

// The processor time a running child has had so far, from /proc/PID/stat (fields 14 and 15).
std::optional<double> processorSeconds(pid_t child) {
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end = text.rfind(')');
    if (end == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long long user = 0;
    long long system = 0;
    for (int k = 3; k <= 15 && fields >> field; ++k) {
        if (k == 14) {
            user = std::stoll(field);
        } else if (k == 15) {
            system = std::stoll(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

using Clock = std::chrono::steady_clock;

// Sleeps until `seconds` after `start`, then reads the child's processor time and the clock.
std::optional<std::pair<double, Clock::time_point>> readingAt(pid_t child, Clock::time_point start,
                                                              double seconds) {
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    const auto cpu = processorSeconds(child);
    if (!cpu) {
        return std::nullopt;
    }
    return std::pair{*cpu, Clock::now()};
}

// Starts the program with the messages on its standard input, reads its processor time after
// `warmUpSeconds` and a second before its end, waits for its end and reads its last line.
Run runProgram(const std::string& program, const std::string& camera, const std::string& ring,
               const std::string& messages, int warmUpSeconds, int runSeconds,
               const std::string& logPath) {
    int input[2];
    if (pipe(input) != 0) {
        return {};
    }
    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(input[0], 0);
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, 1);
        dup2(log, 2);
        close(input[1]);
        const std::string seconds = std::to_string(runSeconds);
        execl(program.c_str(), program.c_str(), "--headless", "--file-camera", camera.c_str(),
              "--ring", ring.c_str(), "--run-seconds", seconds.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    const ssize_t written = write(input[1], messages.data(), messages.size());
    close(input[1]);
    const auto first = readingAt(child, start, warmUpSeconds);
    const auto last = readingAt(child, start, runSeconds - 1);
    int status = 0;
    waitpid(child, &status, 0);
    Run run;
    std::ifstream log(logPath);
    std::string line;
    while (std::getline(log, line)) {
        const auto at = line.find("velvix: stopped; ");
        if (at != std::string::npos) {
            run.ok = std::sscanf(line.c_str() + at,
                                 "velvix: stopped; %*d frames published, %lf frames per second, "
                                 "fetch to publish at most %lf ms",
                                 &run.framesPerSecond, &run.worstMilliseconds) == 2;
        }
    }
    run.ok = run.ok && first && last && written == static_cast<ssize_t>(messages.size()) &&
             WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (run.ok) {
        run.cpuSeconds = last->first - first->first;
        run.wallSeconds = std::chrono::duration<double>(last->second - first->second).count();
    }
    velvix::platform::SharedSection::remove(ring);
    return run;
}

// The frames (the worker's layout) as JPEG images back to back, coded as webcams code MJPG:
// 4:2:2 chroma, a middling quality.
bool writeMjpgClip(const std::string& path, const std::vector<std::vector<std::uint8_t>>& frames,
                   velvix::FrameSize size) {
    const std::unique_ptr<void, decltype(&tjDestroy)> coder(tjInitCompress(), tjDestroy);
    std::ofstream out(path, std::ios::binary);
    for (const auto& frame : frames) {
        unsigned char* jpeg = nullptr;
        unsigned long length = 0;
        if (tjCompress2(coder.get(), frame.data(), size.width, 0, size.height, TJPF_BGR, &jpeg,
                        &length, TJSAMP_422, 85, TJFLAG_BOTTOMUP) != 0) {
            return false;
        }
        out.write(reinterpret_cast<const char*>(jpeg), static_cast<std::streamsize>(length));
        tjFree(jpeg);
    }
    return static_cast<bool>(out);
}

struct Timing {
    std::string program;
    std::filesystem::path folder;
    int warmUpSeconds = 4;
    int runSeconds = 16;
};

struct Measured {
    double milliseconds = 0;  // processor time per frame, start-up left out
    double framesPerSecond = 0;
    double worstMilliseconds = 0;
    bool ok = false;
};

// The test camera `camera` with the smoothing message. The frames between the two readings are
// the program's frame rate over the time between them: its pacer keeps the rate steady.
Measured measure(const Timing& t, const std::string& camera, const char* smoothing) {
    const std::string file = camera.substr(0, camera.find('?'));
    const std::string name = std::filesystem::path(file).filename().string();
    const std::string messages = "velv:CAMERA:Test camera: " + name + "\n" + smoothing + "\n";
    const std::string ring = "VelvixBenchCpu" + std::to_string(getpid());
    const std::string log = (t.folder / "log.txt").string();
    const Run run =
        runProgram(t.program, camera, ring, messages, t.warmUpSeconds, t.runSeconds, log);
    const double frames = run.framesPerSecond * run.wallSeconds;
    if (!run.ok || frames < 1) {
        return {};
    }
    return {run.cpuSeconds / frames * 1e3, run.framesPerSecond, run.worstMilliseconds, true};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string listed(const std::vector<double>& values) {
    std::string text;
    for (const double value : values) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%.2f", text.empty() ? "" : ", ", value);
        text += number;
    }
    return text;
}

// One, two and four moving faces in turn, `rounds` times: the second face of 200 pixels, and
// each of the three further faces of 130 pixels over the one face of 200.
bool printFurtherFaces(const Timing& t, const std::vector<std::string>& groups, int rounds) {
    std::vector<double> second;
    std::vector<double> further;
    for (int round = 0; round < rounds; ++round) {
        std::vector<double> times;
        for (const std::string& clip : groups) {
            const Measured m = measure(t, clip, "velv:SMOOTH:on,60");
            if (!m.ok) {
                std::printf("| further faces | the program did not run as expected |\n");
                return false;
            }
            times.push_back(m.milliseconds);
        }
        second.push_back(times[1] - times[0]);
        further.push_back((times[2] - times[0]) / 3);
    }
    std::printf(
        "| every further face, %d rounds in turn | second face of 200 pixels: %.2f ms (%s); each "
        "of three more of 130 pixels: %.2f ms (%s) |\n",
        rounds, median(second), listed(second).c_str(), median(further), listed(further).c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const Timing defaults;
    const int warmUpSeconds = argc >= 3 ? std::atoi(argv[1]) : defaults.warmUpSeconds;
    const int runSeconds = argc >= 3 ? std::atoi(argv[2]) : defaults.runSeconds;
    if ((argc != 1 && argc != 3 && argc != 4) || warmUpSeconds < 1 ||
        runSeconds < warmUpSeconds + 3) {
        std::fprintf(stderr,
                     "usage: velvix-bench-cpu [WARM-UP_SECONDS RUN_SECONDS [ROUNDS]], with at "
                     "least 1 s of warm-up and a run 3 s longer\n");
        return 2;
    }
    const std::string program = VELVIX_APP;
    const int rounds = argc == 4 ? std::max(1, std::atoi(argv[3])) : 3;
    const auto folder =
        std::filesystem::temp_directory_path() / ("velvix-bench-cpu-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);

    const PortraitClip clip(VELVIX_DEMO_PHOTO);
    const std::string portrait = (folder / "portrait.png").string();
    const std::string empty = (folder / "empty.png").string();
    const std::string moving = (folder / "moving.y4m").string();
    const std::string movingMjpg = (folder / "moving.mjpg").string();
    velvix::testing::writeFramePng(portrait, clip.frame(PortraitPose{}), clip.size());
    velvix::testing::writeFramePng(empty, clip.background(), clip.size());
    constexpr int kFrames = 150;
    {
        velvix::testing::Y4mWriter writer(moving, clip.size());
        std::vector<std::vector<std::uint8_t>> frames;
        for (int k = 0; k < kFrames; ++k) {
            frames.push_back(clip.frame(PortraitClip::movingPose(k, kFrames)));
            writer.add(frames.back());
        }
        if (!writeMjpgClip(movingMjpg, frames, clip.size())) {
            std::fprintf(stderr, "velvix-bench-cpu: could not write %s\n", movingMjpg.c_str());
            return 1;
        }
    }
    const auto groupClip = [&](int faces) {
        const std::string path = (folder / ("moving" + std::to_string(faces) + ".y4m")).string();
        velvix::testing::Y4mWriter writer(path, clip.size());
        for (int k = 0; k < kFrames; ++k) {
            writer.add(clip.frame(PortraitClip::movingGroup(faces, k, kFrames)));
        }
        return path;
    };
    const std::string movingOne = groupClip(1);
    const std::string movingTwo = groupClip(2);
    const std::string movingFour = groupClip(4);

    struct Case {
        const char* name;
        std::string camera;
        const char* smoothing;
    };
    const std::vector<Case> cases{
        {"smoothing off", portrait, "velv:SMOOTH:off"},
        {"smoothing on, no face", empty, "velv:SMOOTH:on,60"},
        {"smoothing on, still face", portrait, "velv:SMOOTH:on,60"},
        {"smoothing on, moving face", moving, "velv:SMOOTH:on,60"},
        {"smoothing on, moving face, MJPG camera", movingMjpg + "?format=mjpg",
         "velv:SMOOTH:on,60"},
        {"smoothing on, 1 moving face of 200 pixels", movingOne, "velv:SMOOTH:on,60"},
        {"smoothing on, 2 moving faces of 200 pixels", movingTwo, "velv:SMOOTH:on,60"},
        {"smoothing on, 4 moving faces of 130 pixels", movingFour, "velv:SMOOTH:on,60"}};
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf(
        "1280 x 720 at 30 fps, runs of %d s measured from %d s on, load average %.2f %.2f %.2f "
        "on %ld processors\n",
        runSeconds, warmUpSeconds, load[0], load[1], load[2], sysconf(_SC_NPROCESSORS_ONLN));
    std::printf(
        "| case | processor time per frame | share of one core | frames per second | "
        "worst fetch to publish |\n|---|---|---|---|---|\n");
    bool ok = true;
    const Timing timing{program, folder, warmUpSeconds, runSeconds};
    for (const Case& c : cases) {
        const Measured m = measure(timing, c.camera, c.smoothing);
        if (!m.ok) {
            std::printf("| %s | the program did not run as expected (see %s) |\n", c.name,
                        (folder / "log.txt").c_str());
            ok = false;
            continue;
        }
        std::printf("| %s | %.2f ms | %.1f %% | %.2f | %.1f ms |\n", c.name, m.milliseconds,
                    m.milliseconds * 30 / 10, m.framesPerSecond, m.worstMilliseconds);
        std::fflush(stdout);
    }
    ok = printFurtherFaces(timing, {movingOne, movingTwo, movingFour}, rounds) && ok;
    std::printf(
        "goal: at most 8 ms of processor time per frame (25 %% of one core) with a face, and at "
        "most 1.5 ms more for each further face\n");
    if (ok) {
        std::filesystem::remove_all(folder);
    }
    return ok ? 0 : 1;
}
