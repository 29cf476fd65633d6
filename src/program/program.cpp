#include "tarnwick/program.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>
#include <sstream>

namespace tarnwick::program {

namespace {

template <class T>
std::string format(const T& value) {
    std::ostringstream out;
    out << value;
    return std::move(out).str();
}

} // namespace

std::string_view TileAddress::name() const noexcept {
    return is<Absolute>() ? "Absolute" : "RepeatPointer";
}

std::string_view TileStep::name() const noexcept {
    switch (index()) {
    case 0:
        return "Exchange";
    case 1:
        return "Compute";
    case 2:
        return "Repeat";
    default:
        return "Checkpoint";
    }
}

std::ostream& operator<<(std::ostream& out, const StepProfile& value) {
    debug::Struct(out, "StepProfile")
        .field("before", value.before)
        .field("after", value.after)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const PlacedExchangeRow& value) {
    debug::Struct(out, "PlacedExchangeRow")
        .field("address", value.address)
        .field("words", value.words)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const ExchangePatch& value) {
    debug::Struct(out, "ExchangePatch")
        .field("word_offset", value.word_offset)
        .field("values", value.values)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const ExchangeSetupPatch& value) {
    debug::Struct(out, "ExchangeSetupPatch")
        .field("offsets", value.offsets)
        .field("values", value.values)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const ExchangeStep& value) {
    debug::Struct(out, "ExchangeStep")
        .field("active", value.active)
        .field("incoming_base", value.incoming_base)
        .field("preserve_base_registers", value.preserve_base_registers)
        .field("incoming_mux", value.incoming_mux)
        .field("incoming_format", value.incoming_format)
        .field("incoming_mux_pair", value.incoming_mux_pair)
        .field("incoming_dcount", value.incoming_dcount)
        .field("sync_in_program", value.sync_in_program)
        .field("program", value.program)
        .field("setup_patch", value.setup_patch)
        .field("repeat_patches", value.repeat_patches)
        .field("profile", value.profile)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const TileAddress& value) {
    if (const auto* absolute = value.get_if<TileAddress::Absolute>()) {
        debug::tuple(out, "Absolute", absolute->address);
    } else if (const auto* pointer = value.get_if<TileAddress::RepeatPointer>()) {
        debug::Struct(out, "RepeatPointer")
            .field("index", pointer->index)
            .field("offset", pointer->offset)
            .finish();
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const ComputeStep& value) {
    debug::Struct(out, "ComputeStep")
        .field("symbol", value.symbol)
        .field("output_address", value.output_address)
        .field("input_addresses", value.input_addresses)
        .field("arguments", value.arguments)
        .field("profile", value.profile)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const RepeatPointer& value) {
    debug::Struct(out, "RepeatPointer")
        .field("initial_address", value.initial_address)
        .field("stride_bytes", value.stride_bytes)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const RepeatStep& value) {
    debug::Struct(out, "RepeatStep")
        .field("count", value.count)
        .field("iterated_pointers", value.iterated_pointers)
        .field("body", value.body)
        .field("profile", value.profile)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const CheckpointStep& value) {
    debug::Struct(out, "CheckpointStep")
        .field("operation", value.operation)
        .field("breakpoint", value.breakpoint)
        .field("profile", value.profile)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const TileStep& value) {
    const std::string_view name = value.name();
    std::visit([&](const auto& step) { debug::tuple(out, name, step); }, value.value());
    return out;
}

std::ostream& operator<<(std::ostream& out, const TileProgram& value) {
    debug::Struct(out, "TileProgram")
        .field("tile", value.tile)
        .field("steps", value.steps)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const HostPhase& value) {
    debug::Struct(out, "HostPhase")
        .field("address", value.address)
        .field("active", value.active)
        .field("run_table", value.run_table)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const HostProgram& value) {
    debug::Struct(out, "HostProgram")
        .field("initialize", value.initialize)
        .field("inputs", value.inputs)
        .field("outputs", value.outputs)
        .finish();
    return out;
}

std::string to_string(const StepProfile& value) {
    return format(value);
}
std::string to_string(const PlacedExchangeRow& value) {
    return format(value);
}
std::string to_string(const ExchangePatch& value) {
    return format(value);
}
std::string to_string(const ExchangeSetupPatch& value) {
    return format(value);
}
std::string to_string(const ExchangeStep& value) {
    return format(value);
}
std::string to_string(const TileAddress& value) {
    return format(value);
}
std::string to_string(const ComputeStep& value) {
    return format(value);
}
std::string to_string(const RepeatPointer& value) {
    return format(value);
}
std::string to_string(const RepeatStep& value) {
    return format(value);
}
std::string to_string(const CheckpointStep& value) {
    return format(value);
}
std::string to_string(const TileStep& value) {
    return format(value);
}
std::string to_string(const TileProgram& value) {
    return format(value);
}
std::string to_string(const HostPhase& value) {
    return format(value);
}
std::string to_string(const HostProgram& value) {
    return format(value);
}

} // namespace tarnwick::program
