#include "pipeline.hpp"

#include "tarnwick/exchange/host_packet.hpp"
#include "tarnwick/exchange/host_program.hpp"
#include "tarnwick/exchange/parse/decoder.hpp"
#include "tarnwick/instruction.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>

namespace tarnwick::cli {

namespace {

std::string in_quotes(std::string_view text) { return '"' + std::string(text) + '"'; }

[[noreturn]] void library_rejects(const std::string& place, std::string_view what,
                                  const std::string& error) {
    throw InputError(place, std::string(what) + ": " + error);
}

exchange::PhysicalTransfer physical_transfer(const TransferDescription& transfer) {
    exchange::PhysicalTransfer physical;
    physical.source = transfer.source;
    physical.source_addresses = transfer.source_addresses;
    for (const DestinationDescription& destination : transfer.destinations) {
        physical.destinations.push_back(exchange::TransferEndpoint{destination.tile, destination.address});
    }
    physical.words = transfer.words;
    physical.width = transfer.width == Width::Paired64 ? exchange::TransferWidth::Paired64
                                                       : exchange::TransferWidth::Word32;
    return physical;
}

program::StepProfile lower_profile(const ProfileDescription& profile) {
    return program::StepProfile{.before = profile.before, .after = profile.after};
}

program::TileAddress lower_address(const AddressDescription& address) {
    if (address.absolute) {
        return program::TileAddress::Absolute{*address.absolute};
    }
    return program::TileAddress::RepeatPointer{address.pointer, address.offset};
}

std::string tile_place(const TileDescription& entry, std::uint16_t tile) {
    if (entry.tiles.size() == 1) {
        return entry.place;
    }
    return entry.place + " (tile " + std::to_string(tile) + ")";
}

// Checks that the rows of one tile and its code do not overlap, and orders them by address.
// Rows with equal addresses and words are one row.
std::vector<program::PlacedExchangeRow> place_rows(std::vector<TileRow> rows,
                                                   std::uint16_t tile) {
    std::stable_sort(rows.begin(), rows.end(), [](const TileRow& a, const TileRow& b) {
        return a.row.address < b.row.address;
    });
    std::vector<program::PlacedExchangeRow> placed;
    const TileRow* previous = nullptr;
    std::uint64_t previous_end = 0;
    for (const TileRow& row : rows) {
        const std::uint64_t end = std::uint64_t{row.row.address} + 4u * std::uint64_t{row.row.words.size()};
        const auto describe = [](const TileRow& r, std::uint64_t r_end) {
            return r.origin + " at " + hex(r.row.address, 5) + ".." + hex(r_end, 5);
        };
        if (end > 0x1'0000'0000ull) {
            throw InputError(row.place, "on tile " + std::to_string(tile) + ", the " +
                                            describe(row, end) + " runs past the 32-bit address space");
        }
        if (previous != nullptr && row.row.address < previous_end) {
            if (previous->origin != "code" && row.origin != "code" && previous->row == row.row) {
                continue; // the same words at the same place
            }
            const bool previous_is_host = previous->origin.find("host transfer") != std::string::npos;
            throw InputError(previous_is_host ? previous->place : row.place,
                             "on tile " + std::to_string(tile) + ", the " + describe(row, end) +
                                 " overlaps the " + describe(*previous, previous_end));
        }
        if (row.origin != "code") {
            placed.push_back(row.row);
        }
        previous = &row;
        previous_end = end;
    }
    return placed;
}

} // namespace

Pipeline::Pipeline(const Description& description)
    : description_(description), topology_(topology::Topology::v600()),
      bindings_(description.phases.size()) {
    // Bind each tile to each phase through its first exchange step naming the phase. Later steps
    // of the same tile and phase must agree on the receive base, since it decides how the
    // phase's transfers to the tile are assembled.
    const auto walk = [this](const auto& self, const std::vector<StepDescription>& steps,
                             std::uint16_t tile) -> void {
        for (const StepDescription& step : steps) {
            if (const auto* exchange = std::get_if<ExchangeStepDescription>(&step.step)) {
                const PhaseDescription& phase = description_.phases[exchange->phase_index];
                const PhaseBinding binding{
                    .incoming_base = exchange->incoming_base,
                    .program_address = exchange->program_address.value_or(
                        phase.program_address.value_or(0)),
                    .place = step.place,
                };
                const auto [found, inserted] = bindings_[exchange->phase_index].emplace(tile, binding);
                if (!inserted && found->second.incoming_base != binding.incoming_base) {
                    throw InputError(step.place + ".incoming_base",
                                     "tile " + std::to_string(tile) + " already receives phase " +
                                         in_quotes(phase.name) + " with incoming base " +
                                         hex(found->second.incoming_base) + " (" +
                                         found->second.place + ")");
                }
            } else if (const auto* repeat = std::get_if<RepeatStepDescription>(&step.step)) {
                self(self, repeat->body, tile);
            }
        }
    };
    for (const TileDescription& entry : description_.tiles) {
        for (const std::uint16_t tile : entry.tiles) {
            walk(walk, entry.steps, tile);
        }
    }
}

const PhaseBinding* Pipeline::binding(std::size_t phase, std::uint16_t tile) const {
    const auto& map = bindings_.at(phase);
    const auto found = map.find(tile);
    return found == map.end() ? nullptr : &found->second;
}

PhaseResult Pipeline::build_phase(std::size_t phase_index) const {
    const PhaseDescription& phase = description_.phases.at(phase_index);
    const auto require_binding = [&](std::uint16_t tile, const std::string& place,
                                     std::string_view role) -> const PhaseBinding& {
        const PhaseBinding* found = binding(phase_index, tile);
        if (found == nullptr) {
            throw InputError(place, "tile " + std::to_string(tile) + " " + std::string(role) +
                                        " in phase " + in_quotes(phase.name) +
                                        " but none of its steps is an exchange step of that phase");
        }
        return *found;
    };

    PhaseResult result;
    result.phase_index = phase_index;
    exchange::PhaseProgramBuilder builder(description_.tile_count);
    for (const TransferDescription& transfer : phase.transfers) {
        require_binding(transfer.source, transfer.place + ".source", "sends");
        std::optional<std::uint32_t> incoming_base;
        for (const DestinationDescription& destination : transfer.destinations) {
            const PhaseBinding& receiver =
                require_binding(destination.tile, destination.place + ".tile", "receives");
            if (transfer.destinations.size() == 1) {
                incoming_base = receiver.incoming_base;
            }
        }
        auto resolved = physical_transfer(transfer).resolve(topology_, incoming_base);
        if (!resolved) {
            library_rejects(transfer.place, "the library rejects the transfer",
                            to_string(resolved.error()));
        }
        const auto offset = builder.earliest_transfer_offset(*resolved, transfer.not_before);
        if (!offset) {
            library_rejects(transfer.place, "the transfer cannot be placed", to_string(offset.error()));
        }
        auto timing = builder.append_transfer_at(*resolved, *offset);
        if (!timing) {
            library_rejects(transfer.place, "the transfer cannot be placed", to_string(timing.error()));
        }
        result.transfers.push_back(PlacedTransferResult{
            .resolved = std::move(*resolved), .offset = *offset, .timing = std::move(*timing)});
    }
    auto programs = std::move(builder).finish();
    if (!programs) {
        library_rejects(phase.place, "the phase cannot be finished", to_string(programs.error()));
    }
    result.programs = std::move(*programs);
    for (std::size_t tile = 0; tile < result.programs.programs.size(); ++tile) {
        if (!result.programs.programs[tile]) {
            continue;
        }
        const auto number = static_cast<std::uint16_t>(tile);
        result.active_tiles.push_back(number);
        if (binding(phase_index, number) != nullptr) {
            continue;
        }
        // Only a paired sender's partner takes part without sending or receiving.
        std::string place = phase.place;
        for (std::size_t i = 0; i < result.transfers.size(); ++i) {
            if (result.transfers[i].resolved.reserved_source == number) {
                place = phase.transfers[i].place;
                break;
            }
        }
        throw InputError(place, "tile " + std::to_string(number) +
                                    " is kept busy in phase " + in_quotes(phase.name) +
                                    " as the pair partner of a paired sender, but none of its "
                                    "steps is an exchange step of that phase");
    }
    return result;
}

PhaseCheck Pipeline::verify(const PhaseResult& phase) const {
    std::vector<exchange::PlacedTransfer> placed;
    placed.reserve(phase.transfers.size());
    for (const PlacedTransferResult& transfer : phase.transfers) {
        placed.push_back(exchange::PlacedTransfer{.transfer = transfer.resolved, .offset = transfer.offset});
    }
    auto verification = exchange::verify_phase(topology_, placed, phase.programs);
    if (!verification) {
        throw std::runtime_error("the check of phase " +
                                 in_quotes(description_.phases[phase.phase_index].name) +
                                 " could not run: " + to_string(verification.error()));
    }
    return PhaseCheck{.phase_index = phase.phase_index, .verification = std::move(*verification)};
}

HostTransferResult Pipeline::build_host_transfer(std::size_t index) const {
    const HostTransferDescription& host = description_.host_transfers.at(index);
    const auto rejects = [&](const ExchangeError& error) {
        library_rejects(host.place, "the library rejects the host transfer", to_string(error));
    };
    HostTransferResult result;
    const auto physical = topology_.physical(host.tile);
    if (!physical) {
        rejects(physical.error());
    }
    result.physical_tile = *physical;
    const auto hierarchy = exchange::host_hierarchy(*physical);
    if (!hierarchy) {
        rejects(hierarchy.error());
    }
    result.xreq_physical_tile = hierarchy->xreq_physical_tile;
    const auto& table = topology_.logical_to_physical;
    const auto xreq = std::find(table.begin(), table.end(), hierarchy->xreq_physical_tile);
    if (xreq == table.end()) {
        throw InputError(host.place, "the exchange-request tile (physical " +
                                         std::to_string(hierarchy->xreq_physical_tile) +
                                         ") of tile " + std::to_string(host.tile) +
                                         " is not on the " + description_.topology);
    }
    result.xreq_tile = static_cast<std::uint16_t>(xreq - table.begin());
    result.combined = result.xreq_physical_tile == result.physical_tile;

    const auto target =
        host.direction == HostDirection::HostToTile
            ? exchange::assemble_host_to_tile_target_program(*physical, host.tile_address,
                                                             host.host_offset, host.bytes,
                                                             host.packet_address)
            : exchange::assemble_tile_to_host_target_program(*physical, host.tile_address,
                                                             host.host_offset, host.bytes,
                                                             host.packet_address,
                                                             host.command_address.value_or(0));
    if (!target) {
        rejects(target.error());
    }
    const auto request = exchange::assemble_host_xreq_program(*physical, host.xreq_packet_address);
    if (!request) {
        rejects(request.error());
    }
    result.packet_words = target->packet_words.size();
    result.packets = result.packet_words / 2 - (host.direction == HostDirection::TileToHost ? 1 : 0);

    const std::string name = in_quotes(host.name);
    const auto add = [&](std::uint16_t tile, std::uint32_t address, std::vector<std::uint32_t> words,
                         std::string origin, std::string place) {
        result.rows.emplace_back(tile, TileRow{.row = {address, std::move(words)},
                                               .origin = std::move(origin) + " of host transfer " + name,
                                               .place = std::move(place)});
    };
    if (result.combined) {
        auto combined = exchange::wrap_combined_host_operation(*physical, target->instructions,
                                                               host.xreq_packet_address);
        if (!combined) {
            rejects(combined.error());
        }
        add(host.tile, host.program_address, std::move(*combined), "program",
            host.place + ".program_address");
    } else {
        if (!host.xreq_program_address) {
            throw InputError(host.place + ".xreq_program_address",
                             "missing required field: the exchange request of tile " +
                                 std::to_string(host.tile) + " is issued by tile " +
                                 std::to_string(result.xreq_tile) + ", which needs a program");
        }
        auto wrapped = exchange::wrap_host_target_operation(*physical, target->instructions);
        if (!wrapped) {
            rejects(wrapped.error());
        }
        auto xreq_program =
            exchange::wrap_host_xreq_operation(result.xreq_physical_tile, request->instructions);
        if (!xreq_program) {
            rejects(xreq_program.error());
        }
        add(host.tile, host.program_address, std::move(*wrapped), "program",
            host.place + ".program_address");
        add(result.xreq_tile, *host.xreq_program_address, std::move(*xreq_program),
            "exchange-request program", host.place + ".xreq_program_address");
    }
    add(host.tile, host.packet_address, target->packet_words, "packet words",
        host.place + ".packet_address");
    add(result.xreq_tile, host.xreq_packet_address, request->packet_words,
        "exchange-request packet", host.place + ".xreq_packet_address");
    return result;
}

std::vector<program::ExchangePatch>
Pipeline::lower_source_patch(const RepeatPatchDescription& patch,
                             const ExchangeStepDescription& step, std::uint16_t tile,
                             const PhaseResult& phase, const std::vector<std::uint32_t>& program) const {
    const PhaseDescription& description = description_.phases[step.phase_index];
    // The outgoing message whose source moves with the iteration.
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < description.transfers.size(); ++i) {
        const TransferDescription& transfer = description.transfers[i];
        if (patch.transfer ? transfer.name == *patch.transfer : transfer.source == tile) {
            if (!patch.transfer && chosen) {
                throw InputError(patch.place, "tile " + std::to_string(tile) +
                                                  " sends several transfers in phase " +
                                                  in_quotes(description.name) + "; name one with \"transfer\"");
            }
            chosen = i;
        }
    }
    if (!chosen) {
        throw InputError(patch.place, "tile " + std::to_string(tile) + " sends nothing in phase " +
                                          in_quotes(description.name));
    }
    const TransferDescription& transfer = description.transfers[*chosen];
    if (transfer.source != tile) {
        throw InputError(patch.place + ".transfer", "transfer " + in_quotes(transfer.name) +
                                                        " is sent by tile " +
                                                        std::to_string(transfer.source) +
                                                        ", not by tile " + std::to_string(tile));
    }
    const exchange::PhaseTransferTiming& timing = phase.transfers[*chosen].timing;
    const std::uint32_t item_bytes = transfer.width == Width::Paired64 ? 8u : 4u;
    for (std::size_t k = 0; k < patch.source_addresses.size(); ++k) {
        if (patch.source_addresses[k] % item_bytes != 0) {
            throw InputError(patch.place + ".source_addresses[" + std::to_string(k) + "]",
                             "source address " + hex(patch.source_addresses[k]) +
                                 " is not a multiple of " + std::to_string(item_bytes));
        }
    }

    // The message's words that name its source: its initial send and any SENDPICP inside it,
    // which names the source of the words it carries (the initial source plus the words sent
    // before it). Sends with offset and SENDPIC words continue from where the last one ended.
    const auto decoded = exchange::parse::diagnose_plan_program(program, std::nullopt);
    if (!decoded) {
        throw std::runtime_error("the program of tile " + std::to_string(tile) +
                                 " does not decode: " + to_string(decoded.error()));
    }
    const std::uint32_t original = transfer.source_addresses.empty() ? 0 : transfer.source_addresses.front() / 4u;
    const auto count = static_cast<std::uint32_t>(patch.source_addresses.size());
    std::vector<program::ExchangePatch> patches;
    for (const auto& instruction : decoded->instructions) {
        const auto* send = instruction.operation.get_if<exchange::parse::PlanOperation::Send>();
        if (send == nullptr || instruction.start_cycle < timing.payload_start ||
            instruction.start_cycle >= timing.payload_end ||
            (send->encoding != exchange::parse::SendEncoding::Explicit &&
             send->encoding != exchange::parse::SendEncoding::PicPair)) {
            continue;
        }
        const std::uint32_t sent = instruction.start_cycle - timing.payload_start;
        if (send->raw_operand != original + sent) {
            throw std::runtime_error("the send at word " + std::to_string(instruction.word_offset) +
                                     " of tile " + std::to_string(tile) +
                                     " does not name the source of transfer " + in_quotes(transfer.name));
        }
        const std::uint32_t word = program[instruction.word_offset];
        std::vector<std::uint32_t> values;
        for (std::size_t k = 0; k < patch.source_addresses.size(); ++k) {
            const std::uint64_t source = std::uint64_t{patch.source_addresses[k] / 4u} + sent;
            if (source > instruction::SEND_BASE_WORD_MAX) {
                throw InputError(patch.place + ".source_addresses[" + std::to_string(k) + "]",
                                 "source address " + hex(patch.source_addresses[k]) +
                                     " is beyond what a send can name (below 0x100000)");
            }
            values.push_back((word & ~(instruction::SEND_BASE_WORD_MAX << 3)) |
                             (static_cast<std::uint32_t>(source) << 3));
        }
        const std::uint64_t table = std::uint64_t{patch.values_address} +
                                    4ull * count * static_cast<std::uint64_t>(patches.size());
        if (table + 4ull * count > 0x1'0000'0000ull) {
            throw InputError(patch.place + ".values_address",
                             "the tables of patched values run past the 32-bit address space");
        }
        patches.push_back(program::ExchangePatch{
            .word_offset = instruction.word_offset,
            .values = {static_cast<std::uint32_t>(table), std::move(values)}});
    }
    if (patches.empty()) {
        throw std::runtime_error("no send of transfer " + in_quotes(transfer.name) +
                                 " was found in the program of tile " + std::to_string(tile));
    }
    return patches;
}

program::TileStep Pipeline::lower_step(const StepDescription& step, std::uint16_t tile,
                                       const std::vector<PhaseResult>& phases) const {
    if (const auto* exchange = std::get_if<ExchangeStepDescription>(&step.step)) {
        const PhaseResult& phase = phases.at(exchange->phase_index);
        const auto& program = phase.programs.programs.at(tile);
        program::ExchangeStep lowered;
        lowered.active = program.has_value();
        lowered.incoming_base = exchange->incoming_base;
        lowered.preserve_base_registers = exchange->preserve_base_registers;
        lowered.incoming_mux = exchange->incoming_mux;
        lowered.incoming_format = exchange->incoming_format;
        lowered.incoming_mux_pair = exchange->incoming_mux_pair;
        lowered.incoming_dcount = exchange->incoming_dcount;
        lowered.sync_in_program = false; // finished programs start at the phase's first cycle
        lowered.program.address = exchange->program_address.value_or(
            description_.phases[exchange->phase_index].program_address.value_or(0));
        lowered.program.words = program ? *program
                                        : std::vector<std::uint32_t>{instruction::RETURN_INSTRUCTION};
        if (exchange->setup_patch) {
            lowered.setup_patch = program::ExchangeSetupPatch{
                .offsets = {exchange->setup_patch->offsets.address, exchange->setup_patch->offsets.words},
                .values = {exchange->setup_patch->values.address, exchange->setup_patch->values.words},
            };
        }
        for (const RepeatPatchDescription& patch : exchange->repeat_patches) {
            if (!patch.is_source_form()) {
                lowered.repeat_patches.push_back(program::ExchangePatch{
                    .word_offset = *patch.word_offset, .values = {patch.values_address, patch.values}});
                continue;
            }
            for (auto& lowered_patch :
                 lower_source_patch(patch, *exchange, tile, phase, lowered.program.words)) {
                lowered.repeat_patches.push_back(std::move(lowered_patch));
            }
        }
        lowered.profile = lower_profile(exchange->profile);
        return lowered;
    }
    if (const auto* compute = std::get_if<ComputeStepDescription>(&step.step)) {
        program::ComputeStep lowered;
        lowered.symbol = compute->symbol;
        lowered.output_address = lower_address(compute->output);
        for (const AddressDescription& input : compute->inputs) {
            lowered.input_addresses.push_back(lower_address(input));
        }
        lowered.arguments = compute->arguments;
        lowered.profile = lower_profile(compute->profile);
        return lowered;
    }
    if (const auto* repeat = std::get_if<RepeatStepDescription>(&step.step)) {
        program::RepeatStep lowered;
        lowered.count = repeat->count;
        for (const auto& [initial, stride] : repeat->pointers) {
            lowered.iterated_pointers.push_back(
                program::RepeatPointer{.initial_address = initial, .stride_bytes = stride});
        }
        for (const StepDescription& body : repeat->body) {
            lowered.body.push_back(lower_step(body, tile, phases));
        }
        lowered.profile = lower_profile(repeat->profile);
        return lowered;
    }
    const auto& checkpoint = std::get<CheckpointStepDescription>(step.step);
    return program::CheckpointStep{
        .operation = checkpoint.operation, .breakpoint = checkpoint.breakpoint, .profile = {}};
}

std::vector<program::HostPhase>
Pipeline::lower_host_phases(const std::vector<HostPhaseDescription>& phases, std::uint16_t tile,
                            const std::vector<HostTransferResult>& host) const {
    std::vector<program::HostPhase> lowered;
    for (const HostPhaseDescription& phase : phases) {
        if (!phase.host_transfer) {
            lowered.push_back(program::HostPhase{
                .address = phase.address, .active = phase.active, .run_table = phase.run_table});
            continue;
        }
        const HostTransferDescription& transfer = description_.host_transfers[phase.host_transfer_index];
        const HostTransferResult& result = host[phase.host_transfer_index];
        std::uint32_t address = 0;
        if (tile == transfer.tile) {
            address = transfer.program_address;
        } else if (tile == result.xreq_tile && transfer.xreq_program_address) {
            address = *transfer.xreq_program_address;
        } else {
            throw InputError(phase.place + ".host_transfer",
                             "tile " + std::to_string(tile) + " takes no part in host transfer " +
                                 in_quotes(transfer.name) + " (its target is tile " +
                                 std::to_string(transfer.tile) + ", its request is issued by tile " +
                                 std::to_string(result.xreq_tile) + ")");
        }
        lowered.push_back(program::HostPhase{.address = address, .active = true, .run_table = phase.run_table});
    }
    return lowered;
}

Compilation Pipeline::compile(bool verify_phases) const {
    Compilation compilation;
    for (std::size_t phase = 0; phase < description_.phases.size(); ++phase) {
        compilation.phases.push_back(build_phase(phase));
        if (verify_phases) {
            compilation.checks.push_back(verify(compilation.phases.back()));
        }
    }

    std::set<std::uint16_t> described;
    for (const TileDescription& entry : description_.tiles) {
        described.insert(entry.tiles.begin(), entry.tiles.end());
    }
    std::map<std::uint16_t, std::vector<TileRow>> host_rows;
    for (std::size_t index = 0; index < description_.host_transfers.size(); ++index) {
        HostTransferResult result = build_host_transfer(index);
        for (auto& [tile, row] : result.rows) {
            if (!described.contains(tile)) {
                throw InputError(row.place, "tile " + std::to_string(tile) + " runs the " + row.origin +
                                                ", but no entry of \"tiles\" describes it");
            }
            host_rows[tile].push_back(row);
        }
        compilation.host_transfers.push_back(std::move(result));
    }

    const emit::CodegenOptions options{
        .code_address = description_.options.code_address,
        .invocations = description_.options.invocations,
        .initial_profile_address = description_.options.initial_profile_address,
        .final_profile_address = description_.options.final_profile_address,
    };
    for (const TileDescription& entry : description_.tiles) {
        for (const std::uint16_t tile : entry.tiles) {
            const std::string place = tile_place(entry, tile);
            program::TileProgram program{.tile = tile, .steps = {}};
            for (const StepDescription& step : entry.steps) {
                program.steps.push_back(lower_step(step, tile, compilation.phases));
            }
            const program::HostProgram host{
                .initialize = lower_host_phases(entry.initialize, tile, compilation.host_transfers),
                .inputs = lower_host_phases(entry.inputs, tile, compilation.host_transfers),
                .outputs = lower_host_phases(entry.outputs, tile, compilation.host_transfers),
            };
            auto generated = emit::emit(program, description_.symbols, host, options);
            if (!generated) {
                library_rejects(place, "the library cannot generate the code of tile " +
                                           std::to_string(tile),
                                to_string(generated.error()));
            }
            std::vector<TileRow> rows;
            rows.push_back(TileRow{.row = {options.code_address, {}}, .origin = "code", .place = "options.code_address"});
            rows.back().row.words.resize((generated->bytes.size() + 3) / 4);
            for (auto& row : generated->exchange_rows) {
                rows.push_back(TileRow{.row = std::move(row), .origin = "exchange row", .place = place});
            }
            if (const auto found = host_rows.find(tile); found != host_rows.end()) {
                rows.insert(rows.end(), found->second.begin(), found->second.end());
            }
            compilation.tiles.push_back(TileArtifacts{
                .tile = tile,
                .physical_tile = topology_.logical_to_physical[tile],
                .code = std::move(generated->bytes),
                .rows = place_rows(std::move(rows), tile),
            });
        }
    }
    std::sort(compilation.tiles.begin(), compilation.tiles.end(),
              [](const TileArtifacts& a, const TileArtifacts& b) { return a.tile < b.tile; });
    return compilation;
}

} // namespace tarnwick::cli
