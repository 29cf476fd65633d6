// Links the installed library and checks that a few public entry points answer as documented.

#include <tarnwick/tarnwick.hpp>

#include <cstdio>
#include <cstring>

int main() {
    if (std::strcmp(tarnwick::version_string, "0.1.0") != 0) {
        std::fprintf(stderr, "unexpected version %s\n", tarnwick::version_string);
        return 1;
    }
    const tarnwick::ExchangeError error = tarnwick::ExchangeError::Tile{1472};
    if (tarnwick::to_string(error) != "Tile(1472)") {
        std::fprintf(stderr, "unexpected debug form %s\n", tarnwick::to_string(error).c_str());
        return 1;
    }
    std::printf("tarnwick %s found and linked\n", tarnwick::version_string);
    return 0;
}
