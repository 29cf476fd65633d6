#include "fuzz_input.hpp"

#include <cstdio>
#include <cstdlib>

namespace tarnwick::fuzz {

void check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: promise broken: %s\n", file, line, condition);
    std::abort();
}

} // namespace tarnwick::fuzz
