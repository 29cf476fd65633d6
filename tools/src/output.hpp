#pragma once

// What `tarnwick compile` writes: per tile the code bytes and the exchange rows, and a
// summary.json of the phases, host transfers and tiles. The directory appears only complete: it
// is written under a temporary name beside its place and renamed into place at the end.

#include "pipeline.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <string_view>

namespace tarnwick::cli {

// The value that marks a summary.json as written by this tool.
inline constexpr std::string_view SUMMARY_GENERATOR = "tarnwick";

// The summary of one phase: its horizon, each transfer's offset and payload windows, each active
// tile's horizon and, when given, the result of its check.
[[nodiscard]] nlohmann::ordered_json phase_summary(const Description& description, const PhaseResult& phase,
                                           const PhaseCheck* check);

// The whole summary.json.
[[nodiscard]] nlohmann::ordered_json compilation_summary(const Description& description,
                                                 const Compilation& compilation,
                                                 std::string_view description_path);

// The file names of a tile's artefacts, relative to the output directory.
[[nodiscard]] std::string tile_code_file(std::uint16_t tile);
[[nodiscard]] std::string tile_rows_file(std::uint16_t tile);

// Writes the artefacts into `directory`. An existing directory is replaced only when it is empty
// or holds an earlier output of this tool; otherwise that is an InputError at "--out". Nothing
// is left behind on failure.
void write_output(const std::filesystem::path& directory, const Compilation& compilation,
                  const nlohmann::ordered_json& summary);

} // namespace tarnwick::cli
