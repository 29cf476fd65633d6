#include "tarnwick/emit/options.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>
#include <sstream>

namespace tarnwick::emit {

namespace {

template <class T>
std::string format(const T& value) {
    std::ostringstream out;
    out << value;
    return std::move(out).str();
}

} // namespace

std::ostream& operator<<(std::ostream& out, const CodegenOptions& options) {
    debug::Struct(out, "CodegenOptions")
        .field("code_address", options.code_address)
        .field("invocations", options.invocations)
        .field("initial_profile_address", options.initial_profile_address)
        .field("final_profile_address", options.final_profile_address)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const GeneratedProgram& generated) {
    debug::Struct(out, "GeneratedProgram")
        .field("bytes", generated.bytes)
        .field("exchange_rows", generated.exchange_rows)
        .finish();
    return out;
}

std::string to_string(const CodegenOptions& options) {
    return format(options);
}
std::string to_string(const GeneratedProgram& generated) {
    return format(generated);
}

} // namespace tarnwick::emit
