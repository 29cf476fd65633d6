#include "tarnwick/exchange/row_timing.hpp"

#include "tarnwick/debug.hpp"

#include <algorithm>
#include <ostream>

namespace tarnwick::exchange {

namespace {

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

[[nodiscard]] constexpr bool add_overflows(std::uint32_t left, std::uint32_t right) noexcept {
    return right > U32_MAX - left;
}

// The kind of the control an XPIC delay word carries: source or teardown by its selection,
// ordinary or paired by its flag.
[[nodiscard]] constexpr ReceiveEventKind xpic_kind(std::uint32_t instruction) noexcept {
    const bool paired = ((instruction >> 13) & 1u) != 0;
    const bool neutral = (instruction & 0x1FFFu) == instruction::TILE_MUX_EXCHANGE;
    if (paired) {
        return neutral ? ReceiveEventKind::PairedNeutral : ReceiveEventKind::PairedSource;
    }
    return neutral ? ReceiveEventKind::OrdinaryNeutral : ReceiveEventKind::OrdinarySource;
}

// The kind of the control a PIC delay word carries: a format control when its flag is set, else
// the incoming pointer.
[[nodiscard]] constexpr ReceiveEventKind pic_kind(std::uint32_t instruction) noexcept {
    return ((instruction >> 18) & 1u) != 0 ? ReceiveEventKind::Format : ReceiveEventKind::Pointer;
}

[[nodiscard]] constexpr std::uint32_t pic_operand(std::uint32_t instruction) noexcept {
    return instruction & 0x3FFFFu;
}

// Walks a receiver row's body and collects its events; returns the body's horizon.
[[nodiscard]] Result<std::uint32_t> collect_row_events(const PlanRow& row, std::size_t body_end,
                                                       std::uint32_t cycles,
                                                       std::vector<ReceiveEvent>& events) {
    std::size_t cursor = 1;
    while (cursor < body_end) {
        const std::uint32_t word = row[cursor];
        if (instruction::is_send_control_pair(word)) {
            if (cursor + 1 >= row.size()) {
                return schedule_error("truncated SENDPICP payload");
            }
            const std::uint32_t payload = row[cursor + 1];
            // Both controls of a pair take effect one cycle after the pair starts.
            if (add_overflows(cycles, 1)) {
                return schedule_error("receive event horizon overflow");
            }
            const std::uint32_t effect = cycles + 1;
            const std::uint32_t xpic_value = payload >> 18;
            const std::uint32_t xpic =
                instruction::delay_xpic(0, (xpic_value >> 13) & 1u, xpic_value & 0x1FFFu);
            const std::uint32_t pic = instruction::delay_pic(0, (word >> 27) & 1u, payload & 0x3FFFFu);
            events.push_back(ReceiveEvent{effect, xpic, xpic_kind(xpic)});
            events.push_back(ReceiveEvent{effect, pic, pic_kind(pic)});
            const std::uint32_t advance = instruction_advance(word);
            if (add_overflows(cycles, advance)) {
                return schedule_error("receive event horizon overflow");
            }
            cycles += advance;
            cursor += 2;
            continue;
        }
        const std::uint32_t advance = instruction_advance(word);
        if (add_overflows(cycles, advance)) {
            return schedule_error("receive event horizon overflow");
        }
        cycles += advance;
        // A control set by a timed word takes effect when the word ends.
        if (instruction::is_delay_pic(word)) {
            events.push_back(ReceiveEvent{cycles, word, pic_kind(word)});
        } else if (instruction::is_delay_xpic(word)) {
            events.push_back(ReceiveEvent{cycles, word, xpic_kind(word)});
        }
        cursor += 1;
    }
    return cycles;
}

// Reads the events into the optional fields and decides the mode; the first conflict fails.
[[nodiscard]] Status classify_row_events(ReceiveRowTiming& timing) {
    for (const ReceiveEvent& event : timing.events) {
        switch (event.kind) {
        case ReceiveEventKind::OrdinarySource:
        case ReceiveEventKind::PairedSource:
            if (timing.source_cycles) {
                return schedule_error("multiple receive sources");
            }
            timing.source_cycles = event.cycles;
            break;
        case ReceiveEventKind::OrdinaryNeutral:
        case ReceiveEventKind::PairedNeutral:
            if (timing.neutral_cycles) {
                return schedule_error("multiple receive teardowns");
            }
            timing.neutral_cycles = event.cycles;
            break;
        case ReceiveEventKind::Pointer:
            if (timing.pointer_cycles) {
                return schedule_error("multiple receive pointers");
            }
            timing.pointer_cycles = event.cycles;
            timing.pointer_address = 4u * pic_operand(event.instruction);
            break;
        case ReceiveEventKind::Format: {
            const std::uint32_t value = pic_operand(event.instruction);
            if (value == 1 || value == 2) {
                if (timing.format_start_cycles) {
                    return schedule_error("multiple paired format starts");
                }
                timing.format_start_cycles = event.cycles;
            } else if (value == 0) {
                if (timing.format_end_cycles) {
                    return schedule_error("multiple paired format ends");
                }
                timing.format_end_cycles = event.cycles;
            } else {
                return schedule_error("paired receive format value");
            }
            break;
        }
        }
    }
    const bool paired =
        timing.format_start_cycles.has_value() ||
        std::ranges::any_of(timing.events, [](const ReceiveEvent& event) {
            return event.kind == ReceiveEventKind::PairedSource ||
                   event.kind == ReceiveEventKind::PairedNeutral;
        });
    if (paired) {
        // A format end before the start closes nothing: the format stays on after the row, and
        // the stream's source interval would come out inverted.
        if (!timing.format_start_cycles || !timing.format_end_cycles ||
            *timing.format_end_cycles < *timing.format_start_cycles) {
            return schedule_error("incomplete paired receive format");
        }
        timing.mode = ReceiveMode::Paired64;
    } else {
        if (!timing.source_cycles || !timing.neutral_cycles) {
            return schedule_error("incomplete ordinary receive mux");
        }
        timing.mode = ReceiveMode::Ordinary;
    }
    return {};
}

// Whether moving `base` by `offset` keeps every cycle value within 32 bits.
[[nodiscard]] bool shift_fits(const ReceiveRowTiming& base, std::uint32_t offset) noexcept {
    std::uint32_t latest = base.horizon_cycles;
    for (const ReceiveEvent& event : base.events) {
        latest = std::max(latest, event.cycles);
    }
    for (const std::optional<std::uint32_t>& field :
         {base.neutral_cycles, base.source_cycles, base.format_start_cycles,
          base.format_end_cycles, base.pointer_cycles}) {
        if (field) {
            latest = std::max(latest, *field);
        }
    }
    return !add_overflows(latest, offset);
}

[[nodiscard]] constexpr std::optional<std::uint32_t> shifted(std::optional<std::uint32_t> cycles,
                                                             std::uint32_t offset) noexcept {
    return cycles ? std::optional<std::uint32_t>(*cycles + offset) : std::nullopt;
}

struct Intervals {
    std::uint32_t source_start;
    std::uint32_t source_end;
    std::uint32_t payload_start;
    std::uint32_t payload_end;
};

// The source and payload intervals of a stream of `received_words` items read with `timing`.
// The fields of `timing` are the row's fields moved by `offset`.
[[nodiscard]] Result<Intervals> stream_intervals(const ReceiveRowTiming& timing,
                                                 std::uint32_t offset,
                                                 std::uint32_t received_words) {
    Intervals intervals{};
    if (timing.mode == ReceiveMode::Paired64) {
        if (!timing.format_start_cycles) {
            return schedule_error("paired receive format start");
        }
        if (!timing.format_end_cycles) {
            return schedule_error("paired receive format end");
        }
        const std::uint32_t format_start = *timing.format_start_cycles + offset;
        const std::uint32_t format_end = *timing.format_end_cycles + offset;
        intervals.source_start =
            timing.source_cycles ? std::min(*timing.source_cycles + offset, format_start)
                                 : format_start;
        const std::uint32_t teardown =
            timing.neutral_cycles ? *timing.neutral_cycles + offset : format_end;
        intervals.source_end = std::max(teardown, format_end);
    } else {
        if (!timing.source_cycles) {
            return schedule_error("receive source timing");
        }
        intervals.source_start = *timing.source_cycles + offset;
        // The row's own teardown time is not used: the stream holds the source for its items.
        if (add_overflows(intervals.source_start, received_words)) {
            return schedule_error("receive source timing overflow");
        }
        intervals.source_end = intervals.source_start + received_words;
    }
    if (!timing.pointer_cycles) {
        return schedule_error("receive pointer event");
    }
    intervals.payload_start = *timing.pointer_cycles + offset;
    if (add_overflows(intervals.payload_start, received_words)) {
        return schedule_error("receive payload timing overflow");
    }
    intervals.payload_end = intervals.payload_start + received_words;
    return intervals;
}

} // namespace

Result<ReceiveRowTiming> receive_row_timing(const PlanRow& row, std::uint32_t schedule_offset) {
    if (row[0] != instruction::SYNC_EXCHANGE_INSTRUCTION) {
        return schedule_error("receive row entry");
    }
    const std::optional<std::size_t> return_index = detail::find_row_return(row);
    if (!return_index) {
        return schedule_error("receive row return");
    }
    ReceiveRowTiming timing;
    const Result<std::uint32_t> horizon =
        collect_row_events(row, *return_index, schedule_offset, timing.events);
    if (!horizon) {
        return std::unexpected(horizon.error());
    }
    if (const Status classified = classify_row_events(timing); !classified) {
        return std::unexpected(classified.error());
    }
    timing.horizon_cycles = *horizon;
    return timing;
}

Result<ReceiveRowTiming> receive_row_timing_from_base(const ReceiveRowTiming& base,
                                                      std::uint32_t offset) {
    if (!shift_fits(base, offset)) {
        return schedule_error("receive offset overflow");
    }
    ReceiveRowTiming timing = base;
    for (ReceiveEvent& event : timing.events) {
        event.cycles += offset;
    }
    timing.neutral_cycles = shifted(base.neutral_cycles, offset);
    timing.source_cycles = shifted(base.source_cycles, offset);
    timing.format_start_cycles = shifted(base.format_start_cycles, offset);
    timing.format_end_cycles = shifted(base.format_end_cycles, offset);
    timing.pointer_cycles = shifted(base.pointer_cycles, offset);
    timing.horizon_cycles = base.horizon_cycles + offset;
    return timing;
}

// The offset search calls this for every candidate offset, so the shifted timing is never
// materialised: every value is read from `base` and moved by the offset once the whole shift is
// known to fit.
Result<ScheduledReceiverWindow> scheduled_receive_window(const ReceiveRowTiming& base,
                                                         std::uint32_t schedule_offset,
                                                         std::uint32_t received_words,
                                                         const std::optional<ReceiveStream>& previous) {
    if (!shift_fits(base, schedule_offset)) {
        return schedule_error("receive offset overflow");
    }
    const Result<Intervals> intervals = stream_intervals(base, schedule_offset, received_words);
    if (!intervals) {
        return std::unexpected(intervals.error());
    }
    // The incoming pointer already points where an ordinary stream starts when the previous
    // ordinary stream ended exactly there.
    const bool carries_pointer = base.mode == ReceiveMode::Ordinary && previous.has_value() &&
                                 previous->mode == ReceiveMode::Ordinary &&
                                 previous->next_address == base.pointer_address;

    // The part of the row that runs after its receive activity still counts.
    const Result<Intervals> unshifted = stream_intervals(base, 0, received_words);
    if (!unshifted) {
        return std::unexpected(unshifted.error());
    }
    const std::uint32_t base_activity_end =
        std::max(unshifted->source_end, unshifted->payload_end);
    const std::uint32_t guard =
        base.horizon_cycles > base_activity_end ? base.horizon_cycles - base_activity_end : 0u;
    const std::uint32_t activity_end = std::max(intervals->source_end, intervals->payload_end);
    if (add_overflows(activity_end, guard)) {
        return schedule_error("receive horizon overflow");
    }

    ScheduledReceiverWindow window;
    window.source_start = intervals->source_start;
    window.source_end = intervals->source_end;
    window.payload_start = intervals->payload_start;
    window.payload_end = intervals->payload_end;
    window.horizon = activity_end + guard;
    window.pointer_address = base.pointer_address;

    window.events.reserve(base.events.size());
    for (const ReceiveEvent& event : base.events) {
        if (event.kind == ReceiveEventKind::Pointer && carries_pointer) {
            continue;
        }
        ReceiveEvent placed = event;
        // The teardown happens exactly when the last word has arrived.
        placed.cycles = event.kind == ReceiveEventKind::OrdinaryNeutral
                            ? window.source_end
                            : event.cycles + schedule_offset;
        window.events.push_back(placed);
    }
    std::ranges::stable_sort(window.events, {}, &ReceiveEvent::cycles);
    if (const Status valid = validate_receive_events(window.events); !valid) {
        return std::unexpected(valid.error());
    }
    return window;
}

// ---- debug forms ------------------------------------------------------------------------------

std::ostream& operator<<(std::ostream& out, const SenderRowTiming& timing) {
    debug::Struct(out, "SenderRowTiming")
        .field("start_cycles", timing.start_cycles)
        .field("end_cycles", timing.end_cycles)
        .field("horizon_cycles", timing.horizon_cycles)
        .finish();
    return out;
}

std::string to_string(const SenderRowTiming& timing) { return debug::to_string(timing); }

std::ostream& operator<<(std::ostream& out, const ScheduledSenderTiming& timing) {
    debug::Struct(out, "ScheduledSenderTiming")
        .field("payload_start", timing.payload_start)
        .field("payload_end", timing.payload_end)
        .field("horizon", timing.horizon)
        .finish();
    return out;
}

std::string to_string(const ScheduledSenderTiming& timing) { return debug::to_string(timing); }

std::string_view name(ReceiveMode mode) noexcept {
    switch (mode) {
    case ReceiveMode::Ordinary: return "Ordinary";
    case ReceiveMode::Paired64: return "Paired64";
    }
    return "ReceiveMode(?)";
}

std::ostream& operator<<(std::ostream& out, ReceiveMode mode) { return out << name(mode); }

std::ostream& operator<<(std::ostream& out, const ReceiveRowTiming& timing) {
    debug::Struct(out, "ReceiveRowTiming")
        .field("mode", timing.mode)
        .field("events", timing.events)
        .field("neutral_cycles", timing.neutral_cycles)
        .field("source_cycles", timing.source_cycles)
        .field("format_start_cycles", timing.format_start_cycles)
        .field("format_end_cycles", timing.format_end_cycles)
        .field("pointer_cycles", timing.pointer_cycles)
        .field("horizon_cycles", timing.horizon_cycles)
        .field("pointer_address", timing.pointer_address)
        .finish();
    return out;
}

std::string to_string(const ReceiveRowTiming& timing) { return debug::to_string(timing); }

std::ostream& operator<<(std::ostream& out, const ReceiveStream& stream) {
    debug::Struct(out, "ReceiveStream")
        .field("mode", stream.mode)
        .field("source_end_cycles", stream.source_end_cycles)
        .field("pointer_end_cycles", stream.pointer_end_cycles)
        .field("next_address", stream.next_address)
        .finish();
    return out;
}

std::string to_string(const ReceiveStream& stream) { return debug::to_string(stream); }

std::ostream& operator<<(std::ostream& out, const ScheduledReceiverWindow& window) {
    debug::Struct(out, "ScheduledReceiverWindow")
        .field("events", window.events)
        .field("source_start", window.source_start)
        .field("source_end", window.source_end)
        .field("payload_start", window.payload_start)
        .field("payload_end", window.payload_end)
        .field("horizon", window.horizon)
        .field("pointer_address", window.pointer_address)
        .finish();
    return out;
}

std::string to_string(const ScheduledReceiverWindow& window) { return debug::to_string(window); }

} // namespace tarnwick::exchange
