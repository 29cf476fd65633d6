#pragma once

// The road from a description to per-tile artefacts, driven through the library exactly as a
// compiler stage would drive it: resolve every transfer, place it at its earliest offset, finish
// each phase, plan and assemble the host transfers, build each tile's TileProgram and emit it.
//
// Every fault of the input, including a transfer or a program that the library rejects, is an
// InputError at the place of the input it comes from, carrying the library's error in its debug
// form. Anything else that goes wrong is a fault of the tool or the library.

#include "description.hpp"

#include "tarnwick/emit/emit.hpp"
#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/transfer.hpp"
#include "tarnwick/exchange/verify.hpp"
#include "tarnwick/program.hpp"
#include "tarnwick/topology.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::cli {

struct PlacedTransferResult {
    exchange::ResolvedTransfer resolved;
    std::uint32_t offset = 0;
    exchange::PhaseTransferTiming timing;
};

struct PhaseResult {
    std::size_t phase_index = 0;
    std::vector<PlacedTransferResult> transfers; // in description order
    exchange::PhasePrograms programs;
    std::vector<std::uint16_t> active_tiles;     // tiles with a program, ascending
};

// How one tile takes part in one phase: the first exchange step of the tile that names the phase.
struct PhaseBinding {
    std::uint32_t incoming_base = 0;
    std::uint32_t program_address = 0;
    std::string place; // of that step
};

// A row placed in a tile's memory, with what put it there (for messages).
struct TileRow {
    program::PlacedExchangeRow row;
    std::string origin; // "exchange row", "program of host transfer \"x\"", ...
    std::string place;  // where in the input it comes from
};

struct HostTransferResult {
    std::uint16_t physical_tile = 0;
    std::uint16_t xreq_tile = 0; // logical
    std::uint16_t xreq_physical_tile = 0;
    bool combined = false; // the target issues its own exchange request
    std::size_t packets = 0; // data packets, without a tile-to-host transfer's closing packet
    std::size_t packet_words = 0;
    std::vector<std::pair<std::uint16_t, TileRow>> rows; // (tile, row)
};

struct TileArtifacts {
    std::uint16_t tile = 0;
    std::uint16_t physical_tile = 0;
    std::vector<std::uint8_t> code;
    std::vector<program::PlacedExchangeRow> rows; // ascending address, no overlaps
};

struct PhaseCheck {
    std::size_t phase_index = 0;
    exchange::PhaseVerification verification;
};

struct Compilation {
    std::vector<PhaseResult> phases;
    std::vector<PhaseCheck> checks; // empty when verification was skipped
    std::vector<HostTransferResult> host_transfers;
    std::vector<TileArtifacts> tiles; // ascending tile number
};

class Pipeline {
public:
    explicit Pipeline(const Description& description);

    [[nodiscard]] const topology::Topology& topology() const noexcept { return topology_; }
    [[nodiscard]] const Description& description() const noexcept { return description_; }

    // The binding of a tile to a phase, if one of the tile's steps names it.
    [[nodiscard]] const PhaseBinding* binding(std::size_t phase, std::uint16_t tile) const;

    // Resolves, places and finishes one phase.
    [[nodiscard]] PhaseResult build_phase(std::size_t phase_index) const;

    // The independent physical check of a finished phase.
    [[nodiscard]] PhaseCheck verify(const PhaseResult& phase) const;

    // The whole road. With `verify`, every phase is checked and the checks are returned; a
    // phase that breaks the check is not an input fault and does not stop compilation here.
    [[nodiscard]] Compilation compile(bool verify) const;

private:
    [[nodiscard]] HostTransferResult build_host_transfer(std::size_t index) const;
    [[nodiscard]] program::TileStep lower_step(const StepDescription& step, std::uint16_t tile,
                                               const std::vector<PhaseResult>& phases) const;
    [[nodiscard]] std::vector<program::ExchangePatch>
    lower_source_patch(const RepeatPatchDescription& patch, const ExchangeStepDescription& step,
                       std::uint16_t tile, const PhaseResult& phase,
                       const std::vector<std::uint32_t>& program) const;
    [[nodiscard]] std::vector<program::HostPhase>
    lower_host_phases(const std::vector<HostPhaseDescription>& phases, std::uint16_t tile,
                      const std::vector<HostTransferResult>& host) const;

    const Description& description_;
    topology::Topology topology_;
    std::vector<std::map<std::uint16_t, PhaseBinding>> bindings_; // per phase
};

} // namespace tarnwick::cli
