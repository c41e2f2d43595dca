// tolvane-cli: the headless front end of Tolvane.
#include "foundation/foundation.h"

#include <cstdio>
#include <cstring>

namespace {

void Usage() {
    std::puts("tolvane-cli: the headless front end of the Tolvane launcher.\n"
              "Usage: tolvane-cli --version | --help");
}

} // namespace

int main(int argc, char** argv) {
    rv::TFoundationScope foundation;
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("tolvane-cli " TOLVANE_VERSION);
        return 0;
    }
    Usage();
    return argc >= 2 && std::strcmp(argv[1], "--help") != 0 ? 2 : 0;
}
