// Lists the sender row and the receiver row of one point-to-point transfer on the V600.
//
// Usage: transfer_listing [SENDER [RECEIVER [COUNT]]]
//   SENDER, RECEIVER  logical tile numbers, 0..1471 (defaults 0 and 53)
//   COUNT             number of 32-bit words, 1..4148 (default 16)
//
// Exit status: 0 on success, 2 on bad arguments.

#include "tarnwick/error.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/exchange/point_to_point.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/topology.hpp"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace {

using namespace tarnwick;
using namespace tarnwick::instruction;

constexpr std::string_view USAGE =
    "usage: transfer_listing [SENDER [RECEIVER [COUNT]]]\n"
    "  SENDER, RECEIVER  logical tile numbers, 0..1471 (default 0 and 53)\n"
    "  COUNT             number of 32-bit words, 1..4148 (default 16)\n";

// A whole decimal argument no larger than `maximum`, or nothing.
std::optional<std::uint32_t> parse_number(std::string_view text, std::uint32_t maximum) {
    std::uint32_t value = 0;
    const char* const last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (text.empty() || error != std::errc{} || end != last || value > maximum) {
        return std::nullopt;
    }
    return value;
}

std::string hex(std::uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

std::string plural(std::uint32_t count, std::string_view noun) {
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

// What an exchange row word does, in words.
std::string describe(std::uint32_t word) {
    if (word == RETURN_INSTRUCTION) {
        return "return";
    }
    if ((word & 0xFFFFFF00u) == 0x41800000u) {
        return "sync zone " + std::to_string(word & 0xFFu);
    }
    if ((word & 0xFFF80000u) == 0x40A00000u) {
        return "delay " + plural((word & 0x7FFFFu) + 1, "cycle");
    }
    if ((word & OPCODE_MASK) == DELAY_XPIC_OPCODE) {
        const std::uint32_t tile = word & 0x1FFFu;
        return "XPIC delay " + plural(((word >> 14) & 0xFFFu) + 1, "cycle") + ", " +
               (tile == TILE_MUX_EXCHANGE ? std::string("select no tile (neutral)")
                                          : "select tile " + std::to_string(tile));
    }
    if ((word & OPCODE_MASK) == 0x60000000u) {
        const bool format = ((word >> 18) & 1u) != 0;
        return "PIC delay " + plural(((word >> 19) & 0x7Fu) + 1, "cycle") + ", " +
               (format ? "format " : "incoming pointer word ") + hex(word & 0x3FFFFu);
    }
    if (is_send_off(word)) {
        const std::uint32_t count = (((word >> 21) & 0x3Fu) | (((word >> 14) & 0x3Fu) << 6)) + 1;
        return "send " + plural(count, "word") + " with offset, base word " +
               hex((word >> 3) & 0x7FFu) + ", direction " + std::to_string(word & 7u);
    }
    if ((word & LONG_OPCODE_MASK) == SEND_OPCODE) {
        return "send " + plural(((word >> 21) & 0x3Fu) + 1, "word") + ", base word " +
               hex((word >> 3) & 0x3FFFFu) + ", direction " + std::to_string(word & 7u);
    }
    return "unknown word";
}

// Prints the used words of a row: every word up to the return.
// A receiver row's first word is the patch index of the XPIC delay that is to select the sender.
void list_row(std::string_view title, const exchange::PlanRow& row, bool patch_index_first,
              std::uint16_t sender_physical) {
    std::cout << title << ":\n";
    for (std::size_t i = 0; i < row.size(); ++i) {
        const std::uint32_t word = row[i];
        char number[16];
        std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(word));
        std::cout << "  [" << i << "] " << number << "  ";
        if (i == 0 && patch_index_first) {
            // The index counts from the word after this one.
            std::cout << "patch index " << word << ": the XPIC delay at [" << word + 1
                      << "] is to select the sender's physical tile\n";
        } else if (patch_index_first && i == row[0] + 1u) {
            std::cout << describe(word) << " (placeholder; the sender is physical tile "
                      << sender_physical << ")\n";
        } else {
            std::cout << describe(word) << '\n';
        }
        if (word == RETURN_INSTRUCTION) {
            break;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 4) {
        std::cerr << "transfer_listing: too many arguments\n" << USAGE;
        return 2;
    }
    if (argc > 1 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::cout << USAGE;
        return 0;
    }

    const topology::Topology topology = topology::Topology::v600();
    const auto last_tile = static_cast<std::uint32_t>(topology.tile_count() - 1);

    struct Argument {
        std::string_view name;
        std::string_view kind;
        std::uint32_t minimum;
        std::uint32_t maximum;
        std::uint32_t value;
    };
    Argument arguments[3] = {
        {"SENDER", "a logical tile number", 0, last_tile, 0},
        {"RECEIVER", "a logical tile number", 0, last_tile, 53},
        {"COUNT", "a word count", 1, 4148, 16},
    };
    for (int i = 1; i < argc; ++i) {
        Argument& argument = arguments[static_cast<std::size_t>(i - 1)];
        const std::optional<std::uint32_t> value = parse_number(argv[i], argument.maximum);
        if (!value || *value < argument.minimum) {
            std::cerr << "transfer_listing: " << argument.name << " must be " << argument.kind
                      << " from " << argument.minimum << " to " << argument.maximum << ", not \""
                      << argv[i] << "\"\n"
                      << USAGE;
            return 2;
        }
        argument.value = *value;
    }
    if (arguments[0].value == arguments[1].value) {
        std::cerr << "transfer_listing: SENDER and RECEIVER must be different tiles\n" << USAGE;
        return 2;
    }

    // Both tile numbers are at most 1471.
    const auto sender = static_cast<std::uint16_t>(arguments[0].value);
    const auto receiver = static_cast<std::uint16_t>(arguments[1].value);
    const std::uint32_t count = arguments[2].value;

    const Result<exchange::MulticastPlan> plan =
        exchange::point_to_point(topology, sender, receiver, count);
    if (!plan) {
        std::cerr << "transfer_listing: cannot assemble the transfer: " << plan.error() << '\n';
        return 2;
    }

    // The tiles exist: point_to_point has looked them up.
    const std::uint16_t sender_physical = *topology.physical(sender);
    const std::uint16_t receiver_physical = *topology.physical(receiver);
    std::cout << "point-to-point transfer of " << plural(count, "word") << "\n"
              << "  sender:   logical tile " << sender << ", physical tile " << sender_physical
              << "\n"
              << "  receiver: logical tile " << receiver << ", physical tile " << receiver_physical
              << "\n"
              << "  direction " << topology::direction(sender_physical, receiver_physical)
              << ", time to multiplexer "
              << topology::time_to_mux(sender_physical, receiver_physical) << " cycles\n\n";
    list_row("sender row", plan->sender, false, sender_physical);
    std::cout << '\n';
    list_row("receiver row (unfinished)", plan->receivers.front(), true, sender_physical);
    return 0;
}
