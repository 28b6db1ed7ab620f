#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>
#include <sddl.h>

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

// Everyone may read it: a section the program did not make for its user alone.
UnusableSection::UnusableSection(const std::string& name) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                              1 << 20, sectionName(name).c_str());
    made_ = section != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    LocalFree(descriptor);
    if (section != nullptr) {
        handle_ = reinterpret_cast<std::intptr_t>(section);
    }
}

UnusableSection::~UnusableSection() {
    if (handle_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

}  // namespace velvix::testing
