#pragma once

// Paired 64-bit multicast: the rows that move 64-bit items from one sender tile to one or more
// receiving tile pairs (two tiles whose physical numbers differ only in bit 1).
//
// The sender row is the multicast sender row with a paired send control: 4 plus the direction
// (5 or 6) for one receiving pair, 7 for two or more. Each receiver row is built from timed
// receive events: the early tile of a pair (the one a word reaches strictly first) selects the
// sender and later returns to the neutral selection; both tiles start the paired format, set
// their pointer (patched later) and end the format.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/topology.hpp"

#include <cstdint>
#include <span>

namespace tarnwick::exchange {

// A paired transfer carries at least this many items.
inline constexpr std::uint32_t PAIRED_MINIMUM_ITEMS = 64;

// The rows of `count` 64-bit items from `sender_logical` to the tile pairs in `receivers` (each
// receiver with its partner), one receiver row per entry, in list order.
//
// Errors, in this order: Count(count) for a count outside 64..4148; ReceiverSet for an empty or
// odd-length list, a duplicate, the sender among the receivers, Tile(sender_logical) when the
// sender has no partner, ReceiverSet for the sender's partner among the receivers or a receiver
// without its partner; the errors of `multicast`; then those of `paired_receiver_row`.
[[nodiscard]] Result<MulticastPlan> paired_multicast(const topology::Topology& topology,
                                                     std::uint16_t sender_logical,
                                                     std::span<const std::uint16_t> receivers,
                                                     std::uint32_t count);

// One paired receiver row. `minimum_double_mux` is the smallest paired_time_to_mux from the
// sender over the whole transfer; it fixes the epoch so that the earliest source event of the
// transfer falls on cycle 1.
[[nodiscard]] Result<PlanRow> paired_receiver_row(const topology::Topology& topology,
                                                  std::uint16_t sender_logical,
                                                  std::uint16_t receiver_logical,
                                                  std::uint32_t count,
                                                  std::int32_t minimum_double_mux);

// Replaces the send control (bits 2..0) of every send, send with offset and sending SENDPICP
// (bits 1..0 not both zero) of the row. Fails with Schedule("send control") outside 1..7 and with
// Schedule("sender payload") when the row has no such word; the row is then unchanged.
[[nodiscard]] Status set_sender_control(PlanRow& row, std::uint8_t send_control) noexcept;

} // namespace tarnwick::exchange
