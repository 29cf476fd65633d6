#pragma once

// The description of one tile's work that code generation consumes: an ordered list of steps
// (exchange phases, compute kernel calls, counted repeats of a body of steps, checkpoints), the
// host phases that run around them, and the exchange words that must sit in tile memory at fixed
// addresses.
//
// These are plain value records and tagged variants. Every field without a stated default is
// value-initialised (false, 0, absent, empty); all checking of their contents happens when code
// is generated from them.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick::program {

// Symbol name to tile address: the tile runtime's routines and the compute kernels. Lookups take a
// string_view and never build a key string.
using SymbolTable = std::map<std::string, std::uint32_t, std::less<>>;

// Cycle samples around a step: the code calls the runtime's cycle-sample routine with `before`
// immediately before the step and with `after` immediately after it.
struct StepProfile {
    std::optional<std::uint32_t> before;
    std::optional<std::uint32_t> after;

    friend bool operator==(const StepProfile&, const StepProfile&) = default;
};

// Words that must sit in tile memory at `address`.
struct PlacedExchangeRow {
    std::uint32_t address = 0;
    std::vector<std::uint32_t> words;

    friend bool operator==(const PlacedExchangeRow&, const PlacedExchangeRow&) = default;
};

// One word of a step's exchange program whose value changes with the iteration of the enclosing
// repeat: `values` holds one value per iteration, in iteration order.
struct ExchangePatch {
    std::uint32_t word_offset = 0;
    PlacedExchangeRow values;

    friend bool operator==(const ExchangePatch&, const ExchangePatch&) = default;
};

// Rows that the tile runtime applies to a step's exchange program each time the step runs.
struct ExchangeSetupPatch {
    PlacedExchangeRow offsets;
    PlacedExchangeRow values;

    friend bool operator==(const ExchangeSetupPatch&, const ExchangeSetupPatch&) = default;
};

// One exchange phase as seen by this tile. The phase's timed program already sits in tile memory;
// the generated code prepares the receive state in special registers, synchronises and calls it.
struct ExchangeStep {
    bool active = false;
    std::uint32_t incoming_base = 0;
    bool preserve_base_registers = false;
    std::optional<std::uint16_t> incoming_mux;
    std::uint8_t incoming_format = 0;
    std::optional<std::uint16_t> incoming_mux_pair;
    std::optional<std::uint32_t> incoming_dcount;
    bool sync_in_program = false;
    PlacedExchangeRow program;
    std::optional<ExchangeSetupPatch> setup_patch;
    std::vector<ExchangePatch> repeat_patches;
    StepProfile profile;

    friend bool operator==(const ExchangeStep&, const ExchangeStep&) = default;
};

// The alternatives of TileAddress, also reachable as TileAddress::Absolute and
// TileAddress::RepeatPointer.
struct AbsoluteAddress {
    std::uint32_t address = 0;
    friend constexpr bool operator==(const AbsoluteAddress&, const AbsoluteAddress&) = default;
};

// g++ 12 cannot always see that a variant comparison reads this payload only when it is the one
// held, and warns of a read of the bytes that a held AbsoluteAddress leaves unset.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
struct RepeatPointerAddress {
    std::uint16_t index = 0;
    std::uint32_t offset = 0;
    friend constexpr bool operator==(const RepeatPointerAddress&,
                                     const RepeatPointerAddress&) = default;
};
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// An address handed to a kernel: either fixed, or relative to an iterated pointer of the
// enclosing repeat (its current value plus `offset`). It is a std::variant, so std::visit,
// std::get_if and the like work on it directly.
class TileAddress : public std::variant<AbsoluteAddress, RepeatPointerAddress> {
public:
    using Absolute = AbsoluteAddress;
    using RepeatPointer = RepeatPointerAddress;
    using Variant = std::variant<Absolute, RepeatPointer>;

    // Absolute(0).
    constexpr TileAddress() noexcept : Variant(Absolute{}) {}
    constexpr TileAddress(Absolute value) noexcept : Variant(value) {}      // NOLINT: implicit
    constexpr TileAddress(RepeatPointer value) noexcept : Variant(value) {} // NOLINT: implicit

    [[nodiscard]] constexpr const Variant& value() const noexcept { return *this; }

    template <class V>
    [[nodiscard]] constexpr bool is() const noexcept {
        return std::holds_alternative<V>(value());
    }

    template <class V>
    [[nodiscard]] constexpr const V* get_if() const noexcept {
        return std::get_if<V>(&value());
    }

    // "Absolute" or "RepeatPointer".
    [[nodiscard]] std::string_view name() const noexcept;

    friend constexpr bool operator==(const TileAddress& a, const TileAddress& b) noexcept {
        return a.value() == b.value();
    }
};

// A call of a compute kernel: m2 = output, m3.. = inputs, then the arguments.
struct ComputeStep {
    std::string symbol;
    TileAddress output_address;
    std::vector<TileAddress> input_addresses;
    std::vector<std::uint32_t> arguments;
    StepProfile profile;

    friend bool operator==(const ComputeStep&, const ComputeStep&) = default;
};

// A pointer kept in a repeat's frame: `initial_address` in the first iteration, advanced by
// `stride_bytes` after every iteration.
struct RepeatPointer {
    std::uint32_t initial_address = 0;
    std::uint32_t stride_bytes = 0;

    friend constexpr bool operator==(const RepeatPointer&, const RepeatPointer&) = default;
};

class TileStep;

// A counted loop over `body`, which runs `count` times.
struct RepeatStep {
    std::uint32_t count = 0;
    std::vector<RepeatPointer> iterated_pointers;
    std::vector<TileStep> body;
    StepProfile profile;

    friend bool operator==(const RepeatStep&, const RepeatStep&); // member-wise, see below
};

// A checkpoint word (0x41801000 OR breakpoint). `operation` and `profile` are carried only.
struct CheckpointStep {
    std::uint32_t operation = 0;
    std::uint8_t breakpoint = 0;
    StepProfile profile;

    friend bool operator==(const CheckpointStep&, const CheckpointStep&) = default;
};

// One step of a tile's work: Exchange, Compute, Repeat or Checkpoint. It is a std::variant, so
// std::visit, std::get_if and the like work on it directly.
class TileStep : public std::variant<ExchangeStep, ComputeStep, RepeatStep, CheckpointStep> {
public:
    using Variant = std::variant<ExchangeStep, ComputeStep, RepeatStep, CheckpointStep>;

    // An inactive exchange step with every field at its default, as a variant defaults to its
    // first alternative.
    TileStep() = default;

    template <class V>
    requires(!std::is_same_v<std::remove_cvref_t<V>, TileStep> &&
             std::is_constructible_v<Variant, V&&>) TileStep(V&& value)
        : Variant(std::forward<V>(value)) {} // NOLINT: implicit by design

    [[nodiscard]] const Variant& value() const noexcept { return *this; }
    [[nodiscard]] Variant& value() noexcept { return *this; }

    template <class V>
    [[nodiscard]] bool is() const noexcept {
        return std::holds_alternative<V>(value());
    }

    template <class V>
    [[nodiscard]] const V* get_if() const noexcept {
        return std::get_if<V>(&value());
    }

    template <class V>
    [[nodiscard]] V* get_if() noexcept {
        return std::get_if<V>(&value());
    }

    // "Exchange", "Compute", "Repeat" or "Checkpoint".
    [[nodiscard]] std::string_view name() const noexcept;

    friend bool operator==(const TileStep& a, const TileStep& b) { return a.value() == b.value(); }
};

// Written out member by member rather than defaulted: a defaulted comparison here makes clang
// recurse without end through RepeatStep -> TileStep -> RepeatStep while it works out whether the
// comparison is implicitly noexcept.
inline bool operator==(const RepeatStep& left, const RepeatStep& right) {
    return left.count == right.count && left.iterated_pointers == right.iterated_pointers &&
           left.body == right.body && left.profile == right.profile;
}

// The work of one tile; `tile` only names the tile in messages.
struct TileProgram {
    std::uint16_t tile = 0;
    std::vector<TileStep> steps;

    friend bool operator==(const TileProgram&, const TileProgram&) = default;
};

// One host phase: `address` is handed to the tile runtime; an active phase needs its run table.
struct HostPhase {
    std::uint32_t address = 0;
    bool active = false;
    std::optional<std::uint32_t> run_table;

    friend constexpr bool operator==(const HostPhase&, const HostPhase&) = default;
};

// Host phases run once before everything (`initialize`), at the start of every invocation
// (`inputs`) and at its end (`outputs`).
struct HostProgram {
    std::vector<HostPhase> initialize;
    std::vector<HostPhase> inputs;
    std::vector<HostPhase> outputs;

    friend bool operator==(const HostProgram&, const HostProgram&) = default;
};

// Debug forms: `Name { field: value, ... }` with fields in declaration order; the variants print
// as `Absolute(4096)`, `RepeatPointer { index: 0, offset: 64 }`, `Compute(ComputeStep { ... })`.
std::ostream& operator<<(std::ostream& out, const StepProfile& value);
std::ostream& operator<<(std::ostream& out, const PlacedExchangeRow& value);
std::ostream& operator<<(std::ostream& out, const ExchangePatch& value);
std::ostream& operator<<(std::ostream& out, const ExchangeSetupPatch& value);
std::ostream& operator<<(std::ostream& out, const ExchangeStep& value);
std::ostream& operator<<(std::ostream& out, const TileAddress& value);
std::ostream& operator<<(std::ostream& out, const ComputeStep& value);
std::ostream& operator<<(std::ostream& out, const RepeatPointer& value);
std::ostream& operator<<(std::ostream& out, const RepeatStep& value);
std::ostream& operator<<(std::ostream& out, const CheckpointStep& value);
std::ostream& operator<<(std::ostream& out, const TileStep& value);
std::ostream& operator<<(std::ostream& out, const TileProgram& value);
std::ostream& operator<<(std::ostream& out, const HostPhase& value);
std::ostream& operator<<(std::ostream& out, const HostProgram& value);

[[nodiscard]] std::string to_string(const StepProfile& value);
[[nodiscard]] std::string to_string(const PlacedExchangeRow& value);
[[nodiscard]] std::string to_string(const ExchangePatch& value);
[[nodiscard]] std::string to_string(const ExchangeSetupPatch& value);
[[nodiscard]] std::string to_string(const ExchangeStep& value);
[[nodiscard]] std::string to_string(const TileAddress& value);
[[nodiscard]] std::string to_string(const ComputeStep& value);
[[nodiscard]] std::string to_string(const RepeatPointer& value);
[[nodiscard]] std::string to_string(const RepeatStep& value);
[[nodiscard]] std::string to_string(const CheckpointStep& value);
[[nodiscard]] std::string to_string(const TileStep& value);
[[nodiscard]] std::string to_string(const TileProgram& value);
[[nodiscard]] std::string to_string(const HostPhase& value);
[[nodiscard]] std::string to_string(const HostProgram& value);

} // namespace tarnwick::program
