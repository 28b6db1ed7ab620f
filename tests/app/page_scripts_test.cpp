#include "page_scripts.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace velvix {
namespace {

std::string cameraStatement(const std::vector<std::string>& names) {
    const std::string script = composePageSetupScript(names);
    return script.substr(script.find(";if ("));
}

TEST(PageSetupScript, ComposesTheCameraListWithTheFirstDeviceMarked) {
    EXPECT_EQ(cameraStatement({"Cam A", "Cam B"}),
              ";if (!window.location.href.endsWith('/signup.html')) {\t\t\t\t\t"
              "document.getElementById('camera-select').innerHTML = \""
              "<option value=\\u0027no camera\\u0027>no camera<\\u002foption>"
              "<option value=\\u0027Cam A\\u0027 selected>Cam A<\\u002foption>"
              "<option value=\\u0027Cam B\\u0027>Cam B<\\u002foption>"
              "\"; initCamera();}");
}

TEST(PageSetupScript, MarksNothingWhenTheFirstDeviceIsTheProgramsOwn) {
    const std::string statement = cameraStatement({"Velvix", "VelvixCam 2", "My Velvix"});
    EXPECT_EQ(statement.find("selected"), std::string::npos);
    EXPECT_EQ(statement.find("VelvixCam"), std::string::npos);
    EXPECT_NE(statement.find("My Velvix"), std::string::npos);
}

TEST(PageSetupScript, KeepsTheScriptPlainAsciiAndItsStringClosedWhateverTheName) {
    const std::string statement = cameraStatement({"a\"b\\c'd<e>&f\r\n\xE9\xFF</script>"});
    EXPECT_TRUE(std::all_of(statement.begin(), statement.end(),
                            [](char c) { return c == '\t' || (c >= 0x20 && c < 0x7F); }));
    // Only the string's own two quotes are left unescaped.
    EXPECT_EQ(std::count(statement.begin(), statement.end(), '"'), 2);
    EXPECT_EQ(statement.find('\\', 0), statement.find("\\u"));
    EXPECT_NE(statement.find("a&quot;b\\u005cc&#39;d&lt;e&gt;&amp;f&#13;\\u000a\\u00e9\\u00ff"),
              std::string::npos);
}

// Cameras plugged in later appear without a restart.
TEST(PageSetupScript, IsComposedAfreshFromEachEnumeration) {
    int enumerations = 0;
    PageSetupScript script([&] {
        ++enumerations;
        return std::vector<std::string>{"Cam " + std::to_string(enumerations)};
    });
    EXPECT_NE(script.text().find("Cam 1"), std::string::npos);
    EXPECT_NE(script.text().find("Cam 2"), std::string::npos);
}

}  // namespace
}  // namespace velvix
