#include "tarnwick/memory.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>

namespace tarnwick::memory {

std::ostream& operator<<(std::ostream& out, const MemoryElement& element) {
    debug::Struct(out, "MemoryElement")
        .field("interleaved", element.interleaved)
        .field("index", element.index)
        .finish();
    return out;
}

std::string to_string(const MemoryElement& element) {
    return debug::to_string(element);
}

std::ostream& operator<<(std::ostream& out, const MemoryElements& elements) {
    debug::Struct(out, "MemoryElements")
        .field("cursor", elements.cursor())
        .field("end", elements.end_address())
        .finish();
    return out;
}

std::string to_string(const MemoryElements& elements) {
    return debug::to_string(elements);
}

} // namespace tarnwick::memory
