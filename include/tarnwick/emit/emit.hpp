#pragma once

// Code generation for one tile: `emit` turns a tile program, its host phases, a symbol table and
// the options into the tile's code bytes and the exchange rows that must sit beside it.
//
// Register conventions of the generated code: m0 scratch (loop counters, jump targets); m2 kernel
// output, sample address and first routine operand; m3..m9 kernel inputs and arguments; m4 the
// halfword copy's pair count; m7 return register of the worker barrier; m8 carries every value
// written to a special register before an exchange phase; m9 return register of the patch and
// host routines; m10 return register of kernel, exchange-program, copy and sample calls; m11 the
// stack pointer of the invocation and repeat frames; m15 the delta of every frame access.
//
// The operations below `emit` are the pieces it is made of; they are public so that each can be
// checked on its own. They append to a TileCode and stop at the first error, leaving the buffer
// partly written: a caller drops the buffer on any error.

#include "tarnwick/emit/code.hpp"
#include "tarnwick/emit/error.hpp"
#include "tarnwick/emit/options.hpp"
#include "tarnwick/program.hpp"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::emit {

// The exchange rows that the code expects in tile memory, in the order they were recorded. The
// list refers to the rows of the program being emitted, which must outlive it; `finish` makes
// the owned, de-duplicated copies.
class ExchangeRows {
public:
    void record(const program::PlacedExchangeRow& row) { rows_.push_back(&row); }
    void reserve(std::size_t rows) { rows_.reserve(rows); }

    [[nodiscard]] std::span<const program::PlacedExchangeRow* const> recorded() const noexcept {
        return rows_;
    }

    // One row per address in ascending address order; equal rows at one address are absorbed.
    // Fails with "different exchange rows share an address" when two rows give different contents
    // to the same address (a row starting there, or any byte that two rows overlap on).
    [[nodiscard]] CodegenResult<std::vector<program::PlacedExchangeRow>> finish() const;

    // Compares the recorded rows by value, in recording order.
    friend bool operator==(const ExchangeRows& a, const ExchangeRows& b) noexcept;

private:
    std::vector<const program::PlacedExchangeRow*> rows_;
};

// `ExchangeRows { recorded: [PlacedExchangeRow { ... }, ...] }`.
std::ostream& operator<<(std::ostream& out, const ExchangeRows& rows);
[[nodiscard]] std::string to_string(const ExchangeRows& rows);

// The one entry point of code generation.
[[nodiscard]] CodegenResult<GeneratedProgram> emit(const program::TileProgram& program,
                                                   const SymbolTable& symbols,
                                                   const program::HostProgram& host,
                                                   const CodegenOptions& options);

// Emits a list of steps, merging consecutive halfword copies into one call of the copy routine.
// `worker_barrier` is the barrier routine's address when any step needs it; the repeat values are
// those of the enclosing repeat, absent at top level.
[[nodiscard]] CodegenStatus
emit_steps(TileCode& code, std::uint16_t tile, std::span<const program::TileStep> steps,
           const SymbolTable& symbols, std::optional<std::uint32_t> worker_barrier,
           ExchangeRows& exchange_rows, std::optional<std::size_t> repeat_pointer_count,
           std::optional<std::uint32_t> repeat_count, std::uint32_t code_address);

// setzi(2, address) and a call of the cycle-sample routine with return register m10.
[[nodiscard]] CodegenStatus emit_cycle_sample(TileCode& code, const SymbolTable& symbols,
                                              std::uint32_t address);

// (source, destination) of a mergeable halfword copy: exactly one Absolute input, an Absolute
// output and the arguments [1].
[[nodiscard]] std::optional<std::pair<std::uint32_t, std::uint32_t>>
absolute_u16_copy(const program::ComputeStep& compute) noexcept;

// The profile of a Compute step; absent for every other step.
[[nodiscard]] std::optional<program::StepProfile>
step_compute_profile(const program::TileStep& step) noexcept;

// Loads the kernel's output, inputs and arguments into m2, m3.. and calls it with return m10.
[[nodiscard]] CodegenStatus emit_compute(TileCode& code, std::uint16_t tile,
                                         const program::ComputeStep& compute,
                                         const SymbolTable& symbols,
                                         std::optional<std::size_t> repeat_pointer_count);

// Loads the run-time value of `address` into `register_`.
[[nodiscard]] CodegenStatus emit_address(TileCode& code, std::uint8_t register_,
                                         const program::TileAddress& address,
                                         std::optional<std::size_t> repeat_pointer_count);

// The repeat frame (counter and iterated pointers on the m11 stack), the body once, the pointer
// advance and the counted loop back to the body.
[[nodiscard]] CodegenStatus emit_repeat(TileCode& code, std::uint16_t tile,
                                        const program::RepeatStep& repeat,
                                        const SymbolTable& symbols,
                                        std::optional<std::uint32_t> worker_barrier,
                                        ExchangeRows& exchange_rows, std::uint32_t code_address);

// The call of the row-patch routine that applies a setup patch to the step's program.
[[nodiscard]] CodegenStatus emit_exchange_setup_patch(TileCode& code,
                                                      const program::ExchangeStep& exchange,
                                                      const program::ExchangeSetupPatch& patch,
                                                      const SymbolTable& symbols);

// The calls of the word-patch routine for every repeat patch of the step.
[[nodiscard]] CodegenStatus emit_exchange_patches(TileCode& code,
                                                  const program::ExchangeStep& exchange,
                                                  std::uint32_t repeat_count,
                                                  const SymbolTable& symbols);

// One runtime call per run of host phases: consecutive active phases of one address, or
// consecutive inactive phases.
[[nodiscard]] CodegenStatus emit_host_phases(TileCode& code, const SymbolTable& symbols,
                                             std::span<const program::HostPhase> phases);

} // namespace tarnwick::emit
