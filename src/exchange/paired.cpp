#include "tarnwick/exchange/paired.hpp"

#include "tarnwick/exchange/multicast.hpp"
#include "tarnwick/exchange/point_to_point.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

namespace tarnwick::exchange {

namespace {

// The largest tile selection of an XPIC delay.
constexpr std::uint32_t MAX_XPIC_OPERAND = 0x1FFF;
// Cycles between a row's last receive event and its end.
constexpr std::int64_t PAIRED_ROW_TAIL = 7;

[[nodiscard]] bool contains(std::span<const std::uint16_t> sorted, std::uint16_t tile) noexcept {
    return std::ranges::binary_search(sorted, tile);
}

} // namespace

Status set_sender_control(PlanRow& row, std::uint8_t send_control) noexcept {
    if (send_control < 1 || send_control > 7) {
        return schedule_error("send control");
    }
    bool replaced = false;
    for (std::uint32_t& word : row) {
        const bool payload = (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE ||
                             instruction::is_send_off(word) ||
                             (instruction::is_send_control_pair(word) && (word & 3u) != 0);
        if (payload) {
            word = (word & ~7u) | send_control;
            replaced = true;
        }
    }
    if (!replaced) {
        return schedule_error("sender payload");
    }
    return {};
}

Result<PlanRow> paired_receiver_row(const topology::Topology& topology, std::uint16_t sender_logical,
                                    std::uint16_t receiver_logical, std::uint32_t count,
                                    std::int32_t minimum_double_mux) {
    using namespace instruction;

    const Result<std::uint16_t> sender_tile = topology.physical(sender_logical);
    if (!sender_tile) {
        return fail(sender_tile.error());
    }
    const Result<std::uint16_t> receiver_tile = topology.physical(receiver_logical);
    if (!receiver_tile) {
        return fail(receiver_tile.error());
    }
    const std::uint32_t sender = *sender_tile;
    const std::uint32_t receiver = *receiver_tile;

    // Wide arithmetic: the caller's minimum may be any i32, the count any u32.
    const std::int64_t epoch_shift = std::max<std::int64_t>(1 - std::int64_t{minimum_double_mux}, 0);
    const std::int64_t source_event = epoch_shift + topology::paired_time_to_mux(sender, receiver);
    if (source_event < 0) {
        return schedule_error("paired source timing");
    }
    const std::int64_t format_start = source_event + 51 + std::int64_t{(receiver >> 6) * 2u};

    struct TimedControl {
        std::int64_t cycles;
        std::uint32_t instruction;
        ReceiveEventKind kind;
    };
    std::vector<TimedControl> controls;
    controls.reserve(5);
    const Result<bool> early = topology.paired_receiver_is_early(receiver_logical, sender_logical);
    if (!early) {
        return fail(early.error());
    }
    if (*early) {
        // The selection names the sender, with bit 1 flipped for the upper tile of the pair.
        if (sender > MAX_XPIC_OPERAND) {
            return schedule_error("sender tile operand");
        }
        controls.push_back({source_event, delay_xpic(0, 1, sender ^ (receiver & 2u)),
                            ReceiveEventKind::PairedSource});
        controls.push_back({source_event + std::int64_t{count}, delay_xpic(0, 1, TILE_MUX_EXCHANGE),
                            ReceiveEventKind::PairedNeutral});
    }
    controls.push_back({format_start, delay_pic(0, 1, topology::direction(sender, receiver)),
                        ReceiveEventKind::Format});
    controls.push_back({format_start + 2, delay_pic(0, 0, 0), ReceiveEventKind::Pointer});
    controls.push_back({format_start + std::int64_t{count}, delay_pic(0, 1, 0), ReceiveEventKind::Format});

    std::ranges::stable_sort(controls, {}, &TimedControl::cycles);
    for (std::size_t index = 1; index < controls.size(); ++index) {
        if (controls[index].cycles == controls[index - 1].cycles) {
            return schedule_error("paired receive coincident controls");
        }
    }
    // The row ends seven cycles after its last control; every cycle must fit the timeline.
    const std::int64_t horizon = controls.back().cycles + PAIRED_ROW_TAIL;
    if (horizon > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
        return schedule_error("paired receive horizon overflow");
    }
    std::vector<ReceiveEvent> events;
    events.reserve(controls.size());
    for (const TimedControl& control : controls) {
        events.push_back({static_cast<std::uint32_t>(control.cycles), control.instruction, control.kind});
    }
    if (const Status valid = validate_receive_events(events); !valid) {
        return fail(valid.error());
    }

    std::vector<std::uint32_t> words{SYNC_EXCHANGE_INSTRUCTION};
    std::uint32_t cycles = 0;
    if (const Status encoded = append_receive_events(words, cycles, events,
                                                     static_cast<std::uint32_t>(horizon), false);
        !encoded) {
        return fail(encoded.error());
    }
    words.push_back(RETURN_INSTRUCTION);
    if (words.size() > PLAN_ROW_WORDS) {
        return schedule_error("paired receive row capacity");
    }
    PlanRow row{};
    std::ranges::copy(words, row.begin());
    return row;
}

Result<MulticastPlan> paired_multicast(const topology::Topology& topology,
                                       std::uint16_t sender_logical,
                                       std::span<const std::uint16_t> receivers, std::uint32_t count) {
    if (const Status valid = validate_count(count); !valid) {
        return fail(valid.error());
    }
    if (count < PAIRED_MINIMUM_ITEMS) {
        return fail(ExchangeError::Count{count});
    }
    if (receivers.empty() || receivers.size() % 2 != 0) {
        return fail(ExchangeError::ReceiverSet{});
    }

    // Every receiver comes with its partner; neither the sender nor its partner receives.
    std::vector<std::uint16_t> receiver_set(receivers.begin(), receivers.end());
    std::ranges::sort(receiver_set);
    const auto duplicates = std::ranges::unique(receiver_set);
    if (!duplicates.empty()) {
        return fail(ExchangeError::ReceiverSet{});
    }
    if (contains(receiver_set, sender_logical)) {
        return fail(ExchangeError::ReceiverSet{});
    }
    const Result<std::uint16_t> sender_partner = topology.paired_logical(sender_logical);
    if (!sender_partner) {
        return fail(sender_partner.error());
    }
    if (contains(receiver_set, *sender_partner)) {
        return fail(ExchangeError::ReceiverSet{});
    }
    for (const std::uint16_t receiver : receivers) {
        const Result<std::uint16_t> partner = topology.paired_logical(receiver);
        if (!partner || !contains(receiver_set, *partner)) {
            return fail(ExchangeError::ReceiverSet{});
        }
    }

    Result<MulticastPlan> plan = multicast(topology, sender_logical, receivers, count, 0);
    if (!plan) {
        return plan;
    }
    const Result<std::uint16_t> sender = topology.physical(sender_logical);
    if (!sender) {
        return fail(sender.error());
    }
    const std::uint32_t sender_physical = *sender;

    std::vector<std::uint32_t> receiver_physical;
    receiver_physical.reserve(receivers.size());
    for (const std::uint16_t receiver : receivers) {
        const Result<std::uint16_t> physical = topology.physical(receiver);
        if (!physical) {
            return fail(physical.error());
        }
        receiver_physical.push_back(*physical);
    }

    const std::uint8_t send_control =
        receivers.size() == 2
            ? static_cast<std::uint8_t>(topology::direction(sender_physical, receiver_physical[0]) | 4u)
            : std::uint8_t{7};
    if (const Status controlled = set_sender_control(plan->sender, send_control); !controlled) {
        return fail(controlled.error());
    }

    std::int32_t minimum_double_mux = std::numeric_limits<std::int32_t>::max();
    for (const std::uint32_t physical : receiver_physical) {
        minimum_double_mux =
            std::min(minimum_double_mux, topology::paired_time_to_mux(sender_physical, physical));
    }

    for (std::size_t index = 0; index < receivers.size(); ++index) {
        const Result<PlanRow> row =
            paired_receiver_row(topology, sender_logical, receivers[index], count, minimum_double_mux);
        if (!row) {
            return fail(row.error());
        }
        plan->receivers[index] = *row;
    }
    return plan;
}

} // namespace tarnwick::exchange
