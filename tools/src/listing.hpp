#pragma once

// Listings of exchange programs: each instruction decoded on one line with its address (or word
// offset), its word(s) in hexadecimal, its cycle window and the operation with its fields.

#include "tarnwick/exchange/parse/decoder.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::cli {

// The operation of one decoded instruction in words: "send explicit 52 words from 0x50000 ...".
[[nodiscard]] std::string describe_operation(const exchange::parse::PlanOperation& operation);

// A listing of `words` as decoded by the library's decoder, one instruction a line, with a
// heading. Instructions are located by byte address when `base_address` is given, otherwise by
// word offset. Returns the decoder's error for a row it cannot decode.
[[nodiscard]] Result<std::string> format_listing(std::span<const std::uint32_t> words,
                                                 std::optional<std::uint32_t> base_address,
                                                 std::string_view indent = "");

// Reads hexadecimal words ("0x41800003", "41800003"), separated by white space or commas, with
// '#' starting a comment that runs to the end of the line. `origin` names the text in errors.
[[nodiscard]] std::vector<std::uint32_t> parse_hex_words(std::string_view text,
                                                         std::string_view origin);

} // namespace tarnwick::cli
