#include "tarnwick/exchange/phase.hpp"

#include "tarnwick/debug.hpp"
#include "tarnwick/exchange/parse/validator.hpp"
#include "tarnwick/exchange/row_timing.hpp"

#include "exchange/phase_internal.hpp"
#include "exchange/schedule_internal.hpp"

#include <algorithm>
#include <limits>
#include <ostream>
#include <utility>

namespace tarnwick::exchange {

namespace {

constexpr std::string_view ALIGNMENT_FAILURE = "SENDPICP instruction alignment";

[[nodiscard]] Result<std::size_t> lookup(std::span<const TileProgramSchedule> tiles,
                                         std::uint16_t tile) {
    if (tile >= tiles.size()) {
        return fail(ExchangeError::Tile{tile});
    }
    return std::size_t{tile};
}

// The transfer's receiver rows, one per receiver; a transfer whose rows do not match its receiver
// list is refused rather than read out of range.
[[nodiscard]] Result<std::span<const PlanRow>> receiver_rows(const ResolvedTransfer& transfer) {
    if (transfer.plan.receivers.size() != transfer.receivers.size()) {
        return fail(ExchangeError::ReceiverSet{});
    }
    return std::span<const PlanRow>(transfer.plan.receivers);
}

[[nodiscard]] bool is_alignment_failure(const ExchangeError& error) {
    const auto* schedule = error.get_if<ExchangeError::Schedule>();
    return schedule != nullptr && schedule->message == ALIGNMENT_FAILURE;
}

[[nodiscard]] Result<PhaseTransferTiming> timing_at(std::span<const TileProgramSchedule> tiles,
                                                    const ResolvedTransfer& transfer,
                                                    std::uint32_t schedule_offset) {
    if (const auto source = lookup(tiles, transfer.source); !source) {
        return fail(source.error());
    }
    const auto sender = scheduled_sender_timing(transfer.plan.sender, schedule_offset);
    if (!sender) {
        return fail(sender.error());
    }
    const auto rows = receiver_rows(transfer);
    if (!rows) {
        return fail(rows.error());
    }
    PhaseTransferTiming timing;
    timing.payload_start = sender->payload_start;
    timing.payload_end = sender->payload_end;
    timing.sender_horizon = sender->horizon;
    timing.horizon = sender->horizon;
    timing.receiver_payload_starts.reserve(rows->size());
    timing.receiver_payload_ends.reserve(rows->size());
    timing.receiver_horizons.reserve(rows->size());
    for (std::size_t index = 0; index < rows->size(); ++index) {
        const auto tile = lookup(tiles, transfer.receivers[index]);
        if (!tile) {
            return fail(tile.error());
        }
        const auto base = receive_row_timing((*rows)[index], 0);
        if (!base) {
            return fail(base.error());
        }
        const auto window = scheduled_receive_window(*base, schedule_offset, transfer.words,
                                                     tiles[*tile].receive_stream);
        if (!window) {
            return fail(window.error());
        }
        timing.receiver_payload_starts.push_back(window->payload_start);
        timing.receiver_payload_ends.push_back(window->payload_end);
        timing.receiver_horizons.push_back(window->horizon);
        timing.horizon = std::max(timing.horizon, window->horizon);
    }
    return timing;
}

[[nodiscard]] Status encodable_at(std::span<const TileProgramSchedule> tiles,
                                  const ResolvedTransfer& transfer,
                                  std::uint32_t schedule_offset) {
    const auto source = lookup(tiles, transfer.source);
    if (!source) {
        return fail(source.error());
    }
    {
        TileProgramSchedule trial = tiles[*source];
        if (const auto status = trial.append_sender_at(transfer.plan.sender, schedule_offset);
            !status) {
            return status;
        }
        if (const auto program = trial.finish(); !program) {
            return fail(program.error());
        }
    }
    const auto rows = receiver_rows(transfer);
    if (!rows) {
        return fail(rows.error());
    }
    for (std::size_t index = 0; index < rows->size(); ++index) {
        const auto tile = lookup(tiles, transfer.receivers[index]);
        if (!tile) {
            return fail(tile.error());
        }
        TileProgramSchedule trial = tiles[*tile];
        if (const auto window =
                trial.append_receiver_at((*rows)[index], schedule_offset, transfer.words);
            !window) {
            return fail(window.error());
        }
        if (const auto program = trial.finish(); !program) {
            return fail(program.error());
        }
    }
    return {};
}

// The error of the first tile of a transfer (its source, then its receivers) whose schedule
// cannot be encoded as it is, before the transfer is added: a placement appended at an offset
// that the search did not prove, say. An alignment failure on such a tile is not the new
// placement's, and trying later offsets would go on, for every offset up to the end of the
// timeline, unless one of them happened to mend the tile.
[[nodiscard]] Status existing_content_encodes(
    std::span<const TileProgramSchedule> tiles, std::size_t source,
    std::span<const std::pair<std::size_t, ReceiveRowTiming>> receivers) {
    if (const auto program = tiles[source].finish(); !program) {
        return fail(program.error());
    }
    for (const auto& [tile, base] : receivers) {
        if (const auto program = tiles[tile].finish(); !program) {
            return fail(program.error());
        }
    }
    return {};
}

} // namespace

namespace detail {

Result<std::uint32_t> earliest_transfer_offset(std::span<const TileProgramSchedule> tiles,
                                               const ResolvedTransfer& transfer,
                                               std::uint32_t requested, PayloadBound bound) {
    const auto source = lookup(tiles, transfer.source);
    if (!source) {
        return fail(source.error());
    }
    // Every row is analysed once, at offset 0, and shifted per candidate offset.
    const auto sender_base = sender_row_timing(transfer.plan.sender, 0);
    if (!sender_base) {
        return fail(sender_base.error());
    }
    std::vector<std::pair<std::size_t, ReceiveRowTiming>> receivers;
    bool receivers_analysed = false;
    bool existing_content_checked = false;

    std::uint32_t offset = requested;
    for (;;) {
        const std::uint32_t previous = offset;
        const auto sender_offset = detail::earliest_sender_offset(tiles[*source], *sender_base, offset);
        if (!sender_offset) {
            return fail(sender_offset.error());
        }
        offset = *sender_offset;
        if (transfer.reserved_source) {
            const auto reserved = lookup(tiles, *transfer.reserved_source);
            if (!reserved) {
                return fail(reserved.error());
            }
            // The partner must have finished everything scheduled on it so far.
            offset = std::max(offset, tiles[*reserved].event_cycles);
        }
        if (!receivers_analysed) {
            const auto rows = receiver_rows(transfer);
            if (!rows) {
                return fail(rows.error());
            }
            receivers.reserve(rows->size());
            for (std::size_t index = 0; index < rows->size(); ++index) {
                const auto tile = lookup(tiles, transfer.receivers[index]);
                if (!tile) {
                    return fail(tile.error());
                }
                auto base = receive_row_timing((*rows)[index], 0);
                if (!base) {
                    return fail(base.error());
                }
                const auto receiver_offset = detail::earliest_receiver_offset(
                    tiles[*tile], *base, transfer.words, offset, bound);
                if (!receiver_offset) {
                    return fail(receiver_offset.error());
                }
                offset = *receiver_offset;
                receivers.emplace_back(*tile, std::move(*base));
            }
            receivers_analysed = true;
        } else {
            for (const auto& [tile, base] : receivers) {
                const auto receiver_offset =
                    detail::earliest_receiver_offset(tiles[tile], base, transfer.words, offset, bound);
                if (!receiver_offset) {
                    return fail(receiver_offset.error());
                }
                offset = *receiver_offset;
            }
        }
        if (offset != previous) {
            continue; // a later tile moved the offset: ask the earlier ones again
        }
        const auto encodable = encodable_at(tiles, transfer, offset);
        if (encodable) {
            return offset;
        }
        if (!is_alignment_failure(encodable.error())) {
            return fail(encodable.error());
        }
        if (!existing_content_checked) {
            existing_content_checked = true;
            if (const auto existing = existing_content_encodes(tiles, *source, receivers); !existing) {
                return fail(existing.error());
            }
        }
        if (offset == std::numeric_limits<std::uint32_t>::max()) {
            return schedule_error("receive offset overflow");
        }
        ++offset;
    }
}

} // namespace detail

PhaseProgramBuilder::PhaseProgramBuilder(std::uint16_t tile_count) : tile_states_(tile_count) {}

Result<std::uint32_t> PhaseProgramBuilder::earliest_transfer_offset(const ResolvedTransfer& transfer,
                                                                    std::uint32_t requested) const {
    return detail::earliest_transfer_offset(tile_states_, transfer, requested,
                                            detail::PayloadBound::Always);
}

Result<PhaseTransferTiming> PhaseProgramBuilder::transfer_timing_at(const ResolvedTransfer& transfer,
                                                                    std::uint32_t schedule_offset) const {
    return timing_at(tile_states_, transfer, schedule_offset);
}

Status PhaseProgramBuilder::transfer_is_encodable_at(const ResolvedTransfer& transfer,
                                                     std::uint32_t schedule_offset) const {
    return encodable_at(tile_states_, transfer, schedule_offset);
}

Result<PhaseTransferTiming> PhaseProgramBuilder::append_transfer_at(const ResolvedTransfer& transfer,
                                                                    std::uint32_t schedule_offset) {
    auto timing = timing_at(tile_states_, transfer, schedule_offset);
    if (!timing) {
        return fail(timing.error());
    }
    // Every placement is made on a copy; the copies are stored back only when all succeeded.
    std::vector<std::pair<std::size_t, TileProgramSchedule>> updates;
    updates.reserve(transfer.receivers.size() + 2);

    const std::size_t source = transfer.source; // looked up by timing_at
    updates.emplace_back(source, tile_states_[source]);
    if (const auto status = updates.back().second.append_sender_at(transfer.plan.sender,
                                                                   schedule_offset);
        !status) {
        return fail(status.error());
    }
    if (transfer.reserved_source) {
        const auto reserved = lookup(tile_states_, *transfer.reserved_source);
        if (!reserved) {
            return fail(reserved.error());
        }
        updates.emplace_back(*reserved, tile_states_[*reserved]);
        auto& cycles = updates.back().second.event_cycles;
        cycles = std::max(cycles, timing->sender_horizon);
    }
    for (std::size_t index = 0; index < transfer.receivers.size(); ++index) {
        const std::size_t tile = transfer.receivers[index]; // looked up by timing_at
        updates.emplace_back(tile, tile_states_[tile]);
        if (const auto window = updates.back().second.append_receiver_at(
                transfer.plan.receivers[index], schedule_offset, transfer.words);
            !window) {
            return fail(window.error());
        }
    }
    // A tile that occurs twice keeps the copy stored last.
    for (auto& [tile, schedule] : updates) {
        tile_states_[tile] = std::move(schedule);
    }
    return timing;
}

Result<PhasePrograms> PhaseProgramBuilder::finish() && {
    PhasePrograms result;
    result.tile_event_cycles.reserve(tile_states_.size());
    for (const TileProgramSchedule& schedule : tile_states_) {
        result.tile_event_cycles.push_back(schedule.event_cycles);
        result.event_cycles = std::max(result.event_cycles, schedule.event_cycles);
    }
    result.programs.resize(tile_states_.size());
    for (std::size_t tile = 0; tile < tile_states_.size(); ++tile) {
        const TileProgramSchedule& schedule = tile_states_[tile];
        if (schedule.event_cycles == 0) {
            continue;
        }
        auto program = schedule.finish();
        if (!program) {
            return fail(program.error());
        }
        if (const auto checked = parse::validate_tile_program(tile, schedule, *program); !checked) {
            return fail(checked.error());
        }
        result.programs[tile] = std::move(*program);
    }
    tile_states_.clear();
    return result;
}

std::ostream& operator<<(std::ostream& out, const PhaseTransferTiming& timing) {
    debug::Struct(out, "PhaseTransferTiming")
        .field("payload_start", timing.payload_start)
        .field("payload_end", timing.payload_end)
        .field("sender_horizon", timing.sender_horizon)
        .field("receiver_payload_starts", timing.receiver_payload_starts)
        .field("receiver_payload_ends", timing.receiver_payload_ends)
        .field("receiver_horizons", timing.receiver_horizons)
        .field("horizon", timing.horizon)
        .finish();
    return out;
}

std::string to_string(const PhaseTransferTiming& timing) { return debug::to_string(timing); }

std::ostream& operator<<(std::ostream& out, const PhasePrograms& programs) {
    debug::Struct(out, "PhasePrograms")
        .field("programs", programs.programs)
        .field("tile_event_cycles", programs.tile_event_cycles)
        .field("event_cycles", programs.event_cycles)
        .finish();
    return out;
}

std::string to_string(const PhasePrograms& programs) { return debug::to_string(programs); }

} // namespace tarnwick::exchange
