#pragma once

// The error of every exchange-side operation, and the result types built on it.
//
// An ExchangeError is a small tagged value: it never allocates, so the phase search can make and
// drop errors in its inner loop. Schedule messages are string literals naming the violated
// constraint ("sender delay", "receive horizon overflow"); they compare by text.

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>

namespace tarnwick {

class ExchangeError {
public:
    // A logical tile outside the topology or the builder.
    struct Tile {
        std::uint16_t tile;
        friend constexpr bool operator==(const Tile&, const Tile&) = default;
    };
    // The sender is also the receiver.
    struct DuplicateTile {
        friend constexpr bool operator==(const DuplicateTile&, const DuplicateTile&) = default;
    };
    // A word or item count out of range.
    struct Count {
        std::uint32_t count;
        friend constexpr bool operator==(const Count&, const Count&) = default;
    };
    // A receiver list that is empty, repeats a tile, includes the sender or breaks the pairing rules.
    struct ReceiverSet {
        friend constexpr bool operator==(const ReceiverSet&, const ReceiverSet&) = default;
    };
    // An encoding or scheduling constraint failed. The message must be a string literal.
    struct Schedule {
        std::string_view message;
        friend constexpr bool operator==(const Schedule&, const Schedule&) = default;
    };
    // A plan offset beyond what a row's delays can absorb.
    struct PlanOffsetRange {
        std::uint32_t cycles;
        std::uint32_t maximum;
        friend constexpr bool operator==(const PlanOffsetRange&, const PlanOffsetRange&) = default;
    };
    // A misaligned or out-of-range byte address.
    struct Address {
        std::uint32_t address;
        friend constexpr bool operator==(const Address&, const Address&) = default;
    };
    // Any host packet, planning or program failure.
    struct HostPacket {
        friend constexpr bool operator==(const HostPacket&, const HostPacket&) = default;
    };

    using Variant = std::variant<Tile, DuplicateTile, Count, ReceiverSet, Schedule, PlanOffsetRange,
                                 Address, HostPacket>;

    template <class V>
        requires std::is_constructible_v<Variant, V>
    constexpr ExchangeError(V value) noexcept : value_(value) {} // NOLINT: implicit by design

    [[nodiscard]] constexpr const Variant& value() const noexcept { return value_; }

    template <class V>
    [[nodiscard]] constexpr bool is() const noexcept {
        return std::holds_alternative<V>(value_);
    }

    template <class V>
    [[nodiscard]] constexpr const V* get_if() const noexcept {
        return std::get_if<V>(&value_);
    }

    // The variant's name: "Tile", "Schedule", ...
    [[nodiscard]] std::string_view name() const noexcept;

    friend constexpr bool operator==(const ExchangeError&, const ExchangeError&) = default;

private:
    Variant value_;
};

// `Tile(1472)`, `Schedule("sender delay")`, `PlanOffsetRange { cycles: 5, maximum: 0 }`.
std::ostream& operator<<(std::ostream& out, const ExchangeError& error);
[[nodiscard]] std::string to_string(const ExchangeError& error);

template <class T>
using Result = std::expected<T, ExchangeError>;
using Status = Result<void>;

// Shorthand for the failing return of a Result-returning function.
[[nodiscard]] constexpr std::unexpected<ExchangeError> fail(ExchangeError error) noexcept {
    return std::unexpected<ExchangeError>(error);
}

// Shorthand for the most common failure: a named scheduling constraint.
[[nodiscard]] constexpr std::unexpected<ExchangeError>
schedule_error(std::string_view message) noexcept {
    return std::unexpected<ExchangeError>(ExchangeError::Schedule{message});
}

} // namespace tarnwick
