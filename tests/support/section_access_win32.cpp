#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

#include "section_access.hpp"

namespace velvix::testing {
namespace {

std::wstring sectionName(const std::string& name) {
    return L"Local\\" + std::wstring(name.begin(), name.end());
}

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

}  // namespace

// Owner the current user, and a protected DACL (no entries inherited) with one entry that
// allows the current user in.
bool sectionIsOwnerOnly(const std::string& name) {
    const HANDLE section = OpenFileMappingW(READ_CONTROL, FALSE, sectionName(name).c_str());
    if (section == nullptr) {
        return false;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = GetSecurityInfo(section, SE_KERNEL_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
    CloseHandle(section);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    std::vector<BYTE> user = currentUserSid();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    void* entry = nullptr;
    const bool ownerOnly =
        !user.empty() && owner != nullptr && EqualSid(owner, user.data()) && dacl != nullptr &&
        GetSecurityDescriptorControl(descriptor, &control, &revision) &&
        (control & SE_DACL_PROTECTED) != 0 && dacl->AceCount == 1 && GetAce(dacl, 0, &entry) &&
        static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
        EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, user.data());
    LocalFree(descriptor);
    return ownerOnly;
}

// A section of `bytes` owned by the current user with the given DACL (in which %USER% stands
// for that user), or nothing.
HANDLE makeSection(const std::string& name, const std::wstring& dacl, std::size_t bytes,
                   bool& made) {
    const std::vector<BYTE> user = currentUserSid();
    wchar_t* userText = nullptr;
    if (user.empty() || !ConvertSidToStringSidW(const_cast<BYTE*>(user.data()), &userText)) {
        return nullptr;
    }
    const std::wstring self(userText);
    LocalFree(userText);
    std::wstring entries = dacl;
    if (const auto at = entries.find(L"%USER%"); at != std::wstring::npos) {
        entries.replace(at, 6, self);
    }
    const std::wstring sddl = L"O:" + self + entries;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                              static_cast<DWORD>(bytes), sectionName(name).c_str());
    made = section != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    LocalFree(descriptor);
    return section;
}

// Its owner may only look at it and read it: opening it for writing is denied.
PlantedSection::PlantedSection(const std::string& name, Unusable) : name_(name) {
    const HANDLE section = makeSection(name, L"D:P(A;;0x0005;;;%USER%)", 1 << 20, made_);
    handle_ = section == nullptr ? -1 : reinterpret_cast<std::intptr_t>(section);
}

// Everyone may read and write it: a section the program did not make for its user alone.
PlantedSection::PlantedSection(const std::string& name, std::size_t bytes, std::uint8_t fill)
    : name_(name) {
    const HANDLE section = makeSection(name, L"D:(A;;GA;;;WD)", bytes, made_);
    handle_ = section == nullptr ? -1 : reinterpret_cast<std::intptr_t>(section);
    if (void* view = made_ ? MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, bytes) : nullptr) {
        std::memset(view, fill, bytes);
        UnmapViewOfFile(view);
    }
}

PlantedSection::~PlantedSection() {
    if (handle_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

std::vector<std::uint8_t> sectionBytes(const std::string& name, std::size_t bytes) {
    const HANDLE section = OpenFileMappingW(FILE_MAP_READ, FALSE, sectionName(name).c_str());
    std::vector<std::uint8_t> content;
    if (const void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, bytes)) {
        const auto* first = static_cast<const std::uint8_t*>(view);
        content.assign(first, first + bytes);
        UnmapViewOfFile(view);
    }
    if (section != nullptr) {
        CloseHandle(section);
    }
    return content;
}

}  // namespace velvix::testing
