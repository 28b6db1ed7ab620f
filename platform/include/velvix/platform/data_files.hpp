#pragma once

#include <string>
#include <vector>

namespace velvix::platform {

// Where a data file of the program (the landmark model, the face detector's files) is looked
// for, by its bare name and in this order: the running program's folder and the installed data
// folder. The data folder is found from the program's folder (`../share/velvix` beside `bin/`),
// so that an installation moved to another prefix still finds its data. The current folder is
// never searched: whoever can write to the folder a person works in would choose the files
// the program parses.
std::vector<std::string> dataFileCandidates(const std::string& name);

// The first candidate that is a file; empty when there is none.
std::string findDataFile(const std::string& name);

// "no such file (looked for A, B, C)", for the line that says a data file is missing.
std::string missingDataFileText(const std::string& name);

}  // namespace velvix::platform
