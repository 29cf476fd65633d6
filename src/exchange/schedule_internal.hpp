#pragma once

// Internal steps of the tile program schedule, on rows already analysed at offset 0, so that the
// phase builder's offset search analyses each row once per call and shifts it per candidate.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/row_timing.hpp"
#include "tarnwick/exchange/schedule.hpp"

#include <cstdint>

namespace tarnwick::exchange::detail {

// Which lower bound the receiver search puts on a stream's payload start. The schedule always
// uses `Always`: a stream whose payload starts before the previous payload end is refused by
// append_receiver_at whether or not its pointer address continues, so the search must not return
// such an offset. `WhenAddressMoves` applies the bound only where the pointer address does not
// continue; it is kept so that tests can show that both give the same offsets wherever the
// weaker one leads to a placement that can be appended.
enum class PayloadBound { WhenAddressMoves, Always };

[[nodiscard]] Result<std::uint32_t> earliest_sender_offset(const TileProgramSchedule& schedule,
                                                           const SenderRowTiming& base,
                                                           std::uint32_t requested);

[[nodiscard]] Result<std::uint32_t>
earliest_receiver_offset(const TileProgramSchedule& schedule, const ReceiveRowTiming& base,
                         std::uint32_t received_words, std::uint32_t requested,
                         PayloadBound bound = PayloadBound::Always);

// append_receiver_at on a row analysed at offset 0.
[[nodiscard]] Result<ScheduledReceiverWindow>
append_receiver_window(TileProgramSchedule& schedule, const ReceiveRowTiming& base,
                       std::uint32_t schedule_offset, std::uint32_t received_words);

} // namespace tarnwick::exchange::detail
