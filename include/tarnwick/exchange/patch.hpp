#pragma once

// Address patching and plan offsets.
//
// Assembled rows carry placeholder addresses: every send starts at word address 0 and every
// pointer control points at a default. These functions write real tile-memory byte addresses into
// those fields, turn a point-to-point receiver row into a row a tile can run, delay a whole row by
// a number of cycles, and blank every address field so that two rows can be compared without
// their addresses. Every check happens before the first write: a row or word is unchanged after
// any failure.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick::exchange {

// Writes `byte_address` into the first plain send of the row (a following send with offset keeps
// its relative offset). Fails with Address(byte_address) when the row has no plain send.
[[nodiscard]] Status patch_sender_address(PlanRow& row, std::uint32_t byte_address) noexcept;

// Writes `byte_address`, counted in items, into bits 20..3 of a send or of a SENDPICP first word
// with a non-zero send control. Items are 8 bytes when bit 2 of the send control is set (paired
// sends), else 4 bytes. Fails with Address(byte_address) for any other word, a misaligned address
// or an item address above 0x3FFFF.
[[nodiscard]] Status patch_sender_instruction(std::uint32_t& instruction,
                                              std::uint32_t byte_address) noexcept;

// Writes the word address of `byte_address` into the first pointer control of the row: a PIC
// delay with selector 0, or the payload of a SENDPICP whose PIC control is a pointer. Format
// controls are never touched.
[[nodiscard]] Status patch_receiver_address(PlanRow& row, std::uint32_t byte_address) noexcept;

// The runnable form of a point-to-point receiver row: its leading patch index dropped, and the
// XPIC delay it names selecting `source_physical`.
[[nodiscard]] Result<PlanRow> finalize_point_receiver(const PlanRow& row,
                                                      std::uint16_t source_physical) noexcept;

// Delays the row by `cycles` with delay words inserted right after its sync, so that every later
// event moves by exactly `cycles`. Zero cycles leaves any row untouched.
[[nodiscard]] Status offset_plan(PlanRow& row, std::uint32_t cycles) noexcept;

// A copy of `row` with every address field cleared: send sources, SENDPICP sources and pointer
// payloads, SENDPIC pointer operands and PIC delay pointer operands.
[[nodiscard]] std::vector<std::uint32_t>
normalized_exchange_address_words(std::span<const std::uint32_t> row);

} // namespace tarnwick::exchange
