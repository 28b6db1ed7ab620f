#include <windows.h>

#include <string>

#include "process.hpp"

namespace velvix::testing {
namespace {

std::wstring wide(const std::string& text) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        units);
    return result;
}

// One argument as the C runtime's command-line parser reads it back: as it is where it holds
// nothing the parser splits or takes apart (programs that read their command line themselves,
// such as installers, take switches only so), otherwise quoted, with the backslashes before a
// quote doubled.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(unit == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += unit;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

HANDLE handleOf(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

// The program gets a console of its own, hidden, so that interrupt() can send Ctrl+C to it
// and to nothing else.
ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& outputPath,
                           bool pipeInput)
    : outputPath_(outputPath) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE output = CreateFileW(wide(outputPath).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE writeEnd = nullptr;
    if (pipeInput && CreatePipe(&input, &writeEnd, nullptr, 0)) {
        SetHandleInformation(input, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        input_ = reinterpret_cast<std::intptr_t>(writeEnd);
    } else {
        input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring line;
    for (const auto& argument : arguments) {
        appendQuoted(line += line.empty() ? L"" : L" ", wide(argument));
    }
    PROCESS_INFORMATION started{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr,
                       nullptr, &startup, &started)) {
        CloseHandle(started.hThread);
        process_ = reinterpret_cast<std::intptr_t>(started.hProcess);
        processId_ = started.dwProcessId;
    } else {
        ended_ = true;
    }
    CloseHandle(output);
    CloseHandle(input);
}

ChildProcess::~ChildProcess() {
    closeInput();
    if (!ended_) {
        TerminateProcess(handleOf(process_), 9);
        WaitForSingleObject(handleOf(process_), INFINITE);
    }
    if (process_ != -1) {
        CloseHandle(handleOf(process_));
    }
}

// Joins the program's console just long enough to raise the event there; this process
// ignores Ctrl+C itself meanwhile.
void ChildProcess::interrupt() const {
    if (ended_) {
        return;
    }
    FreeConsole();
    if (AttachConsole(processId_)) {
        SetConsoleCtrlHandler(nullptr, TRUE);
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
    }
}

bool ChildProcess::writeInput(const std::string& text) {
    std::size_t written = 0;
    while (input_ != -1 && written < text.size()) {
        DWORD done = 0;
        if (!WriteFile(handleOf(input_), text.data() + written,
                       static_cast<DWORD>(text.size() - written), &done, nullptr) ||
            done == 0) {
            return false;
        }
        written += done;
    }
    return input_ != -1;
}

void ChildProcess::closeInput() {
    if (input_ != -1) {
        CloseHandle(handleOf(input_));
        input_ = -1;
    }
}

bool ChildProcess::ended() {
    if (ended_ || WaitForSingleObject(handleOf(process_), 0) != WAIT_OBJECT_0) {
        return ended_;
    }
    ended_ = true;
    DWORD code = 0;
    GetExitCodeProcess(handleOf(process_), &code);
    exitStatus_ = static_cast<int>(code);
    return true;
}

}  // namespace velvix::testing
