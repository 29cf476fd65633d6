#pragma once

// Internal steps of the phase program builder, on a span of tile schedules.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/schedule.hpp"
#include "tarnwick/exchange/transfer.hpp"

#include "exchange/schedule_internal.hpp"

#include <cstdint>
#include <span>

namespace tarnwick::exchange::detail {

// The builder's offset search, with the receivers' payload bound chosen by `bound` (the builder
// uses PayloadBound::Always).
[[nodiscard]] Result<std::uint32_t>
earliest_transfer_offset(std::span<const TileProgramSchedule> tiles,
                         const ResolvedTransfer& transfer, std::uint32_t requested,
                         PayloadBound bound);

} // namespace tarnwick::exchange::detail
