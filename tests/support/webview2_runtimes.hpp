#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

// WebView2 runtimes as the tests install them in wine's prefix: folders of the test's own
// that hold a client library, and the update client's registry entries that point at them.
namespace velvix::testing {

// The registry entries are the machine's own: the tests that write them run under wine only.
bool runsUnderWine();

// Channels as the runtime's loader numbers them.
enum class RuntimeChannel { runtime = 0, beta = 1, dev = 2, canary = 3 };

// A folder of the test's own in `parent`, removed with everything in it at the end.
class ScopedFolder {
  public:
    explicit ScopedFolder(const std::string& stem, const std::filesystem::path& parent =
                                                       std::filesystem::temp_directory_path());
    ~ScopedFolder();
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Makes `folder` a runtime's folder: `library` becomes its client library for x64.
void installClientLibrary(const std::filesystem::path& folder,
                          const std::filesystem::path& library);

// Records `folder` as the installed runtime of a channel, per machine (HKLM) or per user
// (HKCU), in the registry view the update client writes.
void registerRuntime(HKEY hive, RuntimeChannel channel, const std::filesystem::path& folder);

// Removes every channel's entry, per machine and per user.
void forgetInstalledRuntimes();

// Sets an environment variable (or removes it) for the rest of the test.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const wchar_t* name, const std::optional<std::wstring>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

// A path with its drive, as Windows programs are given it (a build path of the host's own
// becomes Z:\...).
std::wstring windowsPath(const std::string& path);

}  // namespace velvix::testing
