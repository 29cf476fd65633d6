#include "tarnwick/exchange/parse/validator.hpp"

#include "tarnwick/log.hpp"

#include <algorithm>
#include <optional>
#include <tuple>
#include <vector>

namespace tarnwick::exchange::parse {

namespace {

// A control and the cycle at which it takes effect.
using TimedControl = std::pair<std::uint32_t, IncomingControl>;

// The cycle interval of one outgoing send.
struct OutgoingSend {
    std::uint32_t start;
    std::uint32_t end;
};

[[nodiscard]] bool control_order(const TimedControl& left, const TimedControl& right) noexcept {
    return std::tuple(left.first, control_key(left.second)) <
           std::tuple(right.first, control_key(right.second));
}

// The control a scheduled receive event sets.
[[nodiscard]] IncomingControl expected_control(const ReceiveEvent& event) noexcept {
    if (is_xpic(event.kind)) {
        return IncomingControl{IncomingControlStream::Xpic, event.instruction & 0x3FFFu};
    }
    return IncomingControl{IncomingControlStream::Pic, event.instruction & 0x7FFFFu};
}

void report_control_mismatch(std::size_t tile, std::span<const TimedControl> actual,
                             std::span<const TimedControl> expected) noexcept {
    // The first index at which the lists differ, or the shorter length when one is a prefix.
    const std::size_t common = std::min(actual.size(), expected.size());
    std::size_t first_mismatch = 0;
    while (first_mismatch < common && actual[first_mismatch] == expected[first_mismatch]) {
        ++first_mismatch;
    }
    const std::size_t window_start = first_mismatch >= 3 ? first_mismatch - 3 : 0;
    const std::size_t window_end = std::min(first_mismatch + 4, std::max(actual.size(), expected.size()));
    const auto at = [first_mismatch](std::span<const TimedControl> controls) {
        return first_mismatch < controls.size() ? std::optional(controls[first_mismatch])
                                                : std::nullopt;
    };
    const auto window = [window_start, window_end](std::span<const TimedControl> controls) {
        return controls.subspan(window_start, std::min(window_end, controls.size()) - window_start);
    };
    const std::size_t actual_len = actual.size();
    const std::size_t expected_len = expected.size();
    const std::optional<TimedControl> actual_at = at(actual);
    const std::optional<TimedControl> expected_at = at(expected);
    const std::span<const TimedControl> actual_window = window(actual);
    const std::span<const TimedControl> expected_window = window(expected);
    log::debug_event(log::PARSE_TARGET, "encoded incoming controls differ from the phase schedule",
                     log::field("tile", tile), log::field("first_mismatch", first_mismatch),
                     log::field("actual_len", actual_len), log::field("expected_len", expected_len),
                     log::field("actual", actual_at), log::field("expected", expected_at),
                     log::field("actual_window", actual_window),
                     log::field("expected_window", expected_window));
}

// Whether the sends overlapping [start, end) fill it exactly, abutting one another.
[[nodiscard]] bool covers_exactly(std::span<const OutgoingSend> sends, std::uint32_t start,
                                  std::uint32_t end) noexcept {
    std::optional<std::uint32_t> first_start;
    std::optional<std::uint32_t> previous_end;
    for (const OutgoingSend& send : sends) {
        if (!(send.start < end && start < send.end)) {
            continue;
        }
        if (!first_start) {
            first_start = send.start;
        } else if (*previous_end != send.start) {
            return false;
        }
        previous_end = send.end;
    }
    return first_start && *first_start == start && *previous_end == end;
}

} // namespace

Result<PlanProgramDiagnostic> validate_tile_program(std::size_t tile,
                                                    const TileProgramSchedule& schedule,
                                                    std::span<const std::uint32_t> words) {
    Result<PlanProgramDiagnostic> diagnostic = diagnose_plan_program(words, std::nullopt);
    if (!diagnostic) {
        return diagnostic;
    }
    if (diagnostic->event_cycles != schedule.event_cycles) {
        return schedule_error("encoded tile horizon mismatch");
    }
    const auto& instructions = diagnostic->instructions;
    if (std::ranges::any_of(instructions, [](const DecodedPlanInstruction& instruction) {
            return instruction.operation.is<PlanOperation::Unknown>();
        })) {
        return schedule_error("unknown encoded exchange instruction");
    }

    std::vector<TimedControl> actual;
    actual.reserve(schedule.receive_events.size());
    std::vector<OutgoingSend> sends;
    sends.reserve(schedule.senders.size());
    for (const DecodedPlanInstruction& instruction : instructions) {
        if (const auto* control = instruction.operation.get_if<PlanOperation::IncomingControl>()) {
            // A control set by a delay takes effect when the delay ends.
            actual.emplace_back(instruction.end_cycle, control->control);
        } else if (const auto* send = instruction.operation.get_if<PlanOperation::Send>()) {
            // A control carried by a send takes effect one cycle after the send starts. A send
            // lasts at least one cycle, so start + 1 never passes its end.
            for (const IncomingControl& carried : send->controls) {
                actual.emplace_back(instruction.start_cycle + 1, carried);
            }
            // A send with send control 0 transmits nothing; SENDPIC has no send control field.
            if (send->send_control != std::uint8_t{0}) {
                sends.push_back(OutgoingSend{instruction.start_cycle, instruction.end_cycle});
            }
        }
    }
    std::ranges::sort(actual, control_order);

    std::vector<TimedControl> expected;
    expected.reserve(schedule.receive_events.size());
    for (const ReceiveEvent& event : schedule.receive_events) {
        expected.emplace_back(event.cycles, expected_control(event));
    }
    std::ranges::sort(expected, control_order);

    if (actual != expected) {
        report_control_mismatch(tile, actual, expected);
        return schedule_error("encoded incoming-control mismatch");
    }

    for (const ScheduledSenderRow& sender : schedule.senders) {
        if (!covers_exactly(sends, sender.start_cycles, sender.end_cycles)) {
            return schedule_error("encoded sender interval mismatch");
        }
    }
    for (const OutgoingSend& send : sends) {
        const bool inside = std::ranges::any_of(schedule.senders, [&send](const ScheduledSenderRow& sender) {
            return sender.start_cycles <= send.start && send.end <= sender.end_cycles;
        });
        if (!inside) {
            return schedule_error("unexpected encoded outgoing interval");
        }
    }
    return diagnostic;
}

} // namespace tarnwick::exchange::parse
