#include "listing.hpp"

#include "json_reader.hpp"

#include "tarnwick/instruction.hpp"

#include <cstdio>
#include <sstream>

namespace tarnwick::cli {

namespace {

namespace parse = exchange::parse;

std::string format(const char* pattern, auto... values) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, pattern, values...);
    return buffer;
}

std::string describe_control(const parse::IncomingControl& control) {
    if (control.stream == parse::IncomingControlStream::Xpic) {
        const std::uint32_t selection = control.value & 0x1FFFu;
        std::string text = format("xpic 0x%04x", control.value);
        if (selection == instruction::TILE_MUX_EXCHANGE) {
            text += " (neutral";
        } else {
            text += format(" (select physical tile %u", selection);
        }
        text += (control.value & 0x2000u) != 0 ? ", paired)" : ")";
        return text;
    }
    const std::uint32_t operand = control.value & 0x3FFFFu;
    if ((control.value & 0x40000u) != 0) {
        return format("pic format %u", operand);
    }
    return format("pic pointer 0x%05x (byte 0x%05x)", operand, operand * 4u);
}

std::string sync_name(std::uint8_t zone) {
    switch (zone) {
    case 3: return " (exchange)";
    case 7: return " (all)";
    case 15: return " (host)";
    default: return "";
    }
}

} // namespace

std::string describe_operation(const parse::PlanOperation& operation) {
    if (operation.is<parse::PlanOperation::Delay>()) {
        return "delay";
    }
    if (const auto* control = operation.get_if<parse::PlanOperation::IncomingControl>()) {
        return "delay, then " + describe_control(control->control);
    }
    if (const auto* send = operation.get_if<parse::PlanOperation::Send>()) {
        std::string text;
        switch (send->encoding) {
        case parse::SendEncoding::Explicit:
            text = format("send %u words from 0x%05x", send->words, send->raw_operand * 4u);
            break;
        case parse::SendEncoding::Offset:
            text = format("send-off %u words, offset %u", send->words, send->raw_operand);
            break;
        case parse::SendEncoding::Pic: text = format("sendpic %u words", send->words); break;
        case parse::SendEncoding::PicPair:
            text = format("sendpicp %u words from 0x%05x", send->words, send->raw_operand * 4u);
            break;
        }
        if (send->send_control) {
            text += format(", direction %u", static_cast<unsigned>(*send->send_control));
        }
        for (const parse::IncomingControl& control : send->controls) {
            text += "; " + describe_control(control);
        }
        return text;
    }
    if (const auto* sync = operation.get_if<parse::PlanOperation::Sync>()) {
        return format("sync zone %u", static_cast<unsigned>(sync->zone)) + sync_name(sync->zone);
    }
    if (operation.is<parse::PlanOperation::Return>()) {
        return "return";
    }
    if (const auto* unknown = operation.get_if<parse::PlanOperation::Unknown>()) {
        return format("unknown word 0x%08x", unknown->word);
    }
    return "?";
}

Result<std::string> format_listing(std::span<const std::uint32_t> words,
                                   std::optional<std::uint32_t> base_address,
                                   std::string_view indent) {
    const auto diagnostic = parse::diagnose_plan_program(words, base_address);
    if (!diagnostic) {
        return std::unexpected(diagnostic.error());
    }
    std::ostringstream out;
    out << indent
        << format("%-10s  %-17s  %-15s  %s\n", base_address ? "address" : "offset", "words",
                  "cycles", "operation");
    for (const parse::DecodedPlanInstruction& instruction : diagnostic->instructions) {
        const std::string location = instruction.address ? format("0x%08x", *instruction.address)
                                                         : format("+%u", instruction.word_offset);
        const bool pair = instruction.operation.is<parse::PlanOperation::Send>() &&
                          instruction.operation.get_if<parse::PlanOperation::Send>()->encoding ==
                              parse::SendEncoding::PicPair;
        std::string hex_words = format("%08x", words[instruction.word_offset]);
        if (pair) {
            hex_words += format(" %08x", words[instruction.word_offset + 1]);
        }
        const std::string cycles = format("[%u, %u)", instruction.start_cycle, instruction.end_cycle);
        out << indent
            << format("%-10s  %-17s  %-15s  ", location.c_str(), hex_words.c_str(), cycles.c_str())
            << describe_operation(instruction.operation) << '\n';
    }
    out << indent
        << format("%u words, %u cycles\n", diagnostic->row_words, diagnostic->event_cycles);
    return out.str();
}

std::vector<std::uint32_t> parse_hex_words(std::string_view text, std::string_view origin) {
    std::vector<std::uint32_t> words;
    std::size_t line = 1;
    std::size_t i = 0;
    const auto is_separator = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',';
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
        }
        if (is_separator(c)) {
            ++i;
            continue;
        }
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') {
                ++i;
            }
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !is_separator(text[end]) && text[end] != '#') {
            ++end;
        }
        std::string_view token = text.substr(i, end - i);
        std::string_view digits = token;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            digits.remove_prefix(2);
        }
        std::uint32_t value = 0;
        bool valid = !digits.empty() && digits.size() <= 8;
        for (const char d : digits) {
            const int nibble = d >= '0' && d <= '9'   ? d - '0'
                               : d >= 'a' && d <= 'f' ? d - 'a' + 10
                               : d >= 'A' && d <= 'F' ? d - 'A' + 10
                                                      : -1;
            if (nibble < 0) {
                valid = false;
                break;
            }
            value = (value << 4) | static_cast<std::uint32_t>(nibble);
        }
        if (!valid) {
            const std::string place = std::string(origin) + (origin.empty() ? "" : ", ") + "line " +
                                      std::to_string(line);
            throw InputError(place, "cannot read \"" + std::string(token) +
                                        "\" as a 32-bit hexadecimal word");
        }
        words.push_back(value);
        i = end;
    }
    return words;
}

} // namespace tarnwick::cli
