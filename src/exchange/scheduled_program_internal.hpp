#pragma once

// Internal entry of the scheduled program encoder, for callers that already hold the senders and
// events in encoding order (the tile schedule's trial encodings).

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/schedule.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick::exchange::detail {

// Encodes into `words` (cleared first): `senders` sorted by start (stable), `events` sorted by
// cycle (stable). Same checks, errors and words as build_scheduled_program.
[[nodiscard]] Status encode_sorted_program(std::vector<std::uint32_t>& words,
                                           std::span<const ScheduledSenderRow* const> senders,
                                           std::span<const ReceiveEvent> events,
                                           std::uint32_t horizon_cycles);

} // namespace tarnwick::exchange::detail
