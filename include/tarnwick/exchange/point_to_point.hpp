#pragma once

// Point-to-point exchange: the sender row and the receiver row that move a number of 32-bit words
// from one tile to one other tile in a single exchange phase.
//
// Both rows carry placeholder addresses (base word 0) for patching. The receiver row is left
// unfinished: its word 0 is the patch index 1, naming (once that word is dropped) the XPIC delay
// whose tile operand must be set to the sender's physical tile.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/topology.hpp"

#include <cstdint>

namespace tarnwick::exchange {

// Accepts 1..4148 words, otherwise Count(count). At 4148 the receiver's second XPIC delay field
// (count - 53) holds 4095, the largest 12-bit value.
[[nodiscard]] constexpr Status validate_count(std::uint32_t count) noexcept {
    if (count == 0 || count > 4148) {
        return fail(ExchangeError::Count{count});
    }
    return {};
}

// The rows that move `count` words from `sender_logical` to `receiver_logical`: a plan whose
// sender row is the sender's and whose one receiver row is the unfinished receiver row.
//
// Errors, in this order: Count(count), DuplicateTile, Tile(sender_logical),
// Tile(receiver_logical), Schedule("sender delay").
[[nodiscard]] Result<MulticastPlan> point_to_point(const topology::Topology& topology,
                                                   std::uint16_t sender_logical,
                                                   std::uint16_t receiver_logical,
                                                   std::uint32_t count);

} // namespace tarnwick::exchange
