#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <optional>
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
    explicit OwnerOnlySecurity(DWORD rights) : user_(currentUserSid()) {
        if (user_.empty()) {
            return;
        }
        const DWORD aclBytes = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid());
        acl_.resize(aclBytes);
        ACL* acl = reinterpret_cast<ACL*>(acl_.data());
        ready_ = InitializeAcl(acl, aclBytes, ACL_REVISION) &&
                 AddAccessAllowedAce(acl, ACL_REVISION, rights, sid()) &&
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

// Text for the refusal of a section: whose it is, as "DOMAIN\\user" where the system knows the
// account.
std::string accountText(PSID sid) {
    char name[256];
    char domain[256];
    DWORD nameLength = sizeof name;
    DWORD domainLength = sizeof domain;
    SID_NAME_USE use{};
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return "user " + std::string(domain) + "\\" + name;
    }
    char* text = nullptr;
    if (ConvertSidToStringSidA(sid, &text)) {
        const std::unique_ptr<void, LocalFreeDeleter> release(text);
        return "user " + std::string(text);
    }
    return "another user";
}

// One line: the object, its owner and access, and what the user can do about it.
std::string refusal(std::string_view name, const std::string& owner, bool ours) {
    return "refusing shared memory Local\\" + std::string(name) + ", which belongs to " +
           (ours ? "you" : owner) + " and grants access to others or to no one known" +
           ": only a section of your own with access for you alone is used; " +
           (ours ? "end the program that keeps it (it goes with its last handle)"
                 : "have that user's program ended (the section goes with its last handle)");
}

// Nothing when the section is owned by the current user and its DACL lets nobody else in; else
// the refusal. A section someone else made under this name must not receive or hand out the
// picture.
std::optional<std::string> refusalOf(HANDLE section, std::string_view name) {
    const std::vector<BYTE> user = currentUserSid();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (user.empty() ||
        GetSecurityInfo(section, SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return "refusing shared memory Local\\" + std::string(name) +
               ", whose owner and access cannot be read";
    }
    const std::unique_ptr<void, LocalFreeDeleter> release(descriptor);
    const PSID self = const_cast<BYTE*>(user.data());
    const bool ours = owner != nullptr && EqualSid(owner, self);
    const std::string ownerText = owner == nullptr ? "no one" : accountText(owner);
    // A missing DACL grants everyone everything.
    if (!ours || dacl == nullptr) {
        return refusal(name, ownerText, ours);
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            return refusal(name, ownerText, ours);
        }
        auto* header = static_cast<ACE_HEADER*>(entry);
        const bool deniesOnly = header->AceType == ACCESS_DENIED_ACE_TYPE;
        const bool forSelf = header->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                             EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, self);
        if (!deniesOnly && !forSelf) {
            return refusal(name, ownerText, ours);
        }
    }
    return std::nullopt;
}

// Why a section this user may not open is refused: someone else's, whose own description says
// whose where it can still be read.
std::pair<SectionError, std::string> whyRefused(std::string_view name, DWORD code) {
    const HANDLE section = OpenFileMappingW(READ_CONTROL, FALSE, objectName(name).c_str());
    if (section == nullptr) {
        return {SectionError::notPrivate,
                "refusing shared memory Local\\" + std::string(name) +
                    ", which belongs to another user and gives you no access: have that user's "
                    "program ended (the section goes with its last handle)"};
    }
    std::optional<std::string> refused = refusalOf(section, name);
    CloseHandle(section);
    if (refused) {
        return {SectionError::notPrivate, std::move(*refused)};
    }
    return {SectionError::permissionDenied, describe("cannot open", name, code)};
}

// The writer's lock is a named object beside the section, in the session's namespace as the
// section is: the writer that makes it holds the lock while its handle is open, and the system
// closes that handle when the process ends, however it ends. An object that exists already is
// another writer's (or someone's who took the name), so the lock is not taken. Nothing of it lies
// in a folder where the user's programs could remove it.
std::wstring writerLockName(std::string_view name) {
    return objectName(name) + L".writer";
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

std::string SharedSection::location(std::string_view name) {
    return "Local\\" + std::string(name);
}

// A page-file section never shrinks, so its mapped bytes stay.
bool runAccessingSections(void (*access)(void* context) noexcept, void* context) {
    access(context);
    return true;
}

SharedSection SharedSection::open(std::string_view name, Access access) {
    const DWORD rights =
        (access == Access::readWrite ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ) | READ_CONTROL;
    HANDLE handle = OpenFileMappingW(rights, FALSE, objectName(name).c_str());
    if (handle == nullptr) {
        const DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED) {
            auto [error, text] = whyRefused(name, code);
            return failed(error, std::move(text));
        }
        return failed(errorFromCode(code), describe("cannot open", name, code));
    }
    if (std::optional<std::string> refused = refusalOf(handle, name)) {
        CloseHandle(handle);
        return failed(SectionError::notPrivate, std::move(*refused));
    }
    const auto [address, code] = mapWhole(handle, access == Access::readWrite);
    if (address == nullptr) {
        return failed(errorFromCode(code), describe("cannot map", name, code));
    }
    SharedSection opened = adopt(address, viewSize(address), handle, false);
    opened.name_ = name;
    return opened;
}

SharedSection SharedSection::openOrCreate(std::string_view name, std::size_t size) {
    SharedSection existing = open(name, Access::readWrite);
    if (existing.isOpen() || existing.error() != SectionError::notFound) {
        return existing;
    }
    OwnerOnlySecurity security(SECTION_ALL_ACCESS);
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
    SharedSection created = adopt(address, viewSize(address), handle, true);
    created.name_ = name;
    return created;
}

// A page-file section keeps the size it was created with.
Result<> SharedSection::growTo(std::string_view name, std::size_t size) {
    const SharedSection section = open(name, Access::readOnly);
    if (!section.isOpen()) {
        return Failure{section.errorText()};
    }
    if (section.size() < size) {
        return Failure{"shared memory \"" + std::string(name) + "\" holds " +
                       std::to_string(section.size()) + " bytes and cannot grow"};
    }
    return {};
}

// A section disappears with its last handle.
void SharedSection::remove(std::string_view) {}

// A page-file section never shrinks: the size it was mapped with stays valid.
std::size_t SharedSection::currentSize() const {
    return isOpen() ? size_ : 0;
}

bool SharedSection::tryLockForWriting() {
    if (writerLock_ != nullptr) {
        return true;
    }
    OwnerOnlySecurity security(EVENT_ALL_ACCESS);
    if (!isOpen() || !security.ready()) {
        return false;
    }
    const HANDLE lock =
        CreateEventW(security.attributes(), TRUE, FALSE, writerLockName(name_).c_str());
    if (lock == nullptr) {
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        return false;
    }
    writerLock_ = lock;
    return true;
}

void SharedSection::close() {
    if (address_ != nullptr) {
        UnmapViewOfFile(address_);
    }
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
    }
    if (writerLock_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(writerLock_));
    }
    address_ = nullptr;
    handle_ = nullptr;
    writerLock_ = nullptr;
    name_.clear();
    size_ = 0;
    createdHere_ = false;
}

}  // namespace velvix::platform
