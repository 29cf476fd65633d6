#pragma once

// Multicast exchange: the rows that move a number of 32-bit words from one sender tile to one or
// more receiver tiles in one exchange phase.
//
// The sender sends once; every receiver's multiplexer selects the sender at the cycle at which the
// words reach that receiver, which differs by route. A schedule offset delays the whole transfer
// so that the phase scheduler can place it later. Rows carry base word 0 until their addresses are
// patched. Unlike the point-to-point receiver row, a multicast receiver row has no patch index: it
// opens with the sync, its first XPIC delay selects the sender's physical tile, and its pointer
// control defaults to word address 0x14000.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/topology.hpp"

#include <cstdint>
#include <span>

namespace tarnwick::exchange {

// The default pointer operand of a multicast receiver row.
inline constexpr std::uint32_t MULTICAST_DEFAULT_POINTER = 0x14000;
// Start and receive cycles must stay below this bound.
inline constexpr std::uint32_t MULTICAST_CYCLE_LIMIT = 4096;

// One sender row and one receiver row per entry of `receiver_logical`, in list order.
//
// Errors, in this order: Count(count); Tile(sender_logical); ReceiverSet for an empty list, a
// receiver equal to the sender or to an earlier receiver, or one that is not a valid tile;
// Schedule("multicast start cycle") when the natural start plus `schedule_offset` reaches 4,096;
// Schedule("multicast receive cycle") for the first receiver whose receive cycle leaves 0..4095.
// On tables other than the V600's, a tile number that does not fit the row's fields is refused:
// Schedule("sender tile operand") for a sender beyond the 13-bit selection, Schedule("receiver
// phase") for a receiver row beyond 38.
[[nodiscard]] Result<MulticastPlan> multicast(const topology::Topology& topology,
                                              std::uint16_t sender_logical,
                                              std::span<const std::uint16_t> receiver_logical,
                                              std::uint32_t count, std::uint32_t schedule_offset);

} // namespace tarnwick::exchange
