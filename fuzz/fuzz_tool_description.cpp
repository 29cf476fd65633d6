// The command-line tool's description reader on arbitrary bytes: the text is parsed as JSON and
// read as a program description, exactly as `read_description` does with a file's contents.
//
// Promises checked: every input gives a description or an InputError, the fault the tool prints
// as its one error line; nothing else escapes (an uncaught exception, a crash or undefined
// behaviour is a finding). An error's text is one line. A description that was read has only
// tiles inside the topology, and every name it refers to (a phase of an exchange step, a host
// transfer of a host phase) resolves to the entry of that name.

#include "fuzz_input.hpp"

#include "description.hpp"
#include "json_reader.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

namespace {

using namespace tarnwick;
using namespace tarnwick::cli;

void check_steps(const Description& description, const std::vector<StepDescription>& steps) {
    for (const StepDescription& step : steps) {
        if (const auto* exchange = std::get_if<ExchangeStepDescription>(&step.step)) {
            TARNWICK_FUZZ_CHECK(exchange->phase_index < description.phases.size());
            TARNWICK_FUZZ_CHECK(description.phases[exchange->phase_index].name == exchange->phase);
        } else if (const auto* repeat = std::get_if<RepeatStepDescription>(&step.step)) {
            check_steps(description, repeat->body);
        }
    }
}

void check_host_phases(const Description& description, const std::vector<HostPhaseDescription>& phases) {
    for (const HostPhaseDescription& phase : phases) {
        if (phase.host_transfer) {
            TARNWICK_FUZZ_CHECK(phase.host_transfer_index < description.host_transfers.size());
            TARNWICK_FUZZ_CHECK(description.host_transfers[phase.host_transfer_index].name == *phase.host_transfer);
        }
    }
}

void check_description(const Description& description) {
    const std::uint16_t tiles = description.tile_count;
    TARNWICK_FUZZ_CHECK(tiles > 0);
    for (const PhaseDescription& phase : description.phases) {
        TARNWICK_FUZZ_CHECK(description.find_phase(phase.name).has_value());
        for (const TransferDescription& transfer : phase.transfers) {
            TARNWICK_FUZZ_CHECK(transfer.source < tiles);
            for (const DestinationDescription& destination : transfer.destinations) {
                TARNWICK_FUZZ_CHECK(destination.tile < tiles);
            }
        }
    }
    for (const HostTransferDescription& transfer : description.host_transfers) {
        TARNWICK_FUZZ_CHECK(transfer.tile < tiles);
    }
    for (const TileDescription& tile : description.tiles) {
        for (const std::uint16_t number : tile.tiles) {
            TARNWICK_FUZZ_CHECK(number < tiles);
        }
        check_steps(description, tile.steps);
        check_host_phases(description, tile.initialize);
        check_host_phases(description, tile.inputs);
        check_host_phases(description, tile.outputs);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const Description description = parse_description(parse_json_text(text));
        TARNWICK_FUZZ_NOTE("description read");
        check_description(description);
    } catch (const InputError& error) {
        TARNWICK_FUZZ_NOTE("input error");
        // The tool prints the fault as one line.
        TARNWICK_FUZZ_CHECK(std::string_view(error.what()).find('\n') == std::string_view::npos);
        TARNWICK_FUZZ_CHECK(!error.message().empty());
    }
    return 0;
}
