// Our declarations of the WebView2 interfaces against the runtime's table of them
// (webview2_slots.tsv: interface, method, vtable slot, interface identifier): each declared
// method in its slot, no slot left out before the last declared one, each identifier right.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>

#include "host/win32/webview2_interfaces.hpp"

namespace velvix {
namespace {

using namespace webview2;

constexpr int kNotDeclared = -1;

// mingw's g++ follows the Itanium C++ ABI: a pointer to a virtual member function holds 1 plus
// the method's byte offset in the vtable.
template <typename Member>
int vtableSlot(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
    return (words[0] & 1) != 0 ? static_cast<int>((words[0] - 1) / sizeof(void*)) : -2;
}

struct SlotRow {
    std::string interfaceName;
    std::string method;
    int slot;
    const char* iid;
    IID declaredIid;
    int declaredSlot;
};

// One row per line of the table whose interface the header declares (written by CMake).
// QueryInterface is IUnknown's, overloaded by mingw's header: its row is looked at as
// IUnknown's first slot.
#define VELVIX_SLOT_ROW(Interface, Method, slot, iid)                                        \
    SlotRow{#Interface, #Method, slot, iid, Interface::kIid, [](auto* tag) {                 \
                using T = std::remove_pointer_t<decltype(tag)>;                              \
                if constexpr (requires { &T::Method; }) {                                    \
                    return vtableSlot(&T::Method);                                           \
                } else {                                                                     \
                    return std::string_view(#Method) == "QueryInterface" ? 0 : kNotDeclared; \
                }                                                                            \
            }(static_cast<Interface*>(nullptr))},

const SlotRow kRows[] = {
#include "webview2_slot_rows.inc"
};

IID iidFromTable(const char* text) {
    const std::string braced = std::string("{") + text + "}";
    const std::wstring wide(braced.begin(), braced.end());
    IID iid{};
    IIDFromString(wide.c_str(), &iid);
    return iid;
}

TEST(WebView2Declarations, SitInTheRuntimesSlotsWithItsIdentifiers) {
    std::map<std::string, int> lastDeclared;
    for (const SlotRow& row : kRows) {
        lastDeclared[row.interfaceName] =
            std::max(lastDeclared[row.interfaceName], row.declaredSlot);
    }
    for (const SlotRow& row : kRows) {
        SCOPED_TRACE(row.interfaceName + "::" + row.method);
        EXPECT_TRUE(IsEqualIID(row.declaredIid, iidFromTable(row.iid)));
        if (row.slot <= lastDeclared[row.interfaceName]) {
            EXPECT_EQ(row.declaredSlot, row.slot);
        } else {
            EXPECT_EQ(row.declaredSlot, kNotDeclared);
        }
    }
}

}  // namespace
}  // namespace velvix
