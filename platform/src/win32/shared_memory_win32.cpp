#include <windows.h>

#include <string>
#include <utility>

#include "velvix/platform/shared_memory.hpp"

namespace velvix::platform {
namespace {

std::wstring wideName(std::string_view name) {
    return std::wstring(name.begin(), name.end());
}

SectionError errorFromCode(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            return SectionError::notFound;
        case ERROR_ACCESS_DENIED:
            return SectionError::permissionDenied;
        default:
            return SectionError::other;
    }
}

std::string describe(std::string_view what, std::string_view name, DWORD code) {
    return std::string(what) + " shared memory \"" + std::string(name) + "\": error " +
           std::to_string(code);
}

// The view of a section created elsewhere is as large as the section (rounded to pages).
std::size_t viewSize(void* address) {
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(address, &info, sizeof info);
    return info.RegionSize;
}

// Maps the whole section behind `handle`; on failure the handle is closed.
std::pair<void*, DWORD> mapWhole(HANDLE handle, bool writable) {
    void* address = MapViewOfFile(handle, writable ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, 0, 0, 0);
    if (address != nullptr) {
        return {address, ERROR_SUCCESS};
    }
    const DWORD code = GetLastError();
    CloseHandle(handle);
    return {nullptr, code};
}

}  // namespace

SharedSection SharedSection::open(std::string_view name, Access access) {
    const DWORD rights = access == Access::readWrite ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ;
    HANDLE handle = OpenFileMappingW(rights, FALSE, wideName(name).c_str());
    if (handle == nullptr) {
        const DWORD code = GetLastError();
        return failed(errorFromCode(code), describe("cannot open", name, code));
    }
    const auto [address, code] = mapWhole(handle, access == Access::readWrite);
    if (address == nullptr) {
        return failed(errorFromCode(code), describe("cannot map", name, code));
    }
    return adopt(address, viewSize(address), handle, false);
}

SharedSection SharedSection::openOrCreate(std::string_view name, std::size_t size) {
    SharedSection existing = open(name, Access::readWrite);
    if (existing.isOpen() || existing.error() != SectionError::notFound) {
        return existing;
    }
    const auto size64 = static_cast<unsigned long long>(size);
    HANDLE handle = CreateFileMappingW(
        INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size64 >> 32),
        static_cast<DWORD>(size64 & 0xFFFFFFFFu), wideName(name).c_str());
    if (handle == nullptr) {
        const DWORD code = GetLastError();
        return failed(errorFromCode(code), describe("cannot create", name, code));
    }
    const bool createdHere = GetLastError() != ERROR_ALREADY_EXISTS;
    const auto [address, code] = mapWhole(handle, true);
    if (address == nullptr) {
        return failed(errorFromCode(code), describe("cannot map", name, code));
    }
    return adopt(address, viewSize(address), handle, createdHere);
}

// A page-file section keeps the size it was created with.
std::optional<std::string> SharedSection::growTo(std::string_view name, std::size_t size) {
    const SharedSection section = open(name, Access::readOnly);
    if (!section.isOpen()) {
        return section.errorText();
    }
    if (section.size() < size) {
        return "shared memory \"" + std::string(name) + "\" holds " +
               std::to_string(section.size()) + " bytes and cannot grow";
    }
    return std::nullopt;
}

void SharedSection::remove(std::string_view) {}

void SharedSection::close() {
    if (address_ != nullptr) {
        UnmapViewOfFile(address_);
    }
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
    }
    address_ = nullptr;
    handle_ = nullptr;
    size_ = 0;
    createdHere_ = false;
}

}  // namespace velvix::platform
