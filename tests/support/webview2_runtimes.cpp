#include "webview2_runtimes.hpp"

#include <array>
#include <atomic>

namespace velvix::testing {
namespace {

// The update client's identifiers of the channels, in the loader's numbering.
constexpr std::array<const wchar_t*, 4> kChannelIds{
    L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}",
    L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}", L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}"};

std::wstring clientStateKey(RuntimeChannel channel) {
    return std::wstring(L"Software\\Microsoft\\EdgeUpdate\\ClientState\\") +
           kChannelIds[static_cast<std::size_t>(channel)];
}

std::optional<std::wstring> environmentValue(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

}  // namespace

bool runsUnderWine() {
    const HMODULE system = GetModuleHandleW(L"ntdll.dll");
    return system != nullptr && GetProcAddress(system, "wine_get_version") != nullptr;
}

ScopedFolder::ScopedFolder(const std::string& stem, const std::filesystem::path& parent) {
    static std::atomic<int> counter{0};
    path_ = parent /
            (stem + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

ScopedFolder::~ScopedFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void installClientLibrary(const std::filesystem::path& folder,
                          const std::filesystem::path& library) {
    const std::filesystem::path libraryFolder = folder / "EBWebView" / "x64";
    std::filesystem::create_directories(libraryFolder);
    std::filesystem::copy_file(library, libraryFolder / "EmbeddedBrowserWebView.dll",
                               std::filesystem::copy_options::overwrite_existing);
}

void registerRuntime(HKEY hive, RuntimeChannel channel, const std::filesystem::path& folder) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(hive, clientStateKey(channel).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    const std::wstring value = folder.wstring();
    RegSetValueExW(key, L"EBWebView", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void forgetInstalledRuntimes() {
    for (const HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (int channel = 0; channel < 4; ++channel) {
            RegDeleteKeyExW(hive, clientStateKey(static_cast<RuntimeChannel>(channel)).c_str(),
                            KEY_WOW64_32KEY, 0);
        }
    }
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::optional<std::wstring>& value)
    : name_(name), previous_(environmentValue(name)) {
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

std::wstring windowsPath(const std::string& path) {
    const std::wstring given = std::filesystem::path(path).wstring();
    std::wstring full(GetFullPathNameW(given.c_str(), 0, nullptr, nullptr), L'\0');
    full.resize(
        GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    return full;
}

}  // namespace velvix::testing
