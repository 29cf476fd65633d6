#include "tarnwick/exchange/parse/decoder.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>

namespace tarnwick::exchange::parse {

std::string_view name(IncomingControlStream stream) noexcept {
    switch (stream) {
    case IncomingControlStream::Pic: return "Pic";
    case IncomingControlStream::Xpic: return "Xpic";
    }
    return "IncomingControlStream(?)";
}

std::ostream& operator<<(std::ostream& out, IncomingControlStream stream) {
    return out << name(stream);
}

std::ostream& operator<<(std::ostream& out, const IncomingControl& control) {
    debug::Struct(out, "IncomingControl")
        .field("stream", control.stream)
        .field("value", control.value)
        .finish();
    return out;
}

std::string to_string(const IncomingControl& control) { return debug::to_string(control); }

std::string_view name(SendEncoding encoding) noexcept {
    switch (encoding) {
    case SendEncoding::Explicit: return "Explicit";
    case SendEncoding::Offset: return "Offset";
    case SendEncoding::Pic: return "Pic";
    case SendEncoding::PicPair: return "PicPair";
    }
    return "SendEncoding(?)";
}

std::ostream& operator<<(std::ostream& out, SendEncoding encoding) {
    return out << name(encoding);
}

namespace {

struct NameOf {
    std::string_view operator()(const PlanOperation::Delay&) const { return "Delay"; }
    std::string_view operator()(const PlanOperation::IncomingControl&) const {
        return "IncomingControl";
    }
    std::string_view operator()(const PlanOperation::Send&) const { return "Send"; }
    std::string_view operator()(const PlanOperation::Sync&) const { return "Sync"; }
    std::string_view operator()(const PlanOperation::Return&) const { return "Return"; }
    std::string_view operator()(const PlanOperation::Unknown&) const { return "Unknown"; }
};

} // namespace

std::string_view PlanOperation::name() const noexcept { return std::visit(NameOf{}, value_); }

std::ostream& operator<<(std::ostream& out, const PlanOperation::Delay&) { return out << "Delay"; }

// The control-setting delay prints as the control it sets, under the operation's name.
std::ostream& operator<<(std::ostream& out, const PlanOperation::IncomingControl& operation) {
    return out << operation.control;
}

std::ostream& operator<<(std::ostream& out, const PlanOperation::Send& operation) {
    debug::Struct(out, "Send")
        .field("encoding", operation.encoding)
        .field("words", operation.words)
        .field("raw_operand", operation.raw_operand)
        .field("send_control", operation.send_control)
        .field("controls", operation.controls)
        .finish();
    return out;
}

std::ostream& operator<<(std::ostream& out, const PlanOperation::Sync& operation) {
    debug::tuple(out, "Sync", operation.zone);
    return out;
}

std::ostream& operator<<(std::ostream& out, const PlanOperation::Return&) {
    return out << "Return";
}

std::ostream& operator<<(std::ostream& out, const PlanOperation::Unknown& operation) {
    debug::tuple(out, "Unknown", operation.word);
    return out;
}

std::ostream& operator<<(std::ostream& out, const PlanOperation& operation) {
    std::visit([&out](const auto& alternative) { out << alternative; }, operation.value());
    return out;
}

std::string to_string(const PlanOperation& operation) { return debug::to_string(operation); }

std::ostream& operator<<(std::ostream& out, const DecodedPlanInstruction& instruction) {
    debug::Struct(out, "DecodedPlanInstruction")
        .field("word_offset", instruction.word_offset)
        .field("address", instruction.address)
        .field("start_cycle", instruction.start_cycle)
        .field("end_cycle", instruction.end_cycle)
        .field("operation", instruction.operation)
        .finish();
    return out;
}

std::string to_string(const DecodedPlanInstruction& instruction) {
    return debug::to_string(instruction);
}

std::ostream& operator<<(std::ostream& out, const PlanProgramDiagnostic& diagnostic) {
    debug::Struct(out, "PlanProgramDiagnostic")
        .field("instructions", diagnostic.instructions)
        .field("event_cycles", diagnostic.event_cycles)
        .field("row_words", diagnostic.row_words)
        .finish();
    return out;
}

std::string to_string(const PlanProgramDiagnostic& diagnostic) {
    return debug::to_string(diagnostic);
}

} // namespace tarnwick::exchange::parse
