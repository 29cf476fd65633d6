#include "timeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <vector>

namespace tarnwick::cli {

namespace {

using json = nlohmann::ordered_json;

enum class SliceKind : std::uint8_t { Send, Receive, Reserved };

struct Slice {
    std::uint16_t tile = 0;
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    SliceKind kind = SliceKind::Send;
    std::size_t transfer = 0;
};

std::string_view kind_name(SliceKind kind) {
    switch (kind) {
    case SliceKind::Send: return "send";
    case SliceKind::Receive: return "receive";
    case SliceKind::Reserved: return "reserved";
    }
    return "";
}

// Every slice of the phase: the sender's payload interval, each receiver's payload window and,
// for a paired sender, its partner's busy interval.
std::vector<Slice> phase_slices(const PhaseResult& phase) {
    std::vector<Slice> slices;
    for (std::size_t i = 0; i < phase.transfers.size(); ++i) {
        const PlacedTransferResult& placed = phase.transfers[i];
        const auto& timing = placed.timing;
        slices.push_back(Slice{placed.resolved.source, timing.payload_start, timing.payload_end,
                               SliceKind::Send, i});
        for (std::size_t r = 0; r < placed.resolved.receivers.size(); ++r) {
            slices.push_back(Slice{placed.resolved.receivers[r], timing.receiver_payload_starts.at(r),
                                   timing.receiver_payload_ends.at(r), SliceKind::Receive, i});
        }
        if (placed.resolved.reserved_source) {
            slices.push_back(Slice{*placed.resolved.reserved_source, placed.offset,
                                   timing.sender_horizon, SliceKind::Reserved, i});
        }
    }
    return slices;
}

std::string tile_label(const Pipeline& pipeline, std::uint16_t tile) {
    return "tile " + std::to_string(tile) + " (physical " +
           std::to_string(pipeline.topology().logical_to_physical.at(tile)) + ")";
}

std::string peers(const PlacedTransferResult& placed) {
    std::string text;
    const auto& receivers = placed.resolved.receivers;
    for (std::size_t r = 0; r < receivers.size() && r < 8; ++r) {
        text += (r == 0 ? "" : ", ") + std::to_string(receivers[r]);
    }
    if (receivers.size() > 8) {
        text += ", ... (" + std::to_string(receivers.size()) + " tiles)";
    }
    return text;
}

std::string escape_xml(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    std::string text = buffer;
    while (text.back() == '0') {
        text.pop_back();
    }
    if (text.back() == '.') {
        text.pop_back();
    }
    return text;
}

// A tick spacing of 1, 2 or 5 times a power of ten giving about `target` ticks.
std::uint32_t tick_step(std::uint32_t horizon, unsigned target) {
    const double raw = std::max(1.0, static_cast<double>(horizon) / target);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= raw) {
            return static_cast<std::uint32_t>(factor * power);
        }
    }
    return static_cast<std::uint32_t>(10.0 * power);
}

} // namespace

json phase_trace(const Pipeline& pipeline, const PhaseResult& phase) {
    const PhaseDescription& described = pipeline.description().phases.at(phase.phase_index);
    json events = json::array();
    events.push_back({{"name", "process_name"}, {"ph", "M"}, {"pid", 1}, {"tid", 0},
                      {"args", {{"name", "phase " + described.name}}}});
    for (const std::uint16_t tile : phase.active_tiles) {
        events.push_back({{"name", "thread_name"}, {"ph", "M"}, {"pid", 1}, {"tid", tile},
                          {"args", {{"name", tile_label(pipeline, tile)}}}});
        events.push_back({{"name", "thread_sort_index"}, {"ph", "M"}, {"pid", 1}, {"tid", tile},
                          {"args", {{"sort_index", tile}}}});
    }
    for (const Slice& slice : phase_slices(phase)) {
        const PlacedTransferResult& placed = phase.transfers[slice.transfer];
        const std::string& name = described.transfers[slice.transfer].name;
        json args = {{"transfer", name},
                     {"offset", placed.offset},
                     {"items", placed.resolved.words},
                     {"source", placed.resolved.source},
                     {"receivers", placed.resolved.receivers},
                     {"start_cycle", slice.start},
                     {"end_cycle", slice.end}};
        events.push_back({{"name", name + " (" + std::string(kind_name(slice.kind)) + ")"},
                          {"cat", kind_name(slice.kind)},
                          {"ph", "X"},
                          {"pid", 1},
                          {"tid", slice.tile},
                          {"ts", slice.start},
                          {"dur", slice.end - slice.start},
                          {"args", std::move(args)}});
    }
    return {
        {"traceEvents", std::move(events)},
        {"displayTimeUnit", "ns"},
        {"otherData",
         {{"generator", "tarnwick"},
          {"phase", described.name},
          {"horizon_cycles", phase.programs.event_cycles},
          {"time_unit", "one trace microsecond is one cycle"}}},
    };
}

std::string phase_svg(const Pipeline& pipeline, const PhaseResult& phase) {
    const PhaseDescription& described = pipeline.description().phases.at(phase.phase_index);
    const std::vector<Slice> slices = phase_slices(phase);
    const std::size_t rows = phase.active_tiles.size();
    std::map<std::uint16_t, std::size_t> row_of;
    for (std::size_t i = 0; i < rows; ++i) {
        row_of[phase.active_tiles[i]] = i;
    }

    const double row_height = rows <= 48 ? 26.0 : rows <= 200 ? 14.0 : 10.0;
    const double font = rows <= 48 ? 11.0 : rows <= 200 ? 9.0 : 8.0;
    const double bar = (row_height - 4) / 2;
    const double name_font = std::min(font - 1, bar - 1);
    const double left = 150.0;
    const double plot_width = 1400.0;
    const double top = 78.0;
    const double width = left + plot_width + 30.0;
    const double height = top + row_height * static_cast<double>(std::max<std::size_t>(rows, 1)) + 40.0;
    const std::uint32_t horizon = std::max<std::uint32_t>(phase.programs.event_cycles, 1);
    const double scale = plot_width / horizon;
    const auto x = [&](std::uint32_t cycle) { return left + cycle * scale; };

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << number(width) << "\" height=\""
        << number(height) << "\" viewBox=\"0 0 " << number(width) << ' ' << number(height)
        << "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n"
        << "<style>.label{font-size:" << number(font) << "px;fill:#333}"
        << ".tick{font-size:10px;fill:#555}.title{font-size:16px;font-weight:bold;fill:#111}"
        << ".note{font-size:11px;fill:#444}.name{font-size:" << number(font - 1)
        << "px;fill:#fff;pointer-events:none}</style>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";

    // Heading and legend.
    svg << "<text class=\"title\" x=\"" << number(left) << "\" y=\"22\">Exchange phase "
        << escape_xml(described.name) << "</text>\n"
        << "<text class=\"note\" x=\"" << number(left) << "\" y=\"40\">" << phase.transfers.size()
        << (phase.transfers.size() == 1 ? " transfer, " : " transfers, ") << rows
        << (rows == 1 ? " active tile, horizon " : " active tiles, horizon ")
        << phase.programs.event_cycles << " cycles</text>\n";
    const std::pair<const char*, const char*> legend[] = {
        {"#2f6db5", "outgoing message"}, {"#e08a1e", "receive window"}, {"#9a9a9a", "pair partner busy"}};
    double legend_x = left + plot_width - 420.0;
    for (const auto& [colour, text] : legend) {
        svg << "<rect x=\"" << number(legend_x) << "\" y=\"30\" width=\"14\" height=\"10\" fill=\""
            << colour << "\"/><text class=\"note\" x=\"" << number(legend_x + 19) << "\" y=\"39\">"
            << text << "</text>\n";
        legend_x += 140.0;
    }

    // Rows, grid and axis.
    for (std::size_t i = 0; i < rows; ++i) {
        const double y = top + row_height * static_cast<double>(i);
        if (i % 2 == 1) {
            svg << "<rect x=\"" << number(left) << "\" y=\"" << number(y) << "\" width=\""
                << number(plot_width) << "\" height=\"" << number(row_height)
                << "\" fill=\"#f3f5f8\"/>\n";
        }
        svg << "<text class=\"label\" x=\"" << number(left - 6) << "\" y=\""
            << number(y + row_height / 2 + font / 3) << "\" text-anchor=\"end\">"
            << escape_xml(tile_label(pipeline, phase.active_tiles[i])) << "</text>\n";
    }
    const double bottom = top + row_height * static_cast<double>(rows);
    const std::uint32_t step = tick_step(horizon, 14);
    for (std::uint64_t cycle = 0; cycle <= horizon; cycle += step) {
        const double tx = x(static_cast<std::uint32_t>(cycle));
        svg << "<line x1=\"" << number(tx) << "\" y1=\"" << number(top - 4) << "\" x2=\""
            << number(tx) << "\" y2=\"" << number(bottom) << "\" stroke=\"#d5d9e0\"/>\n"
            << "<text class=\"tick\" x=\"" << number(tx) << "\" y=\"" << number(top - 8)
            << "\" text-anchor=\"middle\">" << cycle << "</text>\n"
            << "<text class=\"tick\" x=\"" << number(tx) << "\" y=\"" << number(bottom + 14)
            << "\" text-anchor=\"middle\">" << cycle << "</text>\n";
    }
    svg << "<text class=\"note\" x=\"" << number(left + plot_width) << "\" y=\""
        << number(bottom + 30) << "\" text-anchor=\"end\">cycles</text>\n";
    svg << "<line x1=\"" << number(x(phase.programs.event_cycles)) << "\" y1=\"" << number(top - 4)
        << "\" x2=\"" << number(x(phase.programs.event_cycles)) << "\" y2=\"" << number(bottom)
        << "\" stroke=\"#c0392b\" stroke-dasharray=\"4 3\"/>\n";

    // Slices: messages in the upper half of a row, receive windows in the lower half.
    for (const Slice& slice : slices) {
        const auto found = row_of.find(slice.tile);
        if (found == row_of.end()) {
            continue;
        }
        const double y = top + row_height * static_cast<double>(found->second);
        const double by = slice.kind == SliceKind::Receive ? y + 2 + bar : y + 2;
        const double bx = x(slice.start);
        const double bw = std::max(1.0, (slice.end - slice.start) * scale);
        const char* colour = slice.kind == SliceKind::Send      ? "#2f6db5"
                             : slice.kind == SliceKind::Receive ? "#e08a1e"
                                                                : "#9a9a9a";
        const PlacedTransferResult& placed = phase.transfers[slice.transfer];
        const std::string& name = described.transfers[slice.transfer].name;
        svg << "<rect x=\"" << number(bx) << "\" y=\"" << number(by) << "\" width=\"" << number(bw)
            << "\" height=\"" << number(bar) << "\" fill=\"" << colour
            << "\" stroke=\"#ffffff\" stroke-width=\"0.8\"><title>"
            << escape_xml(name) << ": " << kind_name(slice.kind) << " cycles " << slice.start
            << " to " << slice.end << ", " << placed.resolved.words << " items from tile "
            << placed.resolved.source << " to " << escape_xml(peers(placed)) << "</title></rect>\n";
        if (bw > static_cast<double>(name.size()) * name_font * 0.62 + 6 && name_font >= 7) {
            svg << "<text class=\"name\" x=\"" << number(bx + 3) << "\" y=\""
                << number(by + bar / 2 + name_font * 0.36) << "\">" << escape_xml(name) << "</text>\n";
        }
    }
    svg << "</svg>\n";
    return svg.str();
}

} // namespace tarnwick::cli
