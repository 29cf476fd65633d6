#pragma once

// The options of one emission and its result.

#include "tarnwick/program.hpp"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::emit {

struct CodegenOptions {
    // Where the generated code will be loaded; the code's own loop targets are computed from it.
    std::uint32_t code_address = 0;
    // How many times the main body runs; must be nonzero.
    std::uint32_t invocations = 1;
    // Cycle sample at the start of each invocation, after the input host phases.
    std::optional<std::uint32_t> initial_profile_address;
    // Cycle sample at the end of each invocation, before the output host phases.
    std::optional<std::uint32_t> final_profile_address;

    friend bool operator==(const CodegenOptions&, const CodegenOptions&) = default;
};

struct GeneratedProgram {
    // The code, each instruction word as four little-endian bytes, to be loaded at code_address.
    std::vector<std::uint8_t> bytes;
    // Every row the code expects in tile memory, one per address, in ascending address order.
    std::vector<program::PlacedExchangeRow> exchange_rows;

    friend bool operator==(const GeneratedProgram&, const GeneratedProgram&) = default;
};

std::ostream& operator<<(std::ostream& out, const CodegenOptions& options);
std::ostream& operator<<(std::ostream& out, const GeneratedProgram& generated);
[[nodiscard]] std::string to_string(const CodegenOptions& options);
[[nodiscard]] std::string to_string(const GeneratedProgram& generated);

} // namespace tarnwick::emit
