#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>
#include <tuple>

#include "process.hpp"
#include "section_access.hpp"
#include "test_support.hpp"
#include "velvix/platform/debug_output.hpp"
#include "velvix/platform/file_digest.hpp"
#include "velvix/platform/log.hpp"
#include "velvix/platform/shared_memory.hpp"
#include "velvix/platform/stop_signals.hpp"

namespace velvix::platform {
namespace {

using testing::ScopedRingName;

// Every way in by name refuses it with the same error, and the refusal says where the object
// is (its name on Windows, its path on Linux), what it is or whose it is, and what to do.
void expectRefused(const std::string& name, std::vector<std::string> parts) {
#ifdef _WIN32
    parts.push_back(name);
#else
    parts.push_back(SharedSection::location(name));
#endif
    for (const auto& section : {SharedSection::open(name, SharedSection::Access::readOnly),
                                SharedSection::open(name, SharedSection::Access::readWrite),
                                SharedSection::openOrCreate(name, 8192)}) {
        EXPECT_EQ(section.error(), SectionError::notPrivate);
        for (const std::string& part : parts) {
            EXPECT_NE(section.errorText().find(part), std::string::npos) << section.errorText();
        }
    }
    const auto grown = SharedSection::growTo(name, 1 << 20);
    EXPECT_NE(grown.error().find(parts.back()), std::string::npos) << grown.error();
}

// What others may have planted under the name: a section they may open, whose bytes are left as
// they are, and on Linux a FIFO (with a writer here only so that a reader that waited for one
// would not hang the test: the programs' tests show that nothing waits), a symbolic link and a
// folder, in each place sections live (the user's runtime folder, or /dev/shm where there is
// none).
TEST(SharedSection, RefusesWhatOthersMayOpenAndWhatIsNotARegularFile) {
#ifdef _WIN32
    ScopedRingName name;
    const testing::PlantedSection planted(name.get(), 4096, 0xAB);
    ASSERT_TRUE(planted.made());
    expectRefused(name.get(), {"belongs to you"});
    EXPECT_EQ(testing::sectionBytes(name.get(), 4096), std::vector<std::uint8_t>(4096, 0xAB));
#else
    using Place = testing::ScopedSectionFolder::Kind;
    for (const Place place : {Place::runtime, Place::shared}) {
        const testing::ScopedSectionFolder folder(place);
        ASSERT_EQ(SharedSection::location("x"),
                  (folder.path().empty() ? "/dev/shm" : folder.path()) + "/x");
        for (const std::string what : {"mode 0666", "mode 0640", "mode 0604", "mode 0610", "a FIFO",
                                       "a symbolic link", "a folder"}) {
            ScopedRingName name;
            const std::string path = SharedSection::location(name.get());
            const bool mode = what.starts_with("mode ");
            ASSERT_TRUE(
                mode ? testing::makeSection(
                           name.get(), unsigned(std::stoul(what.substr(5), nullptr, 8)), 4096, 0xAB)
                : what == "a FIFO"   ? mkfifo(path.c_str(), 0600) == 0
                : what == "a folder" ? mkdir(path.c_str(), 0700) == 0
                                     : testing::makeSection(name.get() + "-target", 0600, 1) &&
                                           symlink((path + "-target").c_str(), path.c_str()) == 0);
            const int writer = open(path.c_str(), O_RDWR | O_NONBLOCK);
            expectRefused(name.get(), {mode ? what : what + " and not a regular file",
                                       (what == "a folder" ? "rmdir " : "rm ") + path});
            if (mode) {
                EXPECT_EQ(testing::sectionBytes(name.get(), 8192),
                          std::vector<std::uint8_t>(4096, 0xAB));
            }
            close(writer);
            rmdir(path.c_str());
            unlink((path + "-target").c_str());
        }
    }
#endif
}

#ifdef _WIN32
// The lock rests on nothing the user's programs can take away or move: not on a file they may
// delete, nor on the folder for temporary files they name.
TEST(SharedSection, TheWriterLockCannotBeSidesteppedThroughTheTemporaryFolder) {
    ScopedRingName name;
    auto first = SharedSection::openOrCreate(name.get(), 4096);
    ASSERT_TRUE(first.tryLockForWriting());
    wchar_t temporary[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    ASSERT_GT(length, 0u);
    const std::wstring folder(temporary, length);
    WIN32_FIND_DATAW found{};
    if (const HANDLE search = FindFirstFileW((folder + L"velvix-*.lock").c_str(), &found);
        search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    auto second = SharedSection::open(name.get(), SharedSection::Access::readWrite);
    EXPECT_FALSE(second.tryLockForWriting());

    const std::wstring elsewhere = folder + L"velvix-other-temporary-folder";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", elsewhere.c_str());
    SetEnvironmentVariableW(L"TEMP", elsewhere.c_str());
    auto third = SharedSection::open(name.get(), SharedSection::Access::readWrite);
    EXPECT_FALSE(third.tryLockForWriting());
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
    RemoveDirectoryW(elsewhere.c_str());

    first.close();
    EXPECT_TRUE(third.tryLockForWriting());
}

#else
// On Windows the system runs the console control handler on a thread of its own; the
// programs' tests stop them with Ctrl+C. Libraries may start threads before main that block no
// signal, and the system gives a process's signal to any thread that does not block it.
TEST(StopSignals, NoticesAStopWhicheverThreadReceivesIt) {
    std::atomic<bool> done{false};
    std::thread early([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        StopSignals signals;
        EXPECT_FALSE(signals.wait(0));
        ASSERT_EQ(pthread_kill(early.native_handle(), signalNumber), 0);
        EXPECT_TRUE(signals.wait(10'000)) << "signal " << signalNumber;
        EXPECT_TRUE(signals.wait(0));
    }
    done = true;
    early.join();
    // SIGPIPE is ignored: a write to a pipe without reader fails instead of ending the program.
    const StopSignals signals;
    int ends[2] = {-1, -1};
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    EXPECT_EQ(write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[1]);
}

#endif

// Escape sequences are shown, not obeyed (the headless program's test sends them through);
// here what only UTF-8 has: C1 controls, broken sequences and a surrogate's bytes.
TEST(DebugOutput, EscapesControlCharactersSoThatTheLineCanBeReadBack) {
    EXPECT_EQ(printableLine("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(printableLine("C1 \xc2\x9b and \xc2\xa0"), "C1 \\u009b and \xc2\xa0");
    EXPECT_EQ(printableLine("back\\slash \xff\xc3"), "back\\\\slash \\xff\\xc3");
    EXPECT_EQ(printableLine("\xed\xa0\x80"), "\\xed\\xa0\\x80");
}

// Items apply left to right, "*" to every category; one that is not understood changes nothing
// and is reported, so that a typing error silences nothing.
TEST(LogFilter, AppliesItemsInOrderAndReportsWhatItDoesNotKnow) {
    using enum LogSeverity;
    // The items, the lowest severities then shown of face and capture, the problems reported.
    const std::tuple<const char*, LogSeverity, LogSeverity, std::size_t> cases[] = {
        {"*:error,face:info", info, error, 0},
        {" face:info ,, *:warn", warn, warn, 0},
        {"eyes:debug,face:loud,face,capture:warn", notice, warn, 3},
    };
    for (const auto& [items, face, capture, problems] : cases) {
        const auto parsed = parseLogFilter(items, LogFilter::fromNotices());
        EXPECT_EQ(parsed.filter.lowest[std::size_t(LogCategory::face)], face) << items;
        EXPECT_EQ(parsed.filter.lowest[std::size_t(LogCategory::capture)], capture) << items;
        EXPECT_EQ(parsed.problems.size(), problems) << items;
    }
}

// Each distinct line once, and no more than the table holds: code that fails in ever new ways
// fills neither the log nor the memory.
TEST(DebugOnce, SaysEachLineOnceUpToItsBound) {
    DebugOnce debug;
    const auto say = [&debug](const std::string& line) {
        debug.say(LogCategory::ring, LogSeverity::warn, line);
    };
    ::testing::internal::CaptureStderr();
    say("first");
    say("first");
    for (std::size_t i = 2; i <= DebugOnce::kDistinctLines + 5; ++i) {
        say("line " + std::to_string(i));
    }
    say("first");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), DebugOnce::kDistinctLines);
    EXPECT_EQ(testing::countLinesWith(said, "first"), 1) << said;
    EXPECT_NE(said.find("\nline 64 (further new lines from here on are not shown)\n"),
              std::string::npos)
        << said;
}

// The example messages of the SHA-256 standard and a length just short of the padding's block
// boundary (55 bytes fit one block, the 56 of the second example need two); a file gives its
// contents' digest.
TEST(FileDigest, Sha256GivesTheStandardsDigests) {
    const std::pair<std::string, const char*> cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    };
    const std::string path = testing::temporaryPath("digest");
    for (const auto& [message, digest] : cases) {
        EXPECT_EQ(sha256Hex(message), digest) << message.size() << " bytes";
        std::ofstream(path, std::ios::binary) << message;
        EXPECT_EQ(fileSha256(path).valueOr(""), digest) << message.size() << " bytes";
    }
    std::remove(path.c_str());
    EXPECT_FALSE(fileSha256("/nonexistent/velvix/file"));
}

}  // namespace
}  // namespace velvix::platform
