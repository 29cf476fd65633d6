#include "tarnwick/exchange/schedule.hpp"

#include "tarnwick/debug.hpp"
#include "tarnwick/exchange/scheduled_program.hpp"

#include "exchange/schedule_internal.hpp"

#include <algorithm>
#include <limits>
#include <ostream>

namespace tarnwick::exchange {

namespace {

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

[[nodiscard]] constexpr std::uint32_t saturating_next(std::uint32_t cycles) noexcept {
    return cycles == U32_MAX ? cycles : cycles + 1;
}

// Whether a receive event lies on a message's first payload cycle or on the cycle after it, where
// no control can be fused into the message.
[[nodiscard]] bool touches_message_start(std::uint32_t cycles, std::uint32_t start) noexcept {
    return cycles == start || cycles == saturating_next(start);
}

[[nodiscard]] bool has_event_at_message_start(std::span<const ReceiveEvent> events,
                                              std::uint32_t start) noexcept {
    return std::ranges::any_of(events, [start](const ReceiveEvent& event) {
        return touches_message_start(event.cycles, start);
    });
}

// The lower bound `bound` − `cycles`, or 0 when the row's event already comes late enough.
[[nodiscard]] constexpr std::uint32_t catch_up(std::uint32_t bound, std::uint32_t cycles) noexcept {
    return bound > cycles ? bound - cycles : 0;
}

} // namespace

namespace detail {

Result<std::uint32_t> earliest_sender_offset(const TileProgramSchedule& schedule,
                                             const SenderRowTiming& base, std::uint32_t requested) {
    std::uint32_t offset = requested;
    for (;;) {
        if (base.start_cycles > U32_MAX - offset || base.end_cycles > U32_MAX - offset) {
            return schedule_error("send offset overflow");
        }
        const std::uint32_t start = base.start_cycles + offset;
        const std::uint32_t end = base.end_cycles + offset;
        const auto conflict =
            std::ranges::find_if(schedule.senders, [start, end](const ScheduledSenderRow& sender) {
                return start < sender.end_cycles && sender.start_cycles < end;
            });
        if (conflict != schedule.senders.end()) {
            // The new message then starts exactly where the conflicting one ends.
            offset = conflict->end_cycles - base.start_cycles;
            continue;
        }
        if (has_event_at_message_start(schedule.receive_events, start)) {
            if (offset == U32_MAX) {
                return schedule_error("send offset overflow");
            }
            ++offset;
            continue;
        }
        return offset;
    }
}

Result<std::uint32_t> earliest_receiver_offset(const TileProgramSchedule& schedule,
                                               const ReceiveRowTiming& base,
                                               std::uint32_t received_words,
                                               std::uint32_t requested, PayloadBound bound) {
    std::uint32_t offset = requested;
    const std::optional<ReceiveStream>& previous = schedule.receive_stream;
    if (previous) {
        const std::optional<std::uint32_t> source_cycles =
            base.source_cycles ? base.source_cycles : base.format_start_cycles;
        if (!source_cycles) {
            return schedule_error("receive source timing");
        }
        offset = std::max(offset, catch_up(previous->source_end_cycles, *source_cycles));
        // The payload may not start before the previous payload ends, whether or not the pointer
        // address continues: append_receiver_at refuses both.
        if (bound == PayloadBound::Always || base.pointer_address != previous->next_address) {
            if (!base.pointer_cycles) {
                return schedule_error("receive pointer event");
            }
            offset = std::max(offset, catch_up(previous->pointer_end_cycles, *base.pointer_cycles));
        }
    }

    for (;;) {
        const auto timing = scheduled_receive_window(base, offset, received_words, previous);
        if (!timing) {
            return fail(timing.error());
        }
        const bool replaces_neutral = previous && previous->source_end_cycles == timing->source_start;
        const bool blocked = std::ranges::any_of(timing->events, [&](const ReceiveEvent& added) {
            const bool collides =
                std::ranges::any_of(schedule.receive_events, [&](const ReceiveEvent& existing) {
                    if (existing.cycles != added.cycles ||
                        receive_events_can_share_instruction(added, existing)) {
                        return false;
                    }
                    // The previous stream's teardown that append_receiver_at drops.
                    return !(replaces_neutral && added.kind == ReceiveEventKind::OrdinarySource &&
                             existing.kind == ReceiveEventKind::OrdinaryNeutral);
                });
            return collides || std::ranges::any_of(schedule.senders,
                                                   [&](const ScheduledSenderRow& sender) {
                                                       return touches_message_start(
                                                           added.cycles, sender.start_cycles);
                                                   });
        });
        if (!blocked) {
            return offset;
        }
        if (offset == U32_MAX) {
            return schedule_error("receive offset overflow");
        }
        ++offset;
    }
}

Result<ScheduledReceiverWindow> append_receiver_window(TileProgramSchedule& schedule,
                                                       const ReceiveRowTiming& base,
                                                       std::uint32_t schedule_offset,
                                                       std::uint32_t received_words) {
    auto timing = scheduled_receive_window(base, schedule_offset, received_words,
                                           schedule.receive_stream);
    if (!timing) {
        return fail(timing.error());
    }
    std::optional<std::uint32_t> next_address;
    if (timing->pointer_address) {
        const std::uint64_t item_bytes = base.mode == ReceiveMode::Paired64 ? 8 : 4;
        const std::uint64_t next = std::uint64_t{*timing->pointer_address} +
                                   std::uint64_t{received_words} * item_bytes;
        if (next > U32_MAX) {
            return schedule_error("receive address overflow");
        }
        next_address = static_cast<std::uint32_t>(next);
    }
    if (const auto& previous = schedule.receive_stream) {
        if (timing->source_start < previous->source_end_cycles ||
            timing->payload_start < previous->pointer_end_cycles) {
            return schedule_error("overlapping receive streams");
        }
        // The multiplexer switches straight from the previous source to this one.
        if (timing->source_start == previous->source_end_cycles &&
            previous->mode == ReceiveMode::Ordinary && base.mode == ReceiveMode::Ordinary) {
            const std::uint32_t teardown = previous->source_end_cycles;
            const auto found = std::ranges::find_if(
                schedule.receive_events.rbegin(), schedule.receive_events.rend(),
                [teardown](const ReceiveEvent& event) {
                    return event.kind == ReceiveEventKind::OrdinaryNeutral && event.cycles == teardown;
                });
            if (found != schedule.receive_events.rend()) {
                schedule.receive_events.erase(std::next(found).base());
            }
        }
    }
    schedule.receive_events.insert(schedule.receive_events.end(), timing->events.begin(),
                                   timing->events.end());
    schedule.event_cycles = std::max(schedule.event_cycles, timing->horizon);
    schedule.receive_stream =
        ReceiveStream{base.mode, timing->source_end, timing->payload_end, next_address};
    return timing;
}

} // namespace detail

Result<std::uint32_t> TileProgramSchedule::earliest_sender_offset(const PlanRow& row,
                                                                  std::uint32_t requested) const {
    const auto base = sender_row_timing(row, 0);
    if (!base) {
        return fail(base.error());
    }
    return detail::earliest_sender_offset(*this, *base, requested);
}

Result<std::uint32_t> TileProgramSchedule::earliest_receiver_offset(const PlanRow& row,
                                                                    std::uint32_t received_words,
                                                                    std::uint32_t requested) const {
    const auto base = receive_row_timing(row, 0);
    if (!base) {
        return fail(base.error());
    }
    return detail::earliest_receiver_offset(*this, *base, received_words, requested);
}

Status TileProgramSchedule::append_sender_at(const PlanRow& row, std::uint32_t schedule_offset) {
    const auto timing = sender_row_timing(row, schedule_offset);
    if (!timing) {
        return fail(timing.error());
    }
    const bool overlaps = std::ranges::any_of(senders, [&](const ScheduledSenderRow& sender) {
        return timing->start_cycles < sender.end_cycles && sender.start_cycles < timing->end_cycles;
    });
    if (overlaps) {
        return schedule_error("overlapping outgoing messages");
    }
    if (has_event_at_message_start(receive_events, timing->start_cycles)) {
        return schedule_error("unencodable initial send control");
    }
    event_cycles = std::max(event_cycles, timing->horizon_cycles);
    senders.push_back(ScheduledSenderRow{row, timing->start_cycles, timing->end_cycles});
    return {};
}

Result<ScheduledReceiverWindow> TileProgramSchedule::append_receiver_at(
    const PlanRow& row, std::uint32_t schedule_offset, std::uint32_t received_words) {
    const auto base = receive_row_timing(row, 0);
    if (!base) {
        return fail(base.error());
    }
    return detail::append_receiver_window(*this, *base, schedule_offset, received_words);
}

Result<std::vector<std::uint32_t>> TileProgramSchedule::finish() const {
    return build_scheduled_program(senders, receive_events, event_cycles);
}

std::ostream& operator<<(std::ostream& out, const ScheduledSenderRow& sender) {
    debug::Struct(out, "ScheduledSenderRow")
        .field("row", sender.row)
        .field("start_cycles", sender.start_cycles)
        .field("end_cycles", sender.end_cycles)
        .finish();
    return out;
}

std::string to_string(const ScheduledSenderRow& sender) { return debug::to_string(sender); }

std::ostream& operator<<(std::ostream& out, const TileProgramSchedule& schedule) {
    debug::Struct(out, "TileProgramSchedule")
        .field("senders", schedule.senders)
        .field("receive_events", schedule.receive_events)
        .field("event_cycles", schedule.event_cycles)
        .field("receive_stream", schedule.receive_stream)
        .finish();
    return out;
}

std::string to_string(const TileProgramSchedule& schedule) { return debug::to_string(schedule); }

} // namespace tarnwick::exchange
