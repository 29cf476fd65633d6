#pragma once

// The phase program builder: the entry point of exchange phase scheduling.
//
// One builder serves one exchange phase, sized for every tile of the target. For each resolved
// transfer, in the caller's order, ask for the earliest offset at which all its tiles can take it
// and append it there; the builder keeps one TileProgramSchedule per tile. `finish` consumes the
// builder, encodes every active tile's timed exchange program, proves each program against its
// schedule by decoding it again, and reports the per-tile and phase horizons.
//
//     PhaseProgramBuilder builder(topology.tile_count());
//     for (const ResolvedTransfer& transfer : transfers) {
//         const auto offset = builder.earliest_transfer_offset(transfer, 0);
//         builder.append_transfer_at(transfer, *offset);
//     }
//     const auto programs = std::move(builder).finish();
//
// Appends are all or nothing: a failed append leaves every tile schedule as it was.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/schedule.hpp"
#include "tarnwick/exchange/transfer.hpp"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::exchange {

// Where a transfer lands at a given offset.
struct PhaseTransferTiming {
    std::uint32_t payload_start = 0; // the sender's payload interval
    std::uint32_t payload_end = 0;
    std::uint32_t sender_horizon = 0;
    // One entry per receiver, in the transfer's receiver order.
    std::vector<std::uint32_t> receiver_payload_starts;
    std::vector<std::uint32_t> receiver_payload_ends;
    std::vector<std::uint32_t> receiver_horizons;
    // The largest of the sender's and the receivers' horizons.
    std::uint32_t horizon = 0;

    friend bool operator==(const PhaseTransferTiming&, const PhaseTransferTiming&) = default;
};

std::ostream& operator<<(std::ostream& out, const PhaseTransferTiming& timing);
[[nodiscard]] std::string to_string(const PhaseTransferTiming& timing);

// The result of a phase.
struct PhasePrograms {
    // Per tile: its timed exchange program, absent for a tile that does nothing in the phase.
    std::vector<std::optional<std::vector<std::uint32_t>>> programs;
    // Per tile: its horizon, 0 for an idle tile.
    std::vector<std::uint32_t> tile_event_cycles;
    // The phase horizon, the largest tile horizon (0 without tiles).
    std::uint32_t event_cycles = 0;

    friend bool operator==(const PhasePrograms&, const PhasePrograms&) = default;
};

std::ostream& operator<<(std::ostream& out, const PhasePrograms& programs);
[[nodiscard]] std::string to_string(const PhasePrograms& programs);

class PhaseProgramBuilder {
public:
    // A builder with `tile_count` empty schedules, indexed by the tile numbers that transfers carry.
    explicit PhaseProgramBuilder(std::uint16_t tile_count);

    // The schedules, one per tile.
    [[nodiscard]] std::span<const TileProgramSchedule> tile_states() const noexcept {
        return tile_states_;
    }

    // The earliest offset >= `requested` at which every tile of the transfer can take it and still
    // be encoded; `append_transfer_at` succeeds there.
    [[nodiscard]] Result<std::uint32_t> earliest_transfer_offset(const ResolvedTransfer& transfer,
                                                                 std::uint32_t requested) const;

    // Where the transfer would land at `schedule_offset`; changes nothing.
    [[nodiscard]] Result<PhaseTransferTiming>
    transfer_timing_at(const ResolvedTransfer& transfer, std::uint32_t schedule_offset) const;

    // Whether the source and every receiver could take the transfer at `schedule_offset` and still
    // be encoded; changes nothing.
    [[nodiscard]] Status transfer_is_encodable_at(const ResolvedTransfer& transfer,
                                                  std::uint32_t schedule_offset) const;

    // Places the transfer at `schedule_offset` on all its tiles, or on none of them.
    [[nodiscard]] Result<PhaseTransferTiming> append_transfer_at(const ResolvedTransfer& transfer,
                                                                 std::uint32_t schedule_offset);

    // Encodes and checks every active tile's program; consumes the builder.
    [[nodiscard]] Result<PhasePrograms> finish() &&;

private:
    std::vector<TileProgramSchedule> tile_states_;
};

} // namespace tarnwick::exchange
