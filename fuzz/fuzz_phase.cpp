// Transfers and phases: arbitrary `PhysicalTransfer`s (tiles, addresses, counts, widths, incoming
// bases) through `resolve` and a `PhaseProgramBuilder`, placed at their earliest offset or at an
// arbitrary one, then `finish`.
//
// Promises checked: a resolved transfer has the tiles, item count and patched addresses it was
// asked for; whenever `earliest_transfer_offset` returns an offset, the transfer is encodable
// there and `append_transfer_at` succeeds there with the timing `transfer_timing_at` reported; a
// failed append leaves every tile schedule unchanged; when every append was at an encodable
// offset `finish` succeeds; every program of a finished phase validates against its schedule,
// lasts its tile's horizon, has no sync and ends with RETURN_INSTRUCTION; and the independent
// check of `verify_phase` finds that every finished phase moves every word where the machine
// model says it must.

#include "fuzz_exchange.hpp"
#include "fuzz_input.hpp"

#include "tarnwick/exchange/parse/validator.hpp"
#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/row_timing.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/exchange/verify.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::fuzz;
using exchange::PhysicalTransfer;
using exchange::TransferWidth;

std::uint32_t address(FuzzInput& in) {
    switch (in.in_range(0, 3)) {
    case 0:
    case 1: return in.in_range<std::uint32_t>(0x50000, 0x70000) & ~7u;
    case 2: return in.in_range<std::uint32_t>(0, 0x100010) & ~3u;
    default: return in.integral<std::uint32_t>();
    }
}

PhysicalTransfer transfer_of(FuzzInput& in) {
    PhysicalTransfer transfer;
    transfer.width = in.chance(70) ? TransferWidth::Word32 : TransferWidth::Paired64;
    transfer.source = tile(in);
    const std::size_t sources = in.chance(95) ? 1 : in.in_range<std::size_t>(0, 2);
    for (std::size_t i = 0; i < sources; ++i) {
        transfer.source_addresses.push_back(address(in));
    }
    const std::size_t destinations = in.in_range<std::size_t>(1, 3);
    for (std::size_t i = 0; i < destinations; ++i) {
        const std::uint16_t receiver = tile(in);
        const std::uint32_t receive_address = address(in);
        transfer.destinations.emplace_back(receiver, receive_address);
        if (transfer.width == TransferWidth::Paired64 && in.chance(90)) {
            if (const auto partner = v600().paired_logical(receiver)) {
                transfer.destinations.emplace_back(*partner, receive_address);
            }
        }
    }
    if (in.chance(90)) {
        const std::uint32_t items = in.in_range<std::uint32_t>(transfer.width == TransferWidth::Paired64 ? 64 : 1, 520);
        transfer.words = transfer.width == TransferWidth::Paired64 ? 2 * items : items;
    } else {
        transfer.words = in.chance(50) ? in.in_range<std::uint32_t>(0, 9000) : in.integral<std::uint32_t>();
    }
    return transfer;
}

std::optional<std::uint32_t> incoming_base_of(FuzzInput& in, const PhysicalTransfer& transfer) {
    switch (in.in_range(0, 3)) {
    case 0: return std::nullopt;
    case 1:
    case 2: return transfer.destinations.front().second;
    default: return address(in);
    }
}

void check_resolution(const PhysicalTransfer& transfer, std::optional<std::uint32_t> incoming_base,
                      const Result<exchange::ResolvedTransfer>& resolved) {
    if (!resolved) {
        const auto& error = resolved.error();
        if (transfer.source_addresses.empty()) {
            TARNWICK_FUZZ_CHECK(is_schedule(error, "missing transfer source address"));
        } else if (!transfer.item_count()) {
            TARNWICK_FUZZ_CHECK(is_schedule(error, "unaligned transfer payload"));
        }
        TARNWICK_FUZZ_CHECK(!error.is<ExchangeError::PlanOffsetRange>() &&
                            !error.is<ExchangeError::HostPacket>());
        return;
    }
    TARNWICK_FUZZ_NOTE(transfer.width == TransferWidth::Paired64 ? "resolved paired" : "resolved");
    const auto& result = *resolved;
    TARNWICK_FUZZ_CHECK(!transfer.source_addresses.empty());
    TARNWICK_FUZZ_CHECK(result.source == transfer.source);
    TARNWICK_FUZZ_CHECK(result.receivers == transfer.destination_tiles());
    TARNWICK_FUZZ_CHECK(transfer.item_count() == result.words);
    TARNWICK_FUZZ_CHECK(result.plan.receivers.size() == result.receivers.size());
    const bool paired = transfer.width == TransferWidth::Paired64;
    TARNWICK_FUZZ_CHECK(result.reserved_source.has_value() == paired);
    if (paired) {
        TARNWICK_FUZZ_CHECK(v600().paired_logical(transfer.source) == *result.reserved_source);
    }

    // The sender row sends from the first source address, counted in items.
    const auto& sender = result.plan.sender;
    TARNWICK_FUZZ_CHECK(sender[0] == instruction::SYNC_EXCHANGE_INSTRUCTION);
    TARNWICK_FUZZ_CHECK(exchange::sender_row_timing(sender, 0).has_value());
    const auto send = std::find_if(sender.begin(), sender.end(), [](std::uint32_t word) {
        return (word & instruction::LONG_OPCODE_MASK) == instruction::SEND_OPCODE;
    });
    TARNWICK_FUZZ_CHECK(send != sender.end());
    const unsigned shift = (*send & 4u) != 0 ? 3u : 2u;
    TARNWICK_FUZZ_CHECK(((*send >> 3) & 0x3FFFFu) << shift == transfer.source_addresses.front());

    const bool point = !paired && transfer.destinations.size() == 1 && incoming_base &&
                       *incoming_base == transfer.destinations.front().second;
    for (std::size_t i = 0; i < result.plan.receivers.size(); ++i) {
        const auto& row = result.plan.receivers[i];
        TARNWICK_FUZZ_CHECK(row[0] == instruction::SYNC_EXCHANGE_INSTRUCTION);
        const auto timing = exchange::receive_row_timing(row, 0);
        TARNWICK_FUZZ_CHECK(timing.has_value());
        if (!point) {
            // Each receiver's pointer is its destination address.
            TARNWICK_FUZZ_CHECK(timing->pointer_address == transfer.destinations[i].second);
        }
    }
}

// Replaces a row, the item count, the receivers or the reserved tile of a transfer.
void alter(FuzzInput& in, exchange::ResolvedTransfer& transfer) {
    switch (in.in_range(0, 4)) {
    case 0: transfer.plan.sender = plan_row(in); break;
    case 1:
        if (!transfer.plan.receivers.empty()) {
            const std::size_t index = in.in_range<std::size_t>(0, transfer.plan.receivers.size() - 1);
            transfer.plan.receivers[index] = plan_row(in);
        }
        break;
    case 2: transfer.words = in.chance(70) ? in.in_range<std::uint32_t>(0, 700) : cycles(in); break;
    case 3:
        transfer.receivers.push_back(tile(in));
        if (in.chance(70)) {
            transfer.plan.receivers.push_back(plan_row(in));
        }
        break;
    default:
        transfer.reserved_source = in.boolean() ? std::optional<std::uint16_t>(tile(in)) : std::nullopt;
        break;
    }
}

// The tiles a transfer names, with their schedules as they are now.
std::vector<exchange::TileProgramSchedule> involved_tiles(const exchange::PhaseProgramBuilder& builder,
                                                          const exchange::ResolvedTransfer& transfer) {
    std::vector<exchange::TileProgramSchedule> schedules;
    const auto add = [&](std::uint16_t tile) {
        if (tile < builder.tile_states().size()) {
            schedules.push_back(builder.tile_states()[tile]);
        }
    };
    add(transfer.source);
    if (transfer.reserved_source) {
        add(*transfer.reserved_source);
    }
    for (const std::uint16_t receiver : transfer.receivers) {
        add(receiver);
    }
    return schedules;
}

void check_finished(std::size_t tile_total,
                    const std::map<std::size_t, exchange::TileProgramSchedule>& active,
                    const Result<exchange::PhasePrograms>& finished, bool must_finish) {
    if (!finished) {
        TARNWICK_FUZZ_NOTE("finish failed");
        TARNWICK_FUZZ_CHECK(!must_finish);
        TARNWICK_FUZZ_CHECK(finished.error().is<ExchangeError::Schedule>());
        return;
    }
    TARNWICK_FUZZ_NOTE(active.size() > 3 ? "finished with 4+ tiles" : "finished");
    const auto& phase = *finished;
    TARNWICK_FUZZ_CHECK(phase.programs.size() == tile_total);
    TARNWICK_FUZZ_CHECK(phase.tile_event_cycles.size() == tile_total);
    const exchange::TileProgramSchedule idle;
    std::uint32_t horizon = 0;
    for (std::size_t tile = 0; tile < tile_total; ++tile) {
        const auto found = active.find(tile);
        const exchange::TileProgramSchedule& schedule = found == active.end() ? idle : found->second;
        const std::uint32_t cycles = phase.tile_event_cycles[tile];
        TARNWICK_FUZZ_CHECK(cycles == schedule.event_cycles);
        horizon = std::max(horizon, cycles);
        const auto& program = phase.programs[tile];
        TARNWICK_FUZZ_CHECK(program.has_value() == (cycles != 0));
        if (!program) {
            continue;
        }
        TARNWICK_FUZZ_CHECK(!program->empty() && program->back() == instruction::RETURN_INSTRUCTION);
        TARNWICK_FUZZ_CHECK(exchange::plan_event_cycles(*program) == cycles);
        const auto diagnostic = exchange::parse::validate_tile_program(tile, schedule, *program);
        TARNWICK_FUZZ_CHECK(diagnostic.has_value());
        // No sync: the caller's code synchronises before it calls the program. (A SENDPICP
        // payload word may equal a sync word; the decoded instructions tell them apart.)
        for (const auto& decoded : diagnostic->instructions) {
            TARNWICK_FUZZ_CHECK(!decoded.operation.is<exchange::parse::PlanOperation::Sync>());
        }
    }
    TARNWICK_FUZZ_CHECK(phase.event_cycles == horizon);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint16_t tile_count =
        in.chance(85) ? topology::V600_TILE_COUNT : in.in_range<std::uint16_t>(0, topology::V600_TILE_COUNT);
    exchange::PhaseProgramBuilder builder(tile_count);
    // Whether every append so far was at an offset the builder proved encodable.
    bool encodable = true;
    // Every appended transfer with its offset, and whether all are as resolution made them.
    std::vector<exchange::PlacedTransfer> placed;
    bool genuine = true;

    const std::size_t transfers = in.in_range<std::size_t>(1, 6);
    for (std::size_t i = 0; i < transfers && !in.empty(); ++i) {
        const PhysicalTransfer transfer = transfer_of(in);
        const auto incoming_base = incoming_base_of(in, transfer);
        const auto resolved = transfer.resolve(v600(), incoming_base);
        check_resolution(transfer, incoming_base, resolved);
        if (!resolved) {
            continue;
        }
        // Now and then a transfer whose rows or counts no resolution would give: the builder's
        // promises hold for any transfer, the machine model only for real ones.
        exchange::ResolvedTransfer altered = *resolved;
        if (in.chance(10)) {
            alter(in, altered);
        }
        const bool real = altered == *resolved;
        if (in.chance(75)) {
            const std::uint32_t requested = in.chance(70) ? 0 : cycles(in);
            const auto offset = builder.earliest_transfer_offset(altered, requested);
            if (!offset) {
                // A tile outside the builder, rows that do not match the receivers, or a
                // constraint of the timeline.
                TARNWICK_FUZZ_CHECK(offset.error().is<ExchangeError::Tile>() ||
                                    offset.error().is<ExchangeError::ReceiverSet>() ||
                                    offset.error().is<ExchangeError::Schedule>());
                continue;
            }
            TARNWICK_FUZZ_NOTE("placed at earliest offset");
            TARNWICK_FUZZ_CHECK(*offset >= requested);
            const auto timing = builder.transfer_timing_at(altered, *offset);
            TARNWICK_FUZZ_CHECK(timing.has_value());
            TARNWICK_FUZZ_CHECK(builder.transfer_is_encodable_at(altered, *offset).has_value());
            const auto appended = builder.append_transfer_at(altered, *offset);
            TARNWICK_FUZZ_CHECK(appended.has_value());
            TARNWICK_FUZZ_CHECK(*appended == *timing);
            TARNWICK_FUZZ_CHECK(appended->payload_start >= *offset);
            placed.push_back({altered, *offset});
            genuine = genuine && real;
        } else {
            const std::uint32_t offset = cycles(in);
            const auto before = involved_tiles(builder, altered);
            const auto timing = builder.transfer_timing_at(altered, offset);
            const bool fits = builder.transfer_is_encodable_at(altered, offset).has_value();
            const auto appended = builder.append_transfer_at(altered, offset);
            if (!appended) {
                TARNWICK_FUZZ_NOTE("refused append");
                // All or nothing: a refused transfer leaves every schedule as it was.
                TARNWICK_FUZZ_CHECK(involved_tiles(builder, altered) == before);
                continue;
            }
            TARNWICK_FUZZ_NOTE(fits ? "placed at encodable offset" : "placed at unencodable offset");
            TARNWICK_FUZZ_CHECK(timing.has_value() && *appended == *timing);
            encodable = encodable && fits;
            placed.push_back({altered, offset});
            genuine = genuine && real;
        }
    }

    // The schedules of the tiles that take part; finish consumes the builder.
    std::map<std::size_t, exchange::TileProgramSchedule> active;
    for (std::size_t tile = 0; tile < builder.tile_states().size(); ++tile) {
        if (builder.tile_states()[tile] != exchange::TileProgramSchedule{}) {
            active.emplace(tile, builder.tile_states()[tile]);
        }
    }
    const std::size_t tile_total = builder.tile_states().size();
    const auto finished = std::move(builder).finish();
    // Rows that no resolution gives (a message sent in direction 0, say) may still be refused
    // when the finished programs are checked.
    check_finished(tile_total, active, finished, encodable && genuine);
    if (finished && genuine) {
        // What the builder finished holds against the machine model.
        const auto report = exchange::verify_phase(v600(), placed, *finished);
        TARNWICK_FUZZ_CHECK(report.has_value());
        if (!report->holds()) {
            std::fprintf(stderr, "%s\n", exchange::describe(*report).c_str());
            for (const auto& violation : report->violations) {
                std::fprintf(stderr, "  %s\n", exchange::describe(violation).c_str());
            }
        }
        TARNWICK_FUZZ_CHECK(report->holds());
        TARNWICK_FUZZ_NOTE(placed.empty() ? "verified an empty phase" : "verified");
    }
    return 0;
}
