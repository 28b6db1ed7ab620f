#include "webview2_loader.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "velvix/platform/executable_path.hpp"
#include "web_text.hpp"

namespace velvix {
namespace {

#if defined(__aarch64__)
constexpr wchar_t kClientLibrary[] = L"\\EBWebView\\arm64\\EmbeddedBrowserWebView.dll";
#elif defined(__x86_64__)
constexpr wchar_t kClientLibrary[] = L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll";
#else
constexpr wchar_t kClientLibrary[] = L"\\EBWebView\\x86\\EmbeddedBrowserWebView.dll";
#endif

constexpr char kNotInstalled[] =
    "the WebView2 runtime is not installed; get it from "
    "https://developer.microsoft.com/microsoft-edge/webview2/";

// Where the update client records each channel's install: the value EBWebView names the
// folder of the installed version.
constexpr wchar_t kClientStateKey[] = L"Software\\Microsoft\\EdgeUpdate\\ClientState\\";
constexpr wchar_t kFolderValue[] = L"EBWebView";

// The update client's identifiers of the channels, most stable first: the WebView2 runtime,
// then the Edge browser's Beta, Dev and Canary channels.
constexpr std::array<const wchar_t*, 4> kChannelIds{
    L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}",
    L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}", L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}"};

using Version = std::array<unsigned, 4>;
// The first release that can show a web view at all.
constexpr Version kOldestUsableVersion{86, 0, 616, 0};

std::string narrow(const std::wstring& text) {
    return utf8FromUtf16(std::u16string(text.begin(), text.end()));
}

// An environment variable's value; nothing when it is not set or empty.
std::optional<std::wstring> environmentValue(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size <= 1) {
        return std::nullopt;
    }
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

bool isFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring withoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

bool isAbsolute(const std::wstring& path) {
    return path.starts_with(L"\\\\") ||
           (path.size() > 2 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'));
}

// The version a folder of an installed runtime is named after: four numbers ("120.0.2210.91").
std::optional<Version> folderVersion(const std::wstring& folder) {
    std::wstring_view rest(folder);
    rest.remove_prefix(rest.find_last_of(L"\\/") + 1);
    Version version{};
    for (std::size_t part = 0; part < version.size(); ++part) {
        const std::size_t end = std::min(rest.find(L'.'), rest.size());
        const std::wstring_view digits = rest.substr(0, end);
        const bool last = part + 1 == version.size();
        if (digits.empty() || digits.size() > 6 || last != (end == rest.size())) {
            return std::nullopt;
        }
        for (const wchar_t unit : digits) {
            if (unit < L'0' || unit > L'9') {
                return std::nullopt;
            }
            version[part] = version[part] * 10 + static_cast<unsigned>(unit - L'0');
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return version;
}

// The installed runtime's folder that a channel's registry entry names, in the 32-bit view
// where the update client writes it.
std::optional<std::wstring> registeredFolder(HKEY hive, const wchar_t* channelId) {
    const std::wstring key = std::wstring(kClientStateKey) + channelId;
    constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_SUBKEY_WOW6432KEY;
    DWORD bytes = 0;
    if (RegGetValueW(hive, key.c_str(), kFolderValue, kFlags, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes < sizeof(wchar_t)) {
        return std::nullopt;
    }
    std::wstring folder(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(hive, key.c_str(), kFolderValue, kFlags, nullptr, folder.data(), &bytes) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    folder.resize(wcsnlen(folder.c_str(), folder.size()));
    return withoutTrailingSeparators(folder);
}

bool isUsableInstall(const std::wstring& folder) {
    const auto version = folderVersion(folder);
    return version && *version >= kOldestUsableVersion && isFile(webView2ClientLibrary(folder));
}

bool leastStableFirst() {
    const auto kind = environmentValue(L"WEBVIEW2_CHANNEL_SEARCH_KIND");
    const auto preference = kind ? kind : environmentValue(L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE");
    return preference == L"1";
}

// The channels to look in, by their numbers 0 (the runtime) to 3 (Canary): a list that
// WEBVIEW2_RELEASE_CHANNELS gives, in any order, where an entry that is no channel's number
// stands for the runtime; all of them when it is not set.
std::array<bool, 4> channelsToSearch() {
    const auto listed = environmentValue(L"WEBVIEW2_RELEASE_CHANNELS");
    if (!listed) {
        return {true, true, true, true};
    }
    std::array<bool, 4> channels{};
    std::size_t at = 0;
    while (at <= listed->size()) {
        const std::size_t end = std::min(listed->find(L',', at), listed->size());
        std::wstring entry = listed->substr(at, end - at);
        std::erase(entry, L' ');
        const bool number = entry.size() == 1 && entry[0] >= L'0' && entry[0] <= L'3';
        channels[number ? static_cast<std::size_t>(entry[0] - L'0') : 0] = true;
        at = end + 1;
    }
    return channels;
}

Result<WebView2Runtime> namedRuntime(std::wstring folder) {
    folder = withoutTrailingSeparators(folder);
    if (!isAbsolute(folder)) {
        const std::u16string programFolder = utf16FromUtf8(platform::executableDirectory());
        folder = std::wstring(programFolder.begin(), programFolder.end()) + L"\\" + folder;
    }
    if (!isFile(webView2ClientLibrary(folder))) {
        return Failure{"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER names " + narrow(folder) +
                       ", which holds no WebView2 runtime"};
    }
    return WebView2Runtime{folder, true};
}

}  // namespace

std::wstring webView2ClientLibrary(const std::wstring& runtimeFolder) {
    return runtimeFolder + kClientLibrary;
}

Result<WebView2Runtime> findWebView2Runtime() {
    if (auto folder = environmentValue(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER")) {
        return namedRuntime(std::move(*folder));
    }
    const std::array<bool, 4> channels = channelsToSearch();
    std::vector<std::size_t> order{0, 1, 2, 3};
    if (leastStableFirst()) {
        std::reverse(order.begin(), order.end());
    }
    for (const std::size_t channel : order) {
        if (!channels[channel]) {
            continue;
        }
        for (const HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            const auto folder = registeredFolder(hive, kChannelIds[channel]);
            if (folder && isUsableInstall(*folder)) {
                return WebView2Runtime{*folder, false};
            }
        }
    }
    return Failure{kNotInstalled};
}

std::wstring webView2DataFolder(const std::wstring& ownChoice) {
    return environmentValue(L"WEBVIEW2_USER_DATA_FOLDER").value_or(ownChoice);
}

Result<webview2::CreateEnvironmentFunction> loadWebView2(const WebView2Runtime& runtime) {
    const std::wstring path = webView2ClientLibrary(runtime.folder);
    // The full path, and the library's own folder for the libraries it needs in turn.
    const HMODULE library = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == nullptr) {
        return Failure{"the WebView2 runtime's library " + narrow(path) +
                       " could not be loaded (error " + std::to_string(GetLastError()) + ")"};
    }
    const FARPROC entry = GetProcAddress(library, webview2::kCreateEnvironmentExport);
    if (entry == nullptr) {
        return Failure{narrow(path) + " is no WebView2 runtime this program can use: it has no " +
                       webview2::kCreateEnvironmentExport};
    }
    // Through the generic function type, which converts to any other.
    return reinterpret_cast<webview2::CreateEnvironmentFunction>(
        reinterpret_cast<void (*)()>(entry));
}

}  // namespace velvix
