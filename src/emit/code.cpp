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

CodegenStatus TileCode::encoder_failure(const ExchangeError& error) {
    return fail(error);
}

CodegenStatus TileCode::setzi_long(std::uint8_t register_, std::uint32_t immediate) {
    if (auto status = append(instruction::encode_setzi_m(register_, immediate >> 12)); !status) {
        return status;
    }
    if (auto status = append(instruction::encode_shl_m_immediate(register_, register_, 12));
        !status) {
        return status;
    }
    return append(instruction::encode_add_m_immediate(
        register_, register_, static_cast<std::int32_t>(immediate & 0xFFF)));
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
