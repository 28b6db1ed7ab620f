#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velvix/platform/shared_memory.hpp"

namespace velvix::platform {
namespace {

// Sections live in the session's namespace, like every object of a desktop program.
std::wstring objectName(std::string_view name) {
    return L"Local\\" + std::wstring(name.begin(), name.end());
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

struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

// The user this process runs as, as a SID copied out of its token.
std::vector<BYTE> currentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD bytes = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
    std::vector<BYTE> buffer(bytes);
    std::vector<BYTE> sid;
    if (bytes > 0 && GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + GetLengthSid(user));
    }
    CloseHandle(token);
    return sid;
}

// A security descriptor whose protected DACL lets only the current user in: the picture in
// the section is private, as a 0600 file is.
class OwnerOnlySecurity {
  public:
    OwnerOnlySecurity() : user_(currentUserSid()) {
        if (user_.empty()) {
            return;
        }
        const DWORD aclBytes = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid());
        acl_.resize(aclBytes);
        ACL* acl = reinterpret_cast<ACL*>(acl_.data());
        ready_ = InitializeAcl(acl, aclBytes, ACL_REVISION) &&
                 AddAccessAllowedAce(acl, ACL_REVISION, SECTION_ALL_ACCESS, sid()) &&
                 InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
                 SetSecurityDescriptorOwner(&descriptor_, sid(), FALSE) &&
                 SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
                 SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    bool ready() const { return ready_; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

  private:
    PSID sid() { return user_.data(); }

    std::vector<BYTE> user_;
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ready_ = false;
};

// True when the section is owned by the current user and its DACL lets nobody else in: a
// section someone else made under this name must not receive or hand out the picture.
bool ownedByCurrentUserOnly(HANDLE section) {
    const std::vector<BYTE> user = currentUserSid();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (user.empty() ||
        GetSecurityInfo(section, SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const std::unique_ptr<void, LocalFreeDeleter> release(descriptor);
    const PSID self = const_cast<BYTE*>(user.data());
    // A missing DACL grants everyone everything.
    if (owner == nullptr || !EqualSid(owner, self) || dacl == nullptr) {
        return false;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            return false;
        }
        auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            !EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, self)) {
            return false;
        }
    }
    return true;
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
    const DWORD rights =
        (access == Access::readWrite ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ) | READ_CONTROL;
    HANDLE handle = OpenFileMappingW(rights, FALSE, objectName(name).c_str());
    if (handle == nullptr) {
        const DWORD code = GetLastError();
        return failed(errorFromCode(code), describe("cannot open", name, code));
    }
    if (!ownedByCurrentUserOnly(handle)) {
        CloseHandle(handle);
        return failed(SectionError::permissionDenied,
                      "shared memory \"" + std::string(name) +
                          "\" belongs to another user or is open to others: not used");
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
    OwnerOnlySecurity security;
    if (!security.ready()) {
        return failed(SectionError::other, describe("cannot secure", name, GetLastError()));
    }
    const auto size64 = static_cast<unsigned long long>(size);
    HANDLE handle =
        CreateFileMappingW(INVALID_HANDLE_VALUE, security.attributes(), PAGE_READWRITE,
                           static_cast<DWORD>(size64 >> 32),
                           static_cast<DWORD>(size64 & 0xFFFFFFFFu), objectName(name).c_str());
    if (handle == nullptr) {
        const DWORD code = GetLastError();
        return failed(errorFromCode(code), describe("cannot create", name, code));
    }
    // Another process may have created it between the open above and here.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return open(name, Access::readWrite);
    }
    const auto [address, code] = mapWhole(handle, true);
    if (address == nullptr) {
        return failed(errorFromCode(code), describe("cannot map", name, code));
    }
    return adopt(address, viewSize(address), handle, true);
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

// A section disappears with its last handle.
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
