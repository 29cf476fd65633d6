#include "tarnwick/emit/code.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>
#include <sstream>

namespace tarnwick::emit {

std::ostream& operator<<(std::ostream& out, const TileCode& code) {
    debug::Struct(out, "TileCode").field("words", code.words).finish();
    return out;
}

std::string to_string(const TileCode& code) {
    std::ostringstream out;
    out << code;
    return std::move(out).str();
}

CodegenResult<std::uint32_t> symbol(const SymbolTable& symbols, std::string_view name) {
    if (const auto found = symbols.find(name); found != symbols.end()) {
        return found->second;
    }
    std::string message = "missing runtime symbol ";
    message += name;
    return fail(invalid(std::move(message)));
}

} // namespace tarnwick::emit
