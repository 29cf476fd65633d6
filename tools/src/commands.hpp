#pragma once

// The subcommands of the `tarnwick` tool. Each returns the process exit status: 0 on success,
// 2 for a fault of the input (one line on the error stream naming its place), 1 for an internal
// failure or a phase that fails its independent check.

#include "pipeline.hpp"

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::cli {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_INTERNAL = 1;
inline constexpr int EXIT_BAD_INPUT = 2;

struct CompileCommand {
    std::filesystem::path description;
    std::filesystem::path out;
    bool verify = true;
};

struct ScheduleCommand {
    std::filesystem::path description;
    std::string phase;
    bool listing = false;
    std::optional<std::string> tiles;
    std::optional<std::filesystem::path> trace;
    std::optional<std::filesystem::path> svg;
};

struct DisasmCommand {
    std::vector<std::string> words;
    std::optional<std::filesystem::path> file;
    std::optional<std::string> base;
};

struct RouteCommand {
    std::string source;
    std::string destination;
};

struct VerifyCommand {
    std::filesystem::path description;
    std::optional<std::string> phase;
};

// Prints the first violations of every check that failed; returns whether all held.
[[nodiscard]] bool report_check_failures(const Description& description,
                                         std::span<const PhaseCheck> checks, std::ostream& err);

[[nodiscard]] int run_compile(const CompileCommand& command, std::ostream& out, std::ostream& err);
[[nodiscard]] int run_schedule(const ScheduleCommand& command, std::ostream& out, std::ostream& err);
[[nodiscard]] int run_disasm(const DisasmCommand& command, std::ostream& out, std::ostream& err);
[[nodiscard]] int run_route(const RouteCommand& command, std::ostream& out, std::ostream& err);
[[nodiscard]] int run_verify(const VerifyCommand& command, std::ostream& out, std::ostream& err);

} // namespace tarnwick::cli
