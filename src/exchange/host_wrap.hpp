#pragma once

// The wrapper shared by the xreq and target host operations.

#include "tarnwick/error.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick::exchange {

// The host link on the incoming multiplexer, `entry_sync`, the operation without its return, then
// SYNC_ALL_INSTRUCTION, the neutral multiplexer and the return.
[[nodiscard]] Result<std::vector<std::uint32_t>>
wrap_host_operation(std::uint16_t physical_tile, std::span<const std::uint32_t> operation,
                    std::uint32_t entry_sync);

} // namespace tarnwick::exchange
