#pragma once

// Checks of a whole tile program before any code is written: exchange programs whose boundaries
// the generated code cannot rely on, participation flags that contradict the program, malformed
// patches, kernels needing more argument registers than the calling convention has, repeat
// pointers used where no repeat frame exists, nested repeats, zero repeat counts and out-of-range
// checkpoint words. Host phases, symbols and computed addresses are checked during emission.

#include "tarnwick/emit/error.hpp"
#include "tarnwick/program.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarnwick::emit {

// Validates the program's steps as a top-level list. The tile number is not examined.
[[nodiscard]] CodegenStatus validate(const program::TileProgram& program);

// Validates a list of steps. At top level both context values are absent; for a repeat body they
// are the repeat's number of iterated pointers and its count. The first failure, depth-first, wins.
[[nodiscard]] CodegenStatus validate_steps(std::span<const program::TileStep> steps,
                                           std::optional<std::size_t> repeat_pointer_count,
                                           std::optional<std::uint32_t> repeat_count);

// The boundary and participation checks of one exchange step.
[[nodiscard]] CodegenStatus validate_exchange_program(const program::ExchangeStep& exchange);

// A repeat-pointer address needs an enclosing repeat that has that pointer.
[[nodiscard]] CodegenStatus validate_address(const program::TileAddress& address,
                                             std::optional<std::size_t> repeat_pointer_count);

// True for an active exchange step, and for a repeat whose body holds one at any depth.
[[nodiscard]] bool active_exchange(const program::TileStep& step) noexcept;

} // namespace tarnwick::emit
