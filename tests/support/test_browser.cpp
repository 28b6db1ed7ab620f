// Stands in for the user's web browser: appends the address it is asked to open as one line to
// the file VELVIX_TEST_BROWSER_LOG names.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* log = std::getenv("VELVIX_TEST_BROWSER_LOG");
    std::FILE* file = log != nullptr && argc == 2 ? std::fopen(log, "ab") : nullptr;
    if (file == nullptr) {
        return 1;
    }
    std::fprintf(file, "%s\n", argv[1]);
    return std::fclose(file) == 0 ? 0 : 1;
}
