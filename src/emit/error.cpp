#include "tarnwick/emit/error.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>
#include <sstream>

namespace tarnwick::emit {

std::ostream& operator<<(std::ostream& out, const CodegenError& error) {
    if (const ExchangeError* exchange = error.exchange()) {
        debug::tuple(out, "Exchange", *exchange);
    } else {
        debug::tuple(out, "Invalid", error.message());
    }
    return out;
}

std::string to_string(const CodegenError& error) {
    std::ostringstream out;
    out << error;
    return std::move(out).str();
}

} // namespace tarnwick::emit
