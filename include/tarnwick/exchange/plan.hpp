#pragma once

// The plan row: the fixed nine-word container of every sender and receiver row. The used words
// come first; every word after them is zero.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace tarnwick::exchange {

inline constexpr std::size_t PLAN_ROW_WORDS = 9;
using PlanRow = std::array<std::uint32_t, PLAN_ROW_WORDS>;

// The rows of one transfer: the sender's row and one row per receiver, in the caller's order.
struct MulticastPlan {
    PlanRow sender{};
    std::vector<PlanRow> receivers;

    friend bool operator==(const MulticastPlan&, const MulticastPlan&) = default;
};

std::ostream& operator<<(std::ostream& out, const MulticastPlan& plan);
[[nodiscard]] std::string to_string(const MulticastPlan& plan);

} // namespace tarnwick::exchange
