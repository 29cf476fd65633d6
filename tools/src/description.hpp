#pragma once

// The program description that `tarnwick compile` reads: the target, the symbol table, the
// emission options, the exchange phases as lists of transfers, the host transfers and every
// tile's steps. docs/description-format.md documents each field; this is its in-memory form.
//
// Parsing checks everything that can be checked without the library: types, ranges, required
// fields, unknown fields, tile numbers against the topology, names that refer to phases,
// transfers and host transfers. Each value keeps the place it came from so that a fault found
// later, by the library, is still reported where the user can find it.

#include "json_reader.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarnwick::cli {

enum class Width : std::uint8_t { Word32, Paired64 };

struct DestinationDescription {
    std::uint16_t tile = 0;
    std::uint32_t address = 0;
    std::string place;
};

struct TransferDescription {
    std::string name; // given, or "#<index>"
    std::string place;
    std::uint16_t source = 0;
    std::vector<std::uint32_t> source_addresses;
    std::vector<DestinationDescription> destinations;
    std::uint32_t words = 0;
    Width width = Width::Word32;
    std::uint32_t not_before = 0; // the lowest offset the placement may choose
};

struct PhaseDescription {
    std::string name;
    std::string place;
    std::optional<std::uint32_t> program_address; // default placement of every tile's program
    std::vector<TransferDescription> transfers;
};

enum class HostDirection : std::uint8_t { HostToTile, TileToHost };

struct HostTransferDescription {
    std::string name;
    std::string place;
    std::uint16_t tile = 0;
    HostDirection direction = HostDirection::HostToTile;
    std::uint32_t tile_address = 0;
    std::uint32_t host_offset = 0;
    std::uint32_t bytes = 0;
    std::uint32_t program_address = 0;        // the target tile's wrapped program
    std::uint32_t packet_address = 0;         // the target's packet words
    std::optional<std::uint32_t> command_address; // tile-to-host only
    std::optional<std::uint32_t> xreq_program_address; // needed when another tile issues the request
    std::uint32_t xreq_packet_address = 0;    // the exchange-request bitmap
};

struct ProfileDescription {
    std::optional<std::uint32_t> before;
    std::optional<std::uint32_t> after;
};

// A compute address: absolute, or relative to an iterated pointer of the enclosing repeat.
struct AddressDescription {
    std::optional<std::uint32_t> absolute;
    std::uint16_t pointer = 0;
    std::uint32_t offset = 0;
};

struct RowDescription {
    std::uint32_t address = 0;
    std::vector<std::uint32_t> words;
};

// A per-iteration patch of the step's exchange program: either raw (a word offset and one value
// per iteration), or the source address of one of the tile's outgoing messages, one address per
// iteration, from which the tool computes the patched words.
struct RepeatPatchDescription {
    std::string place;
    std::uint32_t values_address = 0;
    // Raw form.
    std::optional<std::uint32_t> word_offset;
    std::vector<std::uint32_t> values;
    // Source form.
    std::optional<std::string> transfer; // absent: the tile's only outgoing message in the phase
    std::vector<std::uint32_t> source_addresses;
    [[nodiscard]] bool is_source_form() const noexcept { return !word_offset.has_value(); }
};

struct SetupPatchDescription {
    RowDescription offsets;
    RowDescription values;
};

struct ExchangeStepDescription {
    std::string phase;
    std::size_t phase_index = 0;
    std::optional<std::uint32_t> program_address; // overrides the phase's
    std::uint32_t incoming_base = 0;
    bool preserve_base_registers = false;
    std::optional<std::uint16_t> incoming_mux;
    std::uint8_t incoming_format = 0;
    std::optional<std::uint16_t> incoming_mux_pair;
    std::optional<std::uint32_t> incoming_dcount;
    std::optional<SetupPatchDescription> setup_patch;
    std::vector<RepeatPatchDescription> repeat_patches;
    ProfileDescription profile;
};

struct ComputeStepDescription {
    std::string symbol;
    AddressDescription output;
    std::vector<AddressDescription> inputs;
    std::vector<std::uint32_t> arguments;
    ProfileDescription profile;
};

struct StepDescription;

struct RepeatStepDescription {
    std::uint32_t count = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pointers; // (initial address, stride)
    std::vector<StepDescription> body;
    ProfileDescription profile;
};

struct CheckpointStepDescription {
    std::uint32_t operation = 0;
    std::uint8_t breakpoint = 0;
};

struct StepDescription {
    std::string place;
    std::variant<ExchangeStepDescription, ComputeStepDescription, RepeatStepDescription,
                 CheckpointStepDescription>
        step;
};

struct HostPhaseDescription {
    std::string place;
    std::optional<std::string> host_transfer; // the address is then the tile's program for it
    std::size_t host_transfer_index = 0;
    std::uint32_t address = 0;
    bool active = true;
    std::optional<std::uint32_t> run_table;
};

struct TileDescription {
    std::string place;
    std::vector<std::uint16_t> tiles; // one, or an inclusive range
    std::vector<StepDescription> steps;
    std::vector<HostPhaseDescription> initialize;
    std::vector<HostPhaseDescription> inputs;
    std::vector<HostPhaseDescription> outputs;
};

struct OptionsDescription {
    std::uint32_t code_address = 0;
    std::uint32_t invocations = 1;
    std::optional<std::uint32_t> initial_profile_address;
    std::optional<std::uint32_t> final_profile_address;
};

struct Description {
    std::string topology = "V600";
    std::uint16_t tile_count = 0;
    std::map<std::string, std::uint32_t, std::less<>> symbols;
    OptionsDescription options;
    std::vector<PhaseDescription> phases;
    std::vector<HostTransferDescription> host_transfers;
    std::vector<TileDescription> tiles;

    // The index of the phase with this name, if any.
    [[nodiscard]] std::optional<std::size_t> find_phase(std::string_view name) const;
};

// Parses a description from its JSON form; every fault is an InputError at its place.
[[nodiscard]] Description parse_description(const nlohmann::json& root);

// Reads and parses a description file.
[[nodiscard]] Description read_description(const std::filesystem::path& path);

// Parses a tile list such as "0,5,10-20" against a tile count.
[[nodiscard]] std::vector<std::uint16_t> parse_tile_list(std::string_view text,
                                                         std::uint16_t tile_count);

} // namespace tarnwick::cli
