#include "output.hpp"

#include "tarnwick/version.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tarnwick::cli {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

json hex_word(std::uint32_t word) { return hex(word, 8); }

// A new, empty, uniquely named directory beside `target`.
fs::path make_sibling_directory(const fs::path& target, std::string_view kind) {
    std::string pattern = (target.parent_path() / (target.filename().string() + "." +
                                                   std::string(kind) + "-XXXXXX"))
                              .string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw fs::filesystem_error("cannot create a directory beside the output", target,
                                   std::error_code(errno, std::generic_category()));
    }
    return fs::path(buffer.data());
}

bool written_by_tool(const fs::path& directory) {
    std::ifstream in(directory / "summary.json");
    if (!in) {
        return false;
    }
    const json summary = json::parse(in, nullptr, false);
    return summary.is_object() && summary.contains("generator") &&
           summary["generator"].is_string() &&
           summary["generator"].get<std::string>() == SUMMARY_GENERATOR;
}

void write_file(const fs::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        throw fs::filesystem_error("cannot write", path, std::make_error_code(std::errc::io_error));
    }
}

void write_text(const fs::path& path, const std::string& text) {
    write_file(path, text.data(), text.size());
}

} // namespace

std::string tile_code_file(std::uint16_t tile) {
    char name[48];
    std::snprintf(name, sizeof name, "tiles/tile-%04u.code", static_cast<unsigned>(tile));
    return name;
}

std::string tile_rows_file(std::uint16_t tile) {
    char name[48];
    std::snprintf(name, sizeof name, "tiles/tile-%04u.rows.json", static_cast<unsigned>(tile));
    return name;
}

json phase_summary(const Description& description, const PhaseResult& phase, const PhaseCheck* check) {
    const PhaseDescription& described = description.phases.at(phase.phase_index);
    json transfers = json::array();
    for (std::size_t i = 0; i < phase.transfers.size(); ++i) {
        const PlacedTransferResult& placed = phase.transfers[i];
        const auto& timing = placed.timing;
        json receivers = json::array();
        for (std::size_t r = 0; r < placed.resolved.receivers.size(); ++r) {
            receivers.push_back({
                {"tile", placed.resolved.receivers[r]},
                {"payload_start", timing.receiver_payload_starts.at(r)},
                {"payload_end", timing.receiver_payload_ends.at(r)},
                {"horizon", timing.receiver_horizons.at(r)},
            });
        }
        json entry = {
            {"name", described.transfers[i].name},
            {"source", placed.resolved.source},
            {"items", placed.resolved.words},
            {"offset", placed.offset},
            {"payload_start", timing.payload_start},
            {"payload_end", timing.payload_end},
            {"sender_horizon", timing.sender_horizon},
            {"horizon", timing.horizon},
            {"receivers", std::move(receivers)},
        };
        if (placed.resolved.reserved_source) {
            entry["reserved_source"] = *placed.resolved.reserved_source;
        }
        transfers.push_back(std::move(entry));
    }
    json tiles = json::array();
    for (const std::uint16_t tile : phase.active_tiles) {
        tiles.push_back({{"tile", tile}, {"horizon", phase.programs.tile_event_cycles.at(tile)},
                         {"program_words", phase.programs.programs.at(tile)->size()}});
    }
    json summary = {
        {"name", described.name},
        {"horizon", phase.programs.event_cycles},
        {"transfers", std::move(transfers)},
        {"tiles", std::move(tiles)},
    };
    if (check != nullptr) {
        summary["verification"] = {
            {"captures_checked", check->verification.captures_checked},
            {"tiles_checked", check->verification.tiles_checked},
            {"violations", check->verification.violation_count},
        };
    }
    return summary;
}

json compilation_summary(const Description& description, const Compilation& compilation,
                         std::string_view description_path) {
    json phases = json::array();
    for (std::size_t i = 0; i < compilation.phases.size(); ++i) {
        const PhaseCheck* check = i < compilation.checks.size() ? &compilation.checks[i] : nullptr;
        phases.push_back(phase_summary(description, compilation.phases[i], check));
    }
    json host = json::array();
    for (std::size_t i = 0; i < compilation.host_transfers.size(); ++i) {
        const HostTransferResult& result = compilation.host_transfers[i];
        const HostTransferDescription& transfer = description.host_transfers[i];
        host.push_back({
            {"name", transfer.name},
            {"tile", transfer.tile},
            {"physical_tile", result.physical_tile},
            {"xreq_tile", result.xreq_tile},
            {"xreq_physical_tile", result.xreq_physical_tile},
            {"combined", result.combined},
            {"packets", result.packets},
            {"packet_words", result.packet_words},
        });
    }
    json tiles = json::array();
    for (const TileArtifacts& tile : compilation.tiles) {
        tiles.push_back({
            {"tile", tile.tile},
            {"physical_tile", tile.physical_tile},
            {"code_bytes", tile.code.size()},
            {"rows", tile.rows.size()},
            {"code_file", tile_code_file(tile.tile)},
            {"rows_file", tile_rows_file(tile.tile)},
        });
    }
    return {
        {"generator", SUMMARY_GENERATOR},
        {"version", version_string},
        {"description", description_path},
        {"topology", description.topology},
        {"code_address", description.options.code_address},
        {"phases", std::move(phases)},
        {"host_transfers", std::move(host)},
        {"tiles", std::move(tiles)},
    };
}

namespace {

void write_directory(const fs::path& requested, const Compilation& compilation, const json& summary) {
    const fs::path directory = fs::absolute(requested).lexically_normal();
    const fs::path target = directory.has_filename() ? directory : directory.parent_path();
    if (fs::exists(target)) {
        if (!fs::is_directory(target)) {
            throw InputError("--out", target.string() + " exists and is not a directory");
        }
        if (!fs::is_empty(target) && !written_by_tool(target)) {
            throw InputError("--out", target.string() +
                                          " is not empty and holds no earlier output of tarnwick; "
                                          "choose another directory");
        }
    }
    fs::create_directories(target.parent_path());

    const fs::path staging = make_sibling_directory(target, "tmp");
    try {
        fs::create_directory(staging / "tiles");
        for (const TileArtifacts& tile : compilation.tiles) {
            write_file(staging / tile_code_file(tile.tile), tile.code.data(), tile.code.size());
            json rows = json::array();
            for (const program::PlacedExchangeRow& row : tile.rows) {
                json words = json::array();
                for (const std::uint32_t word : row.words) {
                    words.push_back(hex_word(word));
                }
                rows.push_back({{"address", hex_word(row.address)}, {"words", std::move(words)}});
            }
            const json document = {
                {"tile", tile.tile},
                {"physical_tile", tile.physical_tile},
                {"rows", std::move(rows)},
            };
            write_text(staging / tile_rows_file(tile.tile), document.dump(1, ' ', false, json::error_handler_t::replace) + '\n');
        }
        // The summary last: its presence marks a complete output.
        write_text(staging / "summary.json", summary.dump(2, ' ', false, json::error_handler_t::replace) + '\n');

        if (fs::exists(target)) {
            const fs::path previous = make_sibling_directory(target, "old");
            fs::rename(target, previous); // replaces the empty placeholder
            try {
                fs::rename(staging, target);
            } catch (...) {
                fs::rename(previous, target);
                throw;
            }
            fs::remove_all(previous);
        } else {
            fs::rename(staging, target);
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

} // namespace

void write_output(const fs::path& requested, const Compilation& compilation, const json& summary) {
    try {
        write_directory(requested, compilation, summary);
    } catch (const fs::filesystem_error& error) {
        // The output could not be written where the user asked: a fault of --out (or of the
        // machine), not of the tool. Everything written so far has been removed.
        throw InputError("--out", std::string("cannot write the output: ") + error.what());
    }
}

} // namespace tarnwick::cli
