#pragma once

// What the row assemblers share: a plan row written front to back, and the field limits that
// bound their words.

#include "tarnwick/exchange/plan.hpp"

#include <cstddef>
#include <cstdint>

namespace tarnwick::exchange::detail {

// The most words one send carries.
inline constexpr std::uint32_t SEND_WORDS = 64;
// The largest PIC delay field (7 bits); a receiver row's PIC delay reaches receiver_phase + 51.
inline constexpr std::uint32_t MAX_PIC_DELAY_FIELD = 0x7F;

// Appends words to a zeroed plan row; the assemblers never write more than its nine words.
class RowWriter {
public:
    void push(std::uint32_t word) noexcept { row_[cursor_++] = word; }
    [[nodiscard]] const PlanRow& row() const noexcept { return row_; }

private:
    PlanRow row_{};
    std::size_t cursor_ = 0;
};

} // namespace tarnwick::exchange::detail
