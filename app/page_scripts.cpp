#include "page_scripts.hpp"

#include "web_text.hpp"

namespace velvix {

extern const std::string_view kDocumentScriptText;
extern const std::string_view kPageSetupWiringText;

namespace {

// The program's own output devices: offering them would make it capture itself.
constexpr std::string_view kOwnDevicePrefix = "Velvix";

constexpr std::string_view kCameraStatementOpening =
    ";if (!window.location.href.endsWith('/signup.html')) {"
    "\t\t\t\t\tdocument.getElementById('camera-select').innerHTML = \"";
constexpr std::string_view kCameraStatementClosing = "\"; initCamera();}";

// Markup characters as character references, for the option's attribute value and text.
std::string escapeMarkup(std::string_view text) {
    std::string out;
    for (const char byte : text) {
        switch (byte) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += "&#39;";
                break;
            case '"':
                out += "&quot;";
                break;
            // The markup parser would turn a bare carriage return into a line feed.
            case '\r':
                out += "&#13;";
                break;
            default:
                out.push_back(byte);
        }
    }
    return out;
}

std::string escapeForDoubleQuotedScript(std::string_view text) {
    std::string out;
    appendScriptStringContent(out, unitsFromBytes(text));
    return out;
}

}  // namespace

std::string_view documentScript() {
    return kDocumentScriptText;
}

std::string composePageSetupScript(const std::vector<std::string>& cameraNames) {
    std::string script(kPageSetupWiringText);
    script += kCameraStatementOpening;
    script += escapeForDoubleQuotedScript("<option value='no camera'>no camera</option>");
    for (std::size_t index = 0; index < cameraNames.size(); ++index) {
        const std::string& name = cameraNames[index];
        if (name.starts_with(kOwnDevicePrefix)) {
            continue;
        }
        const std::string markup = escapeMarkup(name);
        script +=
            escapeForDoubleQuotedScript("<option value='" + markup + "'" +
                                        (index == 0 ? " selected>" : ">") + markup + "</option>");
    }
    script += kCameraStatementClosing;
    return script;
}

}  // namespace velvix
