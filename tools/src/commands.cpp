#include "commands.hpp"

#include "description.hpp"
#include "json_reader.hpp"
#include "listing.hpp"
#include "output.hpp"
#include "pipeline.hpp"
#include "timeline.hpp"

#include "tarnwick/topology.hpp"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <ostream>
#include <sstream>

namespace tarnwick::cli {

namespace {

namespace fs = std::filesystem;

// Text that is not valid UTF-8 (a file name, say) is written with replacement characters.
constexpr auto json_replace = nlohmann::ordered_json::error_handler_t::replace;

// Runs a command body and turns what escapes it into a message and an exit status.
template <class Body>
int guarded(std::ostream& err, const std::string& origin, Body&& body) {
    try {
        return body();
    } catch (const InputError& error) {
        const bool option = error.place().starts_with("--");
        err << "error: " << (origin.empty() || option ? "" : origin + ": ") << error.what() << '\n';
        return EXIT_BAD_INPUT;
    } catch (const std::bad_alloc&) {
        err << "internal error: out of memory\n";
    } catch (const std::exception& error) {
        err << "internal error: " << error.what() << '\n';
    } catch (...) {
        err << "internal error: unknown failure\n";
    }
    return EXIT_INTERNAL;
}

std::string count(std::size_t n, std::string_view noun) {
    return std::to_string(n) + ' ' + std::string(noun) + (n == 1 ? "" : "s");
}

std::string in_quotes(std::string_view text) { return '"' + std::string(text) + '"'; }

std::string format(const char* pattern, auto... values) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, values...);
    return buffer;
}

std::size_t find_phase(const Description& description, const std::string& name) {
    if (const auto index = description.find_phase(name)) {
        return *index;
    }
    std::string known;
    for (const PhaseDescription& phase : description.phases) {
        known += (known.empty() ? "" : ", ") + in_quotes(phase.name);
    }
    throw InputError("--phase", "unknown phase " + in_quotes(name) +
                                    (known.empty() ? " (the description has no phases)"
                                                   : " (described: " + known + ")"));
}

// Writes a file the user named with `option`; failing to is a fault of that option.
void write_text_file(const fs::path& path, const std::string& text, std::string_view option) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        throw InputError(std::string(option), "cannot write " + path.string());
    }
}

std::string list_tiles(const std::vector<std::uint16_t>& tiles, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < tiles.size() && i < limit; ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(tiles[i]);
    }
    if (tiles.size() > limit) {
        text += ",... (" + std::to_string(tiles.size()) + ")";
    }
    return text;
}

void print_schedule_table(const Pipeline& pipeline, const PhaseResult& phase, std::ostream& out) {
    const PhaseDescription& described = pipeline.description().phases[phase.phase_index];
    out << "phase " << in_quotes(described.name) << ": " << count(phase.transfers.size(), "transfer")
        << ", " << count(phase.active_tiles.size(), "active tile") << ", horizon " << phase.programs.event_cycles
        << " cycles\n\n";
    out << format("%-16s %6s  %-20s %6s %7s  %-16s %8s\n", "transfer", "source", "receivers",
                  "items", "offset", "payload", "horizon");
    for (std::size_t i = 0; i < phase.transfers.size(); ++i) {
        const PlacedTransferResult& placed = phase.transfers[i];
        const std::string window =
            format("[%u, %u)", placed.timing.payload_start, placed.timing.payload_end);
        out << format("%-16s %6u  %-20s %6u %7u  %-16s %8u\n", described.transfers[i].name.c_str(),
                      static_cast<unsigned>(placed.resolved.source),
                      list_tiles(placed.resolved.receivers, 4).c_str(), placed.resolved.words,
                      placed.offset, window.c_str(), placed.timing.horizon);
    }
    out << '\n' << format("%6s %9s %8s %6s\n", "tile", "physical", "horizon", "words");
    for (const std::uint16_t tile : phase.active_tiles) {
        out << format("%6u %9u %8u %6zu\n", static_cast<unsigned>(tile),
                      static_cast<unsigned>(pipeline.topology().logical_to_physical[tile]),
                      phase.programs.tile_event_cycles[tile], phase.programs.programs[tile]->size());
    }
}

std::uint32_t parse_number(const std::string& text, const std::string& place, std::uint64_t maximum) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() || value > maximum) {
        throw InputError(place, "cannot read " + in_quotes(text) + " as a number from 0 to " +
                                    std::to_string(maximum));
    }
    return static_cast<std::uint32_t>(value);
}

} // namespace

bool report_check_failures(const Description& description, std::span<const PhaseCheck> checks,
                           std::ostream& err) {
    bool holds = true;
    for (const PhaseCheck& check : checks) {
        const auto& verification = check.verification;
        if (verification.holds()) {
            continue;
        }
        holds = false;
        err << "error: phase " << in_quotes(description.phases.at(check.phase_index).name)
            << " fails its independent check with " << count(verification.violation_count, "violation")
            << " (a fault of the library, not of the input); the first ones:\n";
        const std::size_t shown = std::min<std::size_t>(verification.violations.size(), 10);
        for (std::size_t i = 0; i < shown; ++i) {
            err << "  " << exchange::describe(verification.violations[i]) << '\n';
        }
        if (verification.violation_count > shown) {
            err << "  ... and " << verification.violation_count - shown << " more\n";
        }
    }
    return holds;
}

int run_compile(const CompileCommand& command, std::ostream& out, std::ostream& err) {
    return guarded(err, command.description.string(), [&] {
        const Description description = read_description(command.description);
        const Pipeline pipeline(description);
        const Compilation compilation = pipeline.compile(command.verify);
        if (!report_check_failures(description, compilation.checks, err)) {
            return EXIT_INTERNAL;
        }
        write_output(command.out, compilation,
                     compilation_summary(description, compilation, command.description.string()));

        out << "compiled " << command.description.string() << " into " << command.out.string() << '\n';
        for (std::size_t i = 0; i < compilation.phases.size(); ++i) {
            const PhaseResult& phase = compilation.phases[i];
            out << "  phase " << in_quotes(description.phases[i].name) << ": "
                << count(phase.transfers.size(), "transfer") << ", "
                << count(phase.active_tiles.size(), "active tile") << ", horizon " << phase.programs.event_cycles << " cycles";
            if (i < compilation.checks.size()) {
                const auto& verification = compilation.checks[i].verification;
                out << ", verified (" << verification.captures_checked << " captures on "
                    << verification.tiles_checked << " tiles)";
            }
            out << '\n';
        }
        for (std::size_t i = 0; i < compilation.host_transfers.size(); ++i) {
            const HostTransferResult& host = compilation.host_transfers[i];
            const HostTransferDescription& described = description.host_transfers[i];
            out << "  host transfer " << in_quotes(described.name) << ": "
                << (described.direction == HostDirection::HostToTile ? "host to tile " : "tile ")
                << described.tile
                << (described.direction == HostDirection::HostToTile ? "" : " to host") << ", "
                << described.bytes << " bytes in " << count(host.packets, "packet")
                << (described.direction == HostDirection::TileToHost ? " and the closing packet, "
                                                                     : ", ")
                << (host.combined ? "request issued by the tile itself"
                                  : "request issued by tile " + std::to_string(host.xreq_tile))
                << '\n';
        }
        std::size_t code_bytes = 0;
        std::size_t rows = 0;
        for (const TileArtifacts& tile : compilation.tiles) {
            code_bytes += tile.code.size();
            rows += tile.rows.size();
        }
        out << "  " << count(compilation.tiles.size(), "tile") << ": " << code_bytes << " bytes of code, "
            << rows << " exchange rows\n";
        if (!command.verify) {
            out << "  (phases not verified: --no-verify)\n";
        }
        return EXIT_OK;
    });
}

int run_schedule(const ScheduleCommand& command, std::ostream& out, std::ostream& err) {
    return guarded(err, command.description.string(), [&] {
        const Description description = read_description(command.description);
        const Pipeline pipeline(description);
        const std::size_t index = find_phase(description, command.phase);
        std::vector<std::uint16_t> listed;
        if (command.tiles) {
            listed = parse_tile_list(*command.tiles, description.tile_count);
        }
        const PhaseResult phase = pipeline.build_phase(index);
        print_schedule_table(pipeline, phase, out);

        if (command.listing) {
            if (!command.tiles) {
                listed = phase.active_tiles;
            }
            for (const std::uint16_t tile : listed) {
                const auto& program = phase.programs.programs[tile];
                out << "\ntile " << tile << " (physical "
                    << pipeline.topology().logical_to_physical[tile] << ")";
                if (!program) {
                    out << ": idle in this phase\n";
                    continue;
                }
                const PhaseBinding* binding = pipeline.binding(index, tile);
                std::optional<std::uint32_t> base;
                if (binding != nullptr) {
                    base = binding->program_address;
                    out << ", program at " << hex(*base, 5);
                }
                out << ", horizon " << phase.programs.tile_event_cycles[tile] << " cycles\n";
                const auto listing = format_listing(*program, base, "  ");
                if (!listing) {
                    throw std::runtime_error("the program of tile " + std::to_string(tile) +
                                             " does not decode: " + to_string(listing.error()));
                }
                out << *listing;
            }
        }
        if (command.trace) {
            write_text_file(*command.trace,
                            phase_trace(pipeline, phase).dump(1, ' ', false, json_replace) + '\n',
                            "--trace");
            out << "\nwrote the trace to " << command.trace->string() << '\n';
        }
        if (command.svg) {
            write_text_file(*command.svg, phase_svg(pipeline, phase), "--svg");
            out << (command.trace ? "" : "\n") << "wrote the timeline to " << command.svg->string()
                << '\n';
        }
        return EXIT_OK;
    });
}

int run_disasm(const DisasmCommand& command, std::ostream& out, std::ostream& err) {
    return guarded(err, "", [&] {
        std::vector<std::uint32_t> words;
        if (command.file) {
            std::ifstream in(*command.file, std::ios::binary);
            if (!in) {
                throw InputError(command.file->string(), "cannot open the file");
            }
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            words = parse_hex_words(text, command.file->string());
        }
        for (std::size_t i = 0; i < command.words.size(); ++i) {
            try {
                const auto parsed = parse_hex_words(command.words[i], "");
                words.insert(words.end(), parsed.begin(), parsed.end());
            } catch (const InputError& error) {
                throw InputError("word argument " + std::to_string(i + 1), error.message());
            }
        }
        if (words.empty()) {
            throw InputError("", "no words to decode: give hexadecimal words or --file");
        }
        std::optional<std::uint32_t> base;
        if (command.base) {
            base = parse_number(*command.base, "--base", 0xFFFF'FFFFull);
            if (*base % 4 != 0) {
                throw InputError("--base", "the base address " + hex(*base) + " is not a multiple of 4");
            }
        }
        const auto listing = format_listing(words, base);
        if (!listing) {
            throw InputError("", "the decoder rejects the words: " + to_string(listing.error()));
        }
        out << *listing;
        return EXIT_OK;
    });
}

int run_route(const RouteCommand& command, std::ostream& out, std::ostream& err) {
    return guarded(err, "", [&] {
        const topology::Topology topology = topology::Topology::v600();
        const auto last = topology.tile_count() - 1;
        const auto source = static_cast<std::uint16_t>(parse_number(command.source, "SRC", last));
        const auto destination =
            static_cast<std::uint16_t>(parse_number(command.destination, "DST", last));
        const std::uint16_t sp = topology.logical_to_physical[source];
        const std::uint16_t dp = topology.logical_to_physical[destination];
        const auto describe = [](std::uint16_t physical) {
            return format("physical %4u (row %2u, column group %2u, lane bits %u)",
                          static_cast<unsigned>(physical), static_cast<unsigned>(physical >> 6),
                          static_cast<unsigned>((physical >> 2) & 0xFu),
                          static_cast<unsigned>(physical & 3u));
        };
        const std::int32_t displacement = topology::route_displacement(sp, dp);
        const std::int32_t mux = topology::time_to_mux(sp, dp);
        out << format("source       tile %4u  ", static_cast<unsigned>(source)) << describe(sp) << '\n'
            << format("destination  tile %4u  ", static_cast<unsigned>(destination)) << describe(dp)
            << '\n'
            << format("displacement %d, direction %u\n", displacement, topology::direction(sp, dp))
            << format("time to mux  %d cycles (a word issued %d cycles after the sender's sync "
                      "reaches the multiplexer at cycle 112)\n",
                      mux, 112 - mux)
            << format("pair arrival %d cycles (time by which both tiles of the destination's pair "
                      "have it)\n",
                      topology::paired_time_to_mux(sp, dp));
        if ((sp ^ 2u) == dp) {
            out << "the two tiles form a pair\n";
        }
        if (source == destination) {
            out << "note: source and destination are the same tile; no transfer can join them\n";
        }
        return EXIT_OK;
    });
}

int run_verify(const VerifyCommand& command, std::ostream& out, std::ostream& err) {
    return guarded(err, command.description.string(), [&] {
        const Description description = read_description(command.description);
        const Pipeline pipeline(description);
        std::vector<std::size_t> phases;
        if (command.phase) {
            phases.push_back(find_phase(description, *command.phase));
        } else {
            for (std::size_t i = 0; i < description.phases.size(); ++i) {
                phases.push_back(i);
            }
        }
        bool holds = true;
        for (const std::size_t index : phases) {
            const PhaseResult phase = pipeline.build_phase(index);
            const PhaseCheck check = pipeline.verify(phase);
            out << "phase " << in_quotes(description.phases[index].name) << ": "
                << count(phase.transfers.size(), "transfer") << ", horizon " << phase.programs.event_cycles
                << " cycles\n"
                << "  " << exchange::describe(check.verification) << '\n';
            for (const auto& violation : check.verification.violations) {
                out << "  " << exchange::describe(violation) << '\n';
            }
            if (check.verification.violation_count > check.verification.violations.size()) {
                out << "  ... and "
                    << check.verification.violation_count - check.verification.violations.size()
                    << " more\n";
            }
            holds = holds && check.verification.holds();
        }
        return holds ? EXIT_OK : EXIT_INTERNAL;
    });
}

} // namespace tarnwick::cli
