#pragma once

// Timelines of one finished phase: a Chrome Trace Event Format file (opens in Perfetto UI) and a
// self-contained static SVG. Both show one track per active tile and one slice per outgoing
// message and per receive window, named by transfer; one cycle is one time unit.

#include "pipeline.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace tarnwick::cli {

// The phase as a trace: metadata events naming the process (the phase) and one thread per
// active tile, and complete ("X") events for the slices, with ts and dur in cycles.
[[nodiscard]] nlohmann::ordered_json phase_trace(const Pipeline& pipeline, const PhaseResult& phase);

// The phase as an SVG document: tiles as rows, cycles across.
[[nodiscard]] std::string phase_svg(const Pipeline& pipeline, const PhaseResult& phase);

} // namespace tarnwick::cli
