#include "description.hpp"

#include "tarnwick/topology.hpp"

#include <algorithm>
#include <charconv>
#include <set>
#include <utility>

namespace tarnwick::cli {

namespace {

std::string in_quotes(std::string_view text) { return '"' + std::string(text) + '"'; }

class Parser {
public:
    Description parse(const JsonNode& root) {
        root.allow_only({"topology", "symbols", "options", "phases", "host_transfers", "tiles"});
        parse_topology(root.field("topology"));
        parse_symbols(root.field("symbols"));
        if (const auto options = root.optional_field("options")) {
            parse_options(*options);
        }
        if (const auto phases = root.optional_field("phases")) {
            for (const JsonNode& phase : phases->elements()) {
                parse_phase(phase);
            }
        }
        if (const auto host = root.optional_field("host_transfers")) {
            for (const JsonNode& transfer : host->elements()) {
                parse_host_transfer(transfer);
            }
        }
        std::map<std::uint16_t, std::string> described;
        for (const JsonNode& tile : root.field("tiles").elements()) {
            parse_tile(tile, described);
        }
        return std::move(description_);
    }

private:
    void parse_topology(const JsonNode& node) {
        const std::string name = node.string();
        if (name != "V600") {
            node.fail("unknown topology " + in_quotes(name) + " (the one known topology is \"V600\")");
        }
        description_.topology = name;
        description_.tile_count = static_cast<std::uint16_t>(topology::Topology::v600().tile_count());
    }

    void parse_symbols(const JsonNode& node) {
        node.expect_object();
        for (const auto& [name, value] : node.json().items()) {
            const JsonNode symbol(value, node.place() + '.' + name);
            if (name.empty()) {
                symbol.fail("a symbol name must not be empty");
            }
            description_.symbols.emplace(name, symbol.u32());
        }
    }

    void parse_options(const JsonNode& node) {
        node.allow_only({"code_address", "invocations", "initial_profile_address",
                         "final_profile_address"});
        OptionsDescription& options = description_.options;
        if (const auto value = node.optional_field("code_address")) {
            options.code_address = value->u32();
        }
        if (const auto value = node.optional_field("invocations")) {
            options.invocations = value->u32();
        }
        if (const auto value = node.optional_field("initial_profile_address")) {
            options.initial_profile_address = value->u32();
        }
        if (const auto value = node.optional_field("final_profile_address")) {
            options.final_profile_address = value->u32();
        }
    }

    std::uint16_t tile(const JsonNode& node) const {
        const std::uint16_t value = node.u16();
        if (value >= description_.tile_count) {
            node.fail("tile " + std::to_string(value) + " is outside the " + description_.topology +
                      " (tiles 0 to " + std::to_string(description_.tile_count - 1) + ")");
        }
        return value;
    }

    static std::string name(const JsonNode& node) {
        std::string text = node.string();
        if (text.empty()) {
            node.fail("a name must not be empty");
        }
        return text;
    }

    void parse_phase(const JsonNode& node) {
        node.allow_only({"name", "program_address", "transfers"});
        PhaseDescription phase;
        phase.place = node.place();
        const JsonNode name_node = node.field("name");
        phase.name = name(name_node);
        if (description_.find_phase(phase.name)) {
            name_node.fail("a phase named " + in_quotes(phase.name) + " is already described");
        }
        if (const auto value = node.optional_field("program_address")) {
            phase.program_address = value->u32();
        }
        std::set<std::string, std::less<>> names;
        for (const JsonNode& transfer_node : node.field("transfers").elements()) {
            TransferDescription transfer = parse_transfer(transfer_node, phase.transfers.size());
            if (!names.insert(transfer.name).second) {
                transfer_node.field("name").fail("a transfer named " + in_quotes(transfer.name) +
                                                 " is already in this phase");
            }
            phase.transfers.push_back(std::move(transfer));
        }
        description_.phases.push_back(std::move(phase));
    }

    TransferDescription parse_transfer(const JsonNode& node, std::size_t index) const {
        node.allow_only({"name", "source", "source_address", "source_addresses", "destinations",
                         "words", "width", "not_before"});
        TransferDescription transfer;
        transfer.place = node.place();
        transfer.name = node.has("name") ? name(node.field("name")) : "#" + std::to_string(index);
        transfer.source = tile(node.field("source"));
        const bool single = node.has("source_address");
        const bool list = node.has("source_addresses");
        if (single == list) {
            node.fail("give exactly one of source_address and source_addresses");
        }
        transfer.source_addresses = single
                                        ? std::vector<std::uint32_t>{node.field("source_address").u32()}
                                        : node.field("source_addresses").u32_list();
        for (const JsonNode& destination_node : node.field("destinations").elements()) {
            destination_node.allow_only({"tile", "address"});
            transfer.destinations.push_back(DestinationDescription{
                .tile = tile(destination_node.field("tile")),
                .address = destination_node.field("address").u32(),
                .place = destination_node.place(),
            });
        }
        transfer.words = node.field("words").u32();
        if (const auto width = node.optional_field("width")) {
            const std::string text = width->string();
            if (text == "word32") {
                transfer.width = Width::Word32;
            } else if (text == "paired64") {
                transfer.width = Width::Paired64;
            } else {
                width->fail("unknown width " + in_quotes(text) + " (\"word32\" or \"paired64\")");
            }
        }
        if (const auto value = node.optional_field("not_before")) {
            transfer.not_before = value->u32();
        }
        return transfer;
    }

    void parse_host_transfer(const JsonNode& node) {
        node.allow_only({"name", "tile", "direction", "tile_address", "host_offset", "bytes",
                         "program_address", "packet_address", "command_address",
                         "xreq_program_address", "xreq_packet_address"});
        HostTransferDescription transfer;
        transfer.place = node.place();
        const JsonNode name_node = node.field("name");
        transfer.name = name(name_node);
        for (const HostTransferDescription& other : description_.host_transfers) {
            if (other.name == transfer.name) {
                name_node.fail("a host transfer named " + in_quotes(transfer.name) +
                               " is already described");
            }
        }
        transfer.tile = tile(node.field("tile"));
        const JsonNode direction = node.field("direction");
        const std::string text = direction.string();
        if (text == "host_to_tile") {
            transfer.direction = HostDirection::HostToTile;
        } else if (text == "tile_to_host") {
            transfer.direction = HostDirection::TileToHost;
        } else {
            direction.fail("unknown direction " + in_quotes(text) +
                           " (\"host_to_tile\" or \"tile_to_host\")");
        }
        transfer.tile_address = node.field("tile_address").u32();
        transfer.host_offset = node.field("host_offset").u32();
        transfer.bytes = node.field("bytes").u32();
        transfer.program_address = node.field("program_address").u32();
        transfer.packet_address = node.field("packet_address").u32();
        if (transfer.direction == HostDirection::TileToHost) {
            transfer.command_address = node.field("command_address").u32();
        } else if (const auto command = node.optional_field("command_address")) {
            command->fail("only a tile_to_host transfer has a command address");
        }
        if (const auto value = node.optional_field("xreq_program_address")) {
            transfer.xreq_program_address = value->u32();
        }
        transfer.xreq_packet_address = node.field("xreq_packet_address").u32();
        description_.host_transfers.push_back(std::move(transfer));
    }

    static ProfileDescription profile(const JsonNode& node) {
        ProfileDescription profile;
        if (const auto value = node.optional_field("profile")) {
            value->allow_only({"before", "after"});
            if (const auto before = value->optional_field("before")) {
                profile.before = before->u32();
            }
            if (const auto after = value->optional_field("after")) {
                profile.after = after->u32();
            }
        }
        return profile;
    }

    static AddressDescription address(const JsonNode& node) {
        if (node.json().is_object()) {
            node.allow_only({"pointer", "offset"});
            AddressDescription address;
            address.pointer = node.field("pointer").u16();
            if (const auto offset = node.optional_field("offset")) {
                address.offset = offset->u32();
            }
            return address;
        }
        return AddressDescription{.absolute = node.u32(), .pointer = 0, .offset = 0};
    }

    static RowDescription row(const JsonNode& node) {
        node.allow_only({"address", "words"});
        return RowDescription{.address = node.field("address").u32(),
                              .words = node.field("words").u32_list()};
    }

    // The context of a step list: the repeat it lies in, if any.
    struct Context {
        std::optional<std::uint32_t> repeat_count;
    };

    std::vector<StepDescription> steps(const JsonNode& node, Context context) const {
        std::vector<StepDescription> steps;
        for (const JsonNode& step_node : node.elements()) {
            steps.push_back(step(step_node, context));
        }
        return steps;
    }

    StepDescription step(const JsonNode& node, Context context) const {
        node.expect_object();
        const JsonNode kind_node = node.field("kind");
        const std::string kind = kind_node.string();
        StepDescription step;
        step.place = node.place();
        if (kind == "exchange") {
            step.step = exchange_step(node, context);
        } else if (kind == "compute") {
            node.allow_only({"kind", "symbol", "output", "inputs", "arguments", "profile"});
            ComputeStepDescription compute;
            compute.symbol = node.field("symbol").string();
            compute.output = address(node.field("output"));
            if (const auto inputs = node.optional_field("inputs")) {
                for (const JsonNode& input : inputs->elements()) {
                    compute.inputs.push_back(address(input));
                }
            }
            if (const auto arguments = node.optional_field("arguments")) {
                compute.arguments = arguments->u32_list();
            }
            compute.profile = profile(node);
            step.step = std::move(compute);
        } else if (kind == "repeat") {
            node.allow_only({"kind", "count", "pointers", "body", "profile"});
            if (context.repeat_count) {
                // Code generation rejects this too; rejecting it here also bounds the depth to
                // which a description can nest steps.
                node.fail("nested finalized repeats are not yet supported");
            }
            RepeatStepDescription repeat;
            repeat.count = node.field("count").u32();
            if (const auto pointers = node.optional_field("pointers")) {
                for (const JsonNode& pointer : pointers->elements()) {
                    pointer.allow_only({"initial", "stride"});
                    repeat.pointers.emplace_back(pointer.field("initial").u32(),
                                                 pointer.field("stride").u32());
                }
            }
            repeat.body = steps(node.field("body"), Context{.repeat_count = repeat.count});
            repeat.profile = profile(node);
            step.step = std::move(repeat);
        } else if (kind == "checkpoint") {
            node.allow_only({"kind", "operation", "breakpoint"});
            CheckpointStepDescription checkpoint;
            if (const auto operation = node.optional_field("operation")) {
                checkpoint.operation = operation->u32();
            }
            if (const auto breakpoint = node.optional_field("breakpoint")) {
                checkpoint.breakpoint = breakpoint->u8();
            }
            step.step = checkpoint;
        } else {
            kind_node.fail("unknown step kind " + in_quotes(kind) +
                           " (\"exchange\", \"compute\", \"repeat\" or \"checkpoint\")");
        }
        return step;
    }

    std::size_t phase_index(const JsonNode& node) const {
        const std::string name = node.string();
        if (const auto index = description_.find_phase(name)) {
            return *index;
        }
        std::string known;
        for (const PhaseDescription& phase : description_.phases) {
            known += (known.empty() ? "" : ", ") + in_quotes(phase.name);
        }
        node.fail("unknown phase " + in_quotes(name) +
                  (known.empty() ? " (no phases are described)" : " (described: " + known + ")"));
    }

    ExchangeStepDescription exchange_step(const JsonNode& node, Context context) const {
        node.allow_only({"kind", "phase", "program_address", "incoming_base",
                         "preserve_base_registers", "incoming_mux", "incoming_format",
                         "incoming_mux_pair", "incoming_dcount", "setup_patch", "repeat_patches",
                         "profile"});
        ExchangeStepDescription exchange;
        const JsonNode phase_node = node.field("phase");
        exchange.phase_index = phase_index(phase_node);
        const PhaseDescription& phase = description_.phases[exchange.phase_index];
        exchange.phase = phase.name;
        if (const auto value = node.optional_field("program_address")) {
            exchange.program_address = value->u32();
        } else if (!phase.program_address) {
            throw InputError(node.place() + ".program_address",
                             "missing required field (phase " + in_quotes(phase.name) +
                                 " gives no program_address)");
        }
        if (const auto value = node.optional_field("incoming_base")) {
            exchange.incoming_base = value->u32();
        }
        if (const auto value = node.optional_field("preserve_base_registers")) {
            exchange.preserve_base_registers = value->boolean();
        }
        if (const auto value = node.optional_field("incoming_mux")) {
            exchange.incoming_mux = value->u16();
        }
        if (const auto value = node.optional_field("incoming_format")) {
            exchange.incoming_format = value->u8();
        }
        if (const auto value = node.optional_field("incoming_mux_pair")) {
            exchange.incoming_mux_pair = value->u16();
        }
        if (const auto value = node.optional_field("incoming_dcount")) {
            exchange.incoming_dcount = value->u32();
        }
        if (const auto value = node.optional_field("setup_patch")) {
            value->allow_only({"offsets", "values"});
            exchange.setup_patch = SetupPatchDescription{.offsets = row(value->field("offsets")),
                                                         .values = row(value->field("values"))};
        }
        if (const auto patches = node.optional_field("repeat_patches")) {
            for (const JsonNode& patch_node : patches->elements()) {
                exchange.repeat_patches.push_back(repeat_patch(patch_node, phase, context));
            }
        }
        exchange.profile = profile(node);
        return exchange;
    }

    static RepeatPatchDescription repeat_patch(const JsonNode& node, const PhaseDescription& phase,
                                               Context context) {
        node.allow_only({"word_offset", "values", "values_address", "transfer",
                         "source_addresses"});
        if (!context.repeat_count) {
            node.fail("a repeat patch needs an enclosing repeat step");
        }
        RepeatPatchDescription patch;
        patch.place = node.place();
        patch.values_address = node.field("values_address").u32();
        const std::uint32_t count = *context.repeat_count;
        const auto check_count = [count](const JsonNode& list, std::size_t size) {
            if (size != count) {
                list.fail("holds " + std::to_string(size) + " values; the enclosing repeat runs " +
                          std::to_string(count) + " times and needs one per iteration");
            }
        };
        if (node.has("word_offset")) {
            if (node.has("transfer") || node.has("source_addresses")) {
                node.fail("give either word_offset and values, or source_addresses (with an "
                          "optional transfer)");
            }
            patch.word_offset = node.field("word_offset").u32();
            const JsonNode values = node.field("values");
            patch.values = values.u32_list();
            check_count(values, patch.values.size());
        } else {
            if (node.has("values")) {
                node.fail("give either word_offset and values, or source_addresses (with an "
                          "optional transfer)");
            }
            if (const auto transfer = node.optional_field("transfer")) {
                const std::string name = transfer->string();
                const bool known = std::any_of(phase.transfers.begin(), phase.transfers.end(),
                                               [&](const TransferDescription& t) { return t.name == name; });
                if (!known) {
                    transfer->fail("phase " + in_quotes(phase.name) + " has no transfer named " +
                                   in_quotes(name));
                }
                patch.transfer = name;
            }
            const JsonNode addresses = node.field("source_addresses");
            patch.source_addresses = addresses.u32_list();
            check_count(addresses, patch.source_addresses.size());
        }
        return patch;
    }

    std::vector<HostPhaseDescription> host_phases(const JsonNode& node) const {
        std::vector<HostPhaseDescription> phases;
        for (const JsonNode& phase_node : node.elements()) {
            HostPhaseDescription phase;
            phase.place = phase_node.place();
            phase_node.expect_object();
            if (phase_node.has("host_transfer")) {
                phase_node.allow_only({"host_transfer", "run_table"});
                const JsonNode name_node = phase_node.field("host_transfer");
                const std::string name = name_node.string();
                const auto& transfers = description_.host_transfers;
                const auto found = std::find_if(transfers.begin(), transfers.end(),
                                                [&](const auto& t) { return t.name == name; });
                if (found == transfers.end()) {
                    name_node.fail("unknown host transfer " + in_quotes(name));
                }
                phase.host_transfer = name;
                phase.host_transfer_index = static_cast<std::size_t>(found - transfers.begin());
            } else {
                phase_node.allow_only({"address", "active", "run_table"});
                phase.address = phase_node.field("address").u32();
                if (const auto active = phase_node.optional_field("active")) {
                    phase.active = active->boolean();
                }
            }
            if (const auto run_table = phase_node.optional_field("run_table")) {
                phase.run_table = run_table->u32();
            }
            phases.push_back(std::move(phase));
        }
        return phases;
    }

    void parse_tile(const JsonNode& node, std::map<std::uint16_t, std::string>& described) {
        node.allow_only({"tile", "tile_range", "steps", "host"});
        TileDescription entry;
        entry.place = node.place();
        const bool single = node.has("tile");
        const bool range = node.has("tile_range");
        if (single == range) {
            node.fail("give exactly one of tile and tile_range");
        }
        if (single) {
            entry.tiles.push_back(tile(node.field("tile")));
        } else {
            const JsonNode range_node = node.field("tile_range");
            const auto bounds = range_node.elements();
            if (bounds.size() != 2) {
                range_node.fail("expected [first, last], an inclusive range of tiles");
            }
            const std::uint16_t first = tile(bounds[0]);
            const std::uint16_t last = tile(bounds[1]);
            if (first > last) {
                range_node.fail("the first tile is after the last");
            }
            for (unsigned t = first; t <= last; ++t) {
                entry.tiles.push_back(static_cast<std::uint16_t>(t));
            }
        }
        for (const std::uint16_t t : entry.tiles) {
            const auto [where, inserted] = described.emplace(t, entry.place);
            if (!inserted) {
                node.fail("tile " + std::to_string(t) + " is already described by " + where->second);
            }
        }
        entry.steps = steps(node.field("steps"), Context{});
        if (const auto host = node.optional_field("host")) {
            host->allow_only({"initialize", "inputs", "outputs"});
            if (const auto list = host->optional_field("initialize")) {
                entry.initialize = host_phases(*list);
            }
            if (const auto list = host->optional_field("inputs")) {
                entry.inputs = host_phases(*list);
            }
            if (const auto list = host->optional_field("outputs")) {
                entry.outputs = host_phases(*list);
            }
        }
        description_.tiles.push_back(std::move(entry));
    }

    Description description_;
};

} // namespace

std::optional<std::size_t> Description::find_phase(std::string_view name) const {
    for (std::size_t i = 0; i < phases.size(); ++i) {
        if (phases[i].name == name) {
            return i;
        }
    }
    return std::nullopt;
}

Description parse_description(const nlohmann::json& root) {
    return Parser{}.parse(JsonNode(root, ""));
}

Description read_description(const std::filesystem::path& path) {
    return parse_description(read_json_file(path));
}

std::vector<std::uint16_t> parse_tile_list(std::string_view text, std::uint16_t tile_count) {
    std::vector<std::uint16_t> tiles;
    const auto number = [&](std::string_view part) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (error != std::errc{} || end != part.data() + part.size() || part.empty()) {
            throw InputError("--tiles", "cannot read " + in_quotes(part) + " as a tile number");
        }
        if (value >= tile_count) {
            throw InputError("--tiles", "tile " + std::to_string(value) + " is outside the topology (tiles 0 to " +
                                            std::to_string(tile_count - 1) + ")");
        }
        return static_cast<std::uint16_t>(value);
    };
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view part = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const auto dash = part.find('-');
        if (dash == std::string_view::npos) {
            tiles.push_back(number(part));
            continue;
        }
        const std::uint16_t first = number(part.substr(0, dash));
        const std::uint16_t last = number(part.substr(dash + 1));
        if (first > last) {
            throw InputError("--tiles", "the range " + in_quotes(part) + " runs backwards");
        }
        for (unsigned t = first; t <= last; ++t) {
            tiles.push_back(static_cast<std::uint16_t>(t));
        }
    }
    std::sort(tiles.begin(), tiles.end());
    tiles.erase(std::unique(tiles.begin(), tiles.end()), tiles.end());
    return tiles;
}

} // namespace tarnwick::cli
