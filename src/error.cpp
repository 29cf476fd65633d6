#include "tarnwick/error.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>
#include <sstream>

namespace tarnwick {

namespace {

struct NameOf {
    std::string_view operator()(const ExchangeError::Tile&) const { return "Tile"; }
    std::string_view operator()(const ExchangeError::DuplicateTile&) const { return "DuplicateTile"; }
    std::string_view operator()(const ExchangeError::Count&) const { return "Count"; }
    std::string_view operator()(const ExchangeError::ReceiverSet&) const { return "ReceiverSet"; }
    std::string_view operator()(const ExchangeError::Schedule&) const { return "Schedule"; }
    std::string_view operator()(const ExchangeError::PlanOffsetRange&) const {
        return "PlanOffsetRange";
    }
    std::string_view operator()(const ExchangeError::Address&) const { return "Address"; }
    std::string_view operator()(const ExchangeError::HostPacket&) const { return "HostPacket"; }
};

} // namespace

std::string_view ExchangeError::name() const noexcept { return std::visit(NameOf{}, value_); }

std::ostream& operator<<(std::ostream& out, const ExchangeError& error) {
    const std::string_view name = error.name();
    std::visit(
        [&](const auto& variant) {
            using V = std::remove_cvref_t<decltype(variant)>;
            if constexpr (std::is_same_v<V, ExchangeError::Tile>) {
                debug::tuple(out, name, variant.tile);
            } else if constexpr (std::is_same_v<V, ExchangeError::Count>) {
                debug::tuple(out, name, variant.count);
            } else if constexpr (std::is_same_v<V, ExchangeError::Address>) {
                debug::tuple(out, name, variant.address);
            } else if constexpr (std::is_same_v<V, ExchangeError::Schedule>) {
                debug::tuple(out, name, variant.message);
            } else if constexpr (std::is_same_v<V, ExchangeError::PlanOffsetRange>) {
                debug::Struct(out, name)
                    .field("cycles", variant.cycles)
                    .field("maximum", variant.maximum)
                    .finish();
            } else {
                out << name;
            }
        },
        error.value());
    return out;
}

std::string to_string(const ExchangeError& error) {
    std::ostringstream out;
    out << error;
    return std::move(out).str();
}

} // namespace tarnwick
