#include "tarnwick/exchange/multicast.hpp"

#include "tarnwick/exchange/point_to_point.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/log.hpp"
#include "exchange/row_writer.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tarnwick::exchange {

using detail::MAX_PIC_DELAY_FIELD;
using detail::RowWriter;
using detail::SEND_WORDS;

namespace {

// The largest tile selection of an XPIC delay.
constexpr std::uint32_t MAX_XPIC_OPERAND = 0x1FFF;

// A PIC delay lasting n + 1 cycles that points at the default receive address.
[[nodiscard]] constexpr std::uint32_t default_pointer(std::uint32_t n) noexcept {
    return instruction::delay_pic(n, 0, MULTICAST_DEFAULT_POINTER);
}

} // namespace

Result<MulticastPlan> multicast(const topology::Topology& topology, std::uint16_t sender_logical,
                                std::span<const std::uint16_t> receiver_logical, std::uint32_t count,
                                std::uint32_t schedule_offset) {
    using namespace instruction;

    if (const Status valid = validate_count(count); !valid) {
        return fail(valid.error());
    }
    const Result<std::uint16_t> sender = topology.physical(sender_logical);
    if (!sender) {
        return fail(sender.error());
    }
    const std::uint32_t source_physical = *sender;

    // Every receiver must be a valid tile, distinct from the sender and from every earlier one.
    if (receiver_logical.empty()) {
        return fail(ExchangeError::ReceiverSet{});
    }
    std::vector<bool> used(topology.tile_count(), false);
    used[sender_logical] = true;
    std::vector<std::uint32_t> receiver_physical;
    receiver_physical.reserve(receiver_logical.size());
    for (const std::uint16_t receiver : receiver_logical) {
        const Result<std::uint16_t> physical = topology.physical(receiver);
        if (!physical || used[receiver]) {
            return fail(ExchangeError::ReceiverSet{});
        }
        used[receiver] = true;
        receiver_physical.push_back(*physical);
    }

    std::vector<std::int32_t> mux_times;
    mux_times.reserve(receiver_physical.size());
    for (const std::uint32_t physical : receiver_physical) {
        mux_times.push_back(topology::time_to_mux(source_physical, physical));
    }
    const std::int32_t minimum_mux = std::ranges::min(mux_times);

    // The earliest start that gives every receiver a non-negative receive cycle, then the offset.
    const std::int64_t natural_start = std::max<std::int64_t>(0, -std::int64_t{minimum_mux});
    const std::int64_t start = natural_start + std::int64_t{schedule_offset};
    if (start >= MULTICAST_CYCLE_LIMIT) {
        return schedule_error("multicast start cycle");
    }
    // The first send issues `start` cycles after the sync.
    const std::int64_t sender_delay = start - 1;

    // The receiver rows select the sender by its physical number and point their PIC delays up
    // to receiver_phase + 51 cycles ahead: both must fit their fields.
    if (source_physical > MAX_XPIC_OPERAND) {
        return schedule_error("sender tile operand");
    }

    RowWriter sender_row;
    sender_row.push(SYNC_EXCHANGE_INSTRUCTION);
    if (sender_delay >= 0) {
        sender_row.push(delay(static_cast<std::uint32_t>(sender_delay)));
    }
    const std::uint32_t send_direction =
        receiver_physical.size() == 1 ? topology::direction(source_physical, receiver_physical[0])
                                      : 3u;
    const Result<std::uint32_t> first_send =
        encode_send(std::min(count, SEND_WORDS) - 1u, send_direction, 0);
    if (!first_send) {
        return fail(first_send.error());
    }
    sender_row.push(*first_send);
    if (count > SEND_WORDS) {
        sender_row.push(send_off(count - (SEND_WORDS + 1u), send_direction, 0));
    }
    // Pads the sender row to at least six cycles.
    const std::int64_t trailing_delay = std::int64_t{4} - sender_delay - std::int64_t{count};
    if (trailing_delay >= 0) {
        sender_row.push(delay(static_cast<std::uint32_t>(trailing_delay)));
    }
    sender_row.push(RETURN_INSTRUCTION);

    MulticastPlan plan{sender_row.row(), {}};
    plan.receivers.reserve(receiver_physical.size());
    for (std::size_t index = 0; index < receiver_physical.size(); ++index) {
        const std::uint32_t physical = receiver_physical[index];
        const std::int64_t receive_cycle = start + mux_times[index];
        if (receive_cycle < 0 || receive_cycle >= MULTICAST_CYCLE_LIMIT) {
            return schedule_error("multicast receive cycle");
        }
        const std::uint32_t receiver_phase = (physical >> 6) * 2u;
        if (receiver_phase + 51u > MAX_PIC_DELAY_FIELD) {
            return schedule_error("receiver phase");
        }
        // The multiplexer selects the sender at S = receive_cycle + 1; the other controls follow
        // at the distances of the point-to-point receiver row, and the receive always ends with
        // the neutral selection.
        RowWriter row;
        row.push(SYNC_EXCHANGE_INSTRUCTION);
        row.push(delay_xpic(static_cast<std::uint32_t>(receive_cycle), 0, source_physical));
        if (count <= 51) {
            row.push(delay_xpic(count - 1u, 0, TILE_MUX_EXCHANGE));
            row.push(default_pointer(51u - count + receiver_phase));
            row.push(delay(count + 4u));
        } else if (count == 52) {
            row.push(default_pointer(receiver_phase + 50u));
            row.push(delay_xpic(0, 0, TILE_MUX_EXCHANGE));
            row.push(delay(56));
        } else {
            row.push(default_pointer(receiver_phase + 51u));
            row.push(delay_xpic(count - 53u, 0, TILE_MUX_EXCHANGE));
            row.push(delay(56));
        }
        row.push(RETURN_INSTRUCTION);
        plan.receivers.push_back(row.row());
    }

    log::debug_event(log::EXCHANGE_TARGET, "assembled multicast exchange",
                     log::field("sender_logical", sender_logical),
                     log::field("receiver_logical", receiver_logical), log::field("count", count),
                     log::field("schedule_offset", schedule_offset));
    return plan;
}

} // namespace tarnwick::exchange
