// Runs the tarnwick tool on one description and checks what it writes against the library:
//
//   check_tool_outputs TOOL DESCRIPTION WORKDIR
//
// `compile` must write a code file and a rows file for every described tile (so for every tile
// active in a phase), the rows must hold each active tile's finished program at its address, and
// summary.json must report the offsets, payload windows and horizons that the library itself
// reports when the phase is built here directly. `schedule --trace --svg` must write, for every
// phase, a trace that parses as JSON with one named track per active tile and one complete event
// per slice, and an SVG document. `verify` must pass.

#include "description.hpp"
#include "pipeline.hpp"

#include "tarnwick/exchange/phase.hpp"
#include "tarnwick/exchange/transfer.hpp"

#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace tarnwick;

int failures = 0;

void expect(bool condition, const std::string& what) {
    if (!condition) {
        ++failures;
        std::cerr << "FAILED: " << what << '\n';
    }
}

int run(const std::string& command) {
    std::cout << "$ " << command << std::endl;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

json read_json(const fs::path& path) {
    std::ifstream in(path);
    expect(static_cast<bool>(in), "can open " + path.string());
    return json::parse(in, nullptr, false);
}

std::uint32_t hex_value(const json& value) {
    return static_cast<std::uint32_t>(std::stoul(value.get<std::string>(), nullptr, 16));
}

// The phase built straight through the library, with the receive bases the tiles describe.
exchange::PhasePrograms build_directly(const cli::Description& description,
                                       const cli::Pipeline& pipeline, std::size_t index,
                                       const json& summary) {
    const auto topology = topology::Topology::v600();
    exchange::PhaseProgramBuilder builder(description.tile_count);
    const cli::PhaseDescription& phase = description.phases[index];
    for (std::size_t i = 0; i < phase.transfers.size(); ++i) {
        const cli::TransferDescription& transfer = phase.transfers[i];
        exchange::PhysicalTransfer physical;
        physical.source = transfer.source;
        physical.source_addresses = transfer.source_addresses;
        for (const auto& destination : transfer.destinations) {
            physical.destinations.emplace_back(destination.tile, destination.address);
        }
        physical.words = transfer.words;
        physical.width = transfer.width == cli::Width::Paired64 ? exchange::TransferWidth::Paired64
                                                                : exchange::TransferWidth::Word32;
        std::optional<std::uint32_t> base;
        if (transfer.destinations.size() == 1) {
            base = pipeline.binding(index, transfer.destinations[0].tile)->incoming_base;
        }
        const auto resolved = physical.resolve(topology, base);
        const auto offset = builder.earliest_transfer_offset(*resolved, transfer.not_before);
        const auto timing = builder.append_transfer_at(*resolved, *offset);
        const json& reported = summary["transfers"][i];
        const std::string name = "phase " + phase.name + " transfer " + transfer.name;
        expect(reported["name"] == transfer.name, name + ": name");
        expect(reported["offset"] == *offset, name + ": offset");
        expect(reported["payload_start"] == timing->payload_start, name + ": payload start");
        expect(reported["payload_end"] == timing->payload_end, name + ": payload end");
        expect(reported["horizon"] == timing->horizon, name + ": horizon");
        for (std::size_t r = 0; r < resolved->receivers.size(); ++r) {
            const json& receiver = reported["receivers"][r];
            expect(receiver["tile"] == resolved->receivers[r], name + ": receiver tile");
            expect(receiver["payload_start"] == timing->receiver_payload_starts[r] &&
                       receiver["payload_end"] == timing->receiver_payload_ends[r] &&
                       receiver["horizon"] == timing->receiver_horizons[r],
                   name + ": receive window of tile " + std::to_string(resolved->receivers[r]));
        }
    }
    return *std::move(builder).finish();
}

void check_compile(const cli::Description& description, const cli::Pipeline& pipeline,
                   const fs::path& out) {
    const json summary = read_json(out / "summary.json");
    expect(summary["generator"] == "tarnwick", "summary names its generator");
    expect(summary["phases"].size() == description.phases.size(), "one summary entry per phase");

    std::set<std::uint16_t> described;
    for (const auto& entry : description.tiles) {
        described.insert(entry.tiles.begin(), entry.tiles.end());
    }
    std::map<std::uint16_t, json> tiles;
    for (const json& tile : summary["tiles"]) {
        tiles[tile["tile"].get<std::uint16_t>()] = tile;
    }
    expect(tiles.size() == described.size(), "one summary entry per described tile");

    std::map<std::uint16_t, json> rows_of;
    for (const std::uint16_t tile : described) {
        const std::string name = "tile " + std::to_string(tile);
        const fs::path code = out / tiles[tile]["code_file"].get<std::string>();
        const fs::path rows = out / tiles[tile]["rows_file"].get<std::string>();
        expect(fs::exists(code) && fs::file_size(code) > 0 && fs::file_size(code) % 4 == 0,
               name + ": a code file of whole words");
        expect(fs::exists(code) && fs::file_size(code) == tiles[tile]["code_bytes"],
               name + ": code size as summarised");
        rows_of[tile] = read_json(rows);
        expect(rows_of[tile]["rows"].size() == tiles[tile]["rows"], name + ": row count as summarised");
    }

    for (std::size_t index = 0; index < description.phases.size(); ++index) {
        const json& reported = summary["phases"][index];
        const auto programs = build_directly(description, pipeline, index, reported);
        const std::string phase = "phase " + description.phases[index].name;
        expect(reported["horizon"] == programs.event_cycles, phase + ": horizon");
        std::set<std::uint16_t> active;
        for (const json& tile : reported["tiles"]) {
            const auto number = tile["tile"].get<std::uint16_t>();
            active.insert(number);
            expect(tile["horizon"] == programs.tile_event_cycles.at(number),
                   phase + ": horizon of tile " + std::to_string(number));
        }
        for (std::size_t tile = 0; tile < programs.programs.size(); ++tile) {
            const auto number = static_cast<std::uint16_t>(tile);
            const std::string name = phase + ", tile " + std::to_string(tile);
            expect(programs.programs[tile].has_value() == active.contains(number),
                   name + ": listed as active exactly when it has a program");
            if (!programs.programs[tile]) {
                continue;
            }
            expect(described.contains(number), name + ": active and described");
            // The finished program sits in the tile's rows at the address its step gives.
            const std::uint32_t address = pipeline.binding(index, number)->program_address;
            bool found = false;
            for (const json& row : rows_of[number]["rows"]) {
                if (hex_value(row["address"]) != address) {
                    continue;
                }
                std::vector<std::uint32_t> words;
                for (const json& word : row["words"]) {
                    words.push_back(hex_value(word));
                }
                found = words == *programs.programs[tile];
            }
            expect(found, name + ": its program is in its rows at " + std::to_string(address));
        }
    }
}

void check_trace(const cli::Pipeline& pipeline, const cli::PhaseResult& phase, const fs::path& trace,
                 const fs::path& svg) {
    const std::string name = "trace of phase " + pipeline.description().phases[phase.phase_index].name;
    const json document = read_json(trace);
    expect(document.is_object() && document.contains("traceEvents") &&
               document["traceEvents"].is_array(),
           name + ": parses as a Trace Event Format object");
    if (failures != 0) {
        return;
    }
    std::set<std::uint16_t> tracks;
    std::size_t complete = 0;
    for (const json& event : document["traceEvents"]) {
        const std::string ph = event.value("ph", "");
        if (ph == "M" && event.value("name", "") == "thread_name") {
            const auto tid = event["tid"].get<std::uint16_t>();
            expect(event["args"]["name"].is_string(), name + ": a named track");
            expect(tracks.insert(tid).second, name + ": one track per tile");
        } else if (ph == "X") {
            ++complete;
            expect(event["ts"].is_number() && event["dur"].is_number() && event["dur"] > 0 &&
                       event["name"].is_string() && event["pid"] == 1,
                   name + ": a complete event with time, duration and name");
        }
    }
    const std::set<std::uint16_t> active(phase.active_tiles.begin(), phase.active_tiles.end());
    expect(tracks == active, name + ": one track per active tile");
    std::size_t slices = 0;
    for (const auto& placed : phase.transfers) {
        slices += 1 + placed.resolved.receivers.size() + (placed.resolved.reserved_source ? 1 : 0);
    }
    expect(complete == slices, name + ": one complete event per message and receive window");

    std::ifstream in(svg);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    expect(text.starts_with("<?xml") && text.find("<svg xmlns=\"http://www.w3.org/2000/svg\"") != std::string::npos &&
               text.ends_with("</svg>\n"),
           name + ": an SVG document");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: check_tool_outputs TOOL DESCRIPTION WORKDIR\n";
        return 2;
    }
    const fs::path tool = argv[1];
    const fs::path description_path = argv[2];
    const fs::path work = argv[3];
    fs::remove_all(work);
    fs::create_directories(work);

    const cli::Description description = cli::read_description(description_path);
    const cli::Pipeline pipeline(description);

    const fs::path out = work / "out";
    expect(run(quote(tool) + " compile " + quote(description_path) + " --out " + quote(out)) == 0,
           "compile succeeds");
    if (failures == 0) {
        check_compile(description, pipeline, out);
    }
    // A second run replaces the first output.
    expect(run(quote(tool) + " compile " + quote(description_path) + " --out " + quote(out) +
               " --no-verify > /dev/null") == 0,
           "compile replaces its earlier output");

    for (std::size_t index = 0; index < description.phases.size(); ++index) {
        const std::string phase = description.phases[index].name;
        const fs::path trace = work / (phase + ".trace.json");
        const fs::path svg = work / (phase + ".svg");
        expect(run(quote(tool) + " schedule " + quote(description_path) + " --phase '" + phase +
                   "' --listing --trace " + quote(trace) + " --svg " + quote(svg) + " > " +
                   quote(work / (phase + ".txt"))) == 0,
               "schedule succeeds for phase " + phase);
        if (failures == 0) {
            check_trace(pipeline, pipeline.build_phase(index), trace, svg);
        }
    }
    expect(run(quote(tool) + " verify " + quote(description_path) + " > " + quote(work / "verify.txt")) == 0,
           "verify passes");

    if (failures != 0) {
        std::cerr << failures << " checks failed\n";
        return 1;
    }
    std::cout << "all checks passed\n";
    return 0;
}
