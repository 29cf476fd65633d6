// `verify_phase` on arbitrary placed transfers (resolved from fuzzed descriptions, or with their
// rows replaced, at any offset) and arbitrary programs (per tile absent, fuzzed exchange words or
// the words of a real row; any number of tiles). Finished phases are checked by the phase target.
//
// Promises checked: the result is a report or one of the named errors (Tile, or a Schedule error
// of the timing and the decoder); a report counts every violation, keeps the first 64 in tile
// then cycle order, holds exactly when it counts none, and describes itself and each violation
// in one line.

#include "fuzz_exchange.hpp"
#include "fuzz_input.hpp"

#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/exchange/verify.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::fuzz;

exchange::ResolvedTransfer transfer_of(FuzzInput& in) {
    exchange::ResolvedTransfer transfer;
    if (in.chance(70)) {
        // A real transfer: its rows as resolution makes them.
        exchange::PhysicalTransfer physical;
        physical.width = in.chance(75) ? exchange::TransferWidth::Word32 : exchange::TransferWidth::Paired64;
        physical.source = tile(in);
        physical.source_addresses = {0x50000};
        const std::size_t destinations = in.in_range<std::size_t>(1, 3);
        for (std::size_t i = 0; i < destinations; ++i) {
            const std::uint16_t receiver = tile(in);
            physical.destinations.emplace_back(receiver, 0x60000);
            if (physical.width == exchange::TransferWidth::Paired64) {
                if (const auto partner = v600().paired_logical(receiver)) {
                    physical.destinations.emplace_back(*partner, 0x60000);
                }
            }
        }
        physical.words = in.in_range<std::uint32_t>(1, 300) * (physical.width == exchange::TransferWidth::Paired64 ? 2u : 1u);
        if (auto resolved = physical.resolve(v600(), std::nullopt)) {
            transfer = *resolved;
        }
    }
    // Any field may be replaced.
    if (in.chance(20)) {
        transfer.source = tile(in);
    }
    if (in.chance(15)) {
        transfer.reserved_source = in.boolean() ? std::optional<std::uint16_t>(tile(in)) : std::nullopt;
    }
    if (in.chance(20)) {
        transfer.words = in.chance(70) ? in.in_range<std::uint32_t>(0, 600) : in.integral<std::uint32_t>();
    }
    if (in.chance(20) || transfer.receivers.empty()) {
        const std::size_t receivers = in.in_range<std::size_t>(0, 3);
        transfer.receivers.clear();
        transfer.plan.receivers.clear();
        for (std::size_t i = 0; i < receivers; ++i) {
            transfer.receivers.push_back(tile(in));
            transfer.plan.receivers.push_back(plan_row(in));
        }
    }
    if (in.chance(15)) {
        transfer.plan.sender = plan_row(in);
    }
    if (in.chance(10) && !transfer.plan.receivers.empty()) {
        transfer.plan.receivers.pop_back(); // fewer rows than receivers
    }
    return transfer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    std::vector<exchange::PlacedTransfer> placed;
    const std::size_t transfers = in.in_range<std::size_t>(0, 4);
    for (std::size_t i = 0; i < transfers; ++i) {
        exchange::ResolvedTransfer transfer = transfer_of(in);
        const std::uint32_t offset = cycles(in);
        placed.push_back({std::move(transfer), offset});
    }

    exchange::PhasePrograms programs;
    const std::size_t tiles = in.chance(70) ? topology::V600_TILE_COUNT : in.in_range<std::size_t>(0, 1600);
    programs.programs.resize(tiles);
    programs.tile_event_cycles.resize(tiles);
    const std::size_t given = in.in_range<std::size_t>(0, 4);
    for (std::size_t i = 0; i < given && tiles > 0; ++i) {
        const std::size_t index = in.chance(80) ? tile(in) % tiles : in.in_range<std::size_t>(0, tiles - 1);
        std::vector<std::uint32_t> words;
        if (in.chance(40)) {
            const exchange::PlanRow row = plan_row(in);
            words.assign(row.begin() + 1, row.end()); // a row's body as a program
        } else {
            words = exchange_words(in, 24);
        }
        programs.programs[index] = std::move(words);
        programs.tile_event_cycles[index] = cycles(in);
    }
    programs.event_cycles = cycles(in);

    const auto report = exchange::verify_phase(v600(), placed, programs);
    if (!report) {
        const ExchangeError& error = report.error();
        TARNWICK_FUZZ_CHECK(error.is<ExchangeError::Tile>() || error.is<ExchangeError::Schedule>());
        return 0;
    }
    TARNWICK_FUZZ_NOTE(report->holds() ? "report holds" : "report with violations");
    TARNWICK_FUZZ_CHECK(report->holds() == (report->violation_count == 0));
    TARNWICK_FUZZ_CHECK(report->violations.size() <= exchange::MAX_REPORTED_VIOLATIONS);
    TARNWICK_FUZZ_CHECK(report->violations.size() ==
                        std::min<std::uint64_t>(report->violation_count, exchange::MAX_REPORTED_VIOLATIONS));
    for (std::size_t i = 0; i < report->violations.size(); ++i) {
        const auto& violation = report->violations[i];
        TARNWICK_FUZZ_CHECK(violation.tile < v600().tile_count());
        if (violation.transfer) {
            TARNWICK_FUZZ_CHECK(*violation.transfer < placed.size());
        }
        if (i > 0) {
            const auto& previous = report->violations[i - 1];
            TARNWICK_FUZZ_CHECK(std::tie(previous.tile, previous.cycle) <= std::tie(violation.tile, violation.cycle));
        }
        const std::string line = exchange::describe(violation);
        TARNWICK_FUZZ_CHECK(!line.empty() && line.find('\n') == std::string::npos);
    }
    const std::string summary = exchange::describe(*report);
    TARNWICK_FUZZ_CHECK(!summary.empty() && summary.find('\n') == std::string::npos);
    return 0;
}
