#pragma once

// The tile program validator: decodes a tile's encoded exchange program again and proves it
// against the schedule it was built from. The program must last exactly the schedule's cycles,
// hold only known words, set every incoming-multiplexer control at exactly its scheduled cycle,
// and send outgoing payload over exactly the scheduled sender intervals and nowhere else.
//
// When the controls disagree it emits one debug event on log::PARSE_TARGET, "encoded incoming
// controls differ from the phase schedule", with the fields tile, first_mismatch, actual_len,
// expected_len, actual, expected, actual_window and expected_window.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/parse/decoder.hpp"
#include "tarnwick/exchange/schedule.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tarnwick::exchange::parse {

// The order key of a control within one cycle: (stream number, value), Pic being 0 and Xpic 1.
[[nodiscard]] constexpr std::pair<std::uint8_t, std::uint32_t>
control_key(const IncomingControl& control) noexcept {
    return {static_cast<std::uint8_t>(control.stream), control.value};
}

// Checks `words`, the encoded exchange program of the tile numbered `tile` (used only in the log
// event), against `schedule`. Returns the program's diagnostic (decoded without a base address),
// or the Schedule error naming the first disagreement.
[[nodiscard]] Result<PlanProgramDiagnostic>
validate_tile_program(std::size_t tile, const TileProgramSchedule& schedule,
                      std::span<const std::uint32_t> words);

} // namespace tarnwick::exchange::parse
