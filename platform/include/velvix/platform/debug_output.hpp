#pragma once

#include <string>
#include <string_view>

namespace velvix::platform {

// Writes one line of diagnostics where a developer looks for them (the debugger on Windows,
// standard error elsewhere), as printableLine() shows it, whatever the log's filter says
// (logLine() in log.hpp asks the filter first). Safe to call from any thread; lines
// never interleave.
void debugOutput(std::string_view line);

// The text of a UTF-8 line as a terminal may show it: control characters (C0, DEL and C1),
// which could move the cursor, end the line or reprogram the terminal, become \xHH (\u00HH for
// C1), bytes that are not UTF-8 become \xHH, and a backslash becomes \\, so that the line can
// be read back exactly.
std::string printableLine(std::string_view text);

}  // namespace velvix::platform
