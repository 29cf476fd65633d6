#pragma once

// The error of code generation: an instruction encoder's ExchangeError passed through unchanged,
// or a named check that failed.
//
// Fixed messages are string literals held by view, so the common failures never allocate; only
// the few messages formatted with a name or number own their text.

#include "tarnwick/error.hpp"

#include <cstddef>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwick::emit {

class CodegenError {
public:
    // An instruction encoder rejected an operand.
    struct Exchange {
        ExchangeError error;
        friend constexpr bool operator==(const Exchange&, const Exchange&) = default;
    };

    // A check of code generation failed. Compares by text, wherever the text lives.
    class Invalid {
    public:
        // A message with static storage: held by view, no allocation.
        template <std::size_t N>
        constexpr explicit Invalid(const char (&literal)[N]) noexcept
            : text_(std::string_view(literal, N - 1)) {}

        // A formatted message: owned.
        explicit Invalid(std::string formatted) noexcept : text_(std::move(formatted)) {}

        [[nodiscard]] std::string_view message() const noexcept {
            if (const auto* view = std::get_if<std::string_view>(&text_)) {
                return *view;
            }
            return std::get<std::string>(text_);
        }

        friend bool operator==(const Invalid& a, const Invalid& b) noexcept {
            return a.message() == b.message();
        }

    private:
        std::variant<std::string_view, std::string> text_;
    };

    using Variant = std::variant<Exchange, Invalid>;

    // Wraps an encoder's error in Exchange, unchanged.
    CodegenError(ExchangeError error) noexcept : value_(Exchange{error}) {} // NOLINT: implicit
    // Any variant of ExchangeError, wrapped the same way.
    template <class E>
    requires std::is_constructible_v<ExchangeError::Variant, E> CodegenError(E error)
    noexcept : value_(Exchange{ExchangeError(error)}) {}               // NOLINT: implicit
    CodegenError(Exchange error) noexcept : value_(error) {}           // NOLINT: implicit
    CodegenError(Invalid error) noexcept : value_(std::move(error)) {} // NOLINT: implicit

    [[nodiscard]] const Variant& value() const noexcept { return value_; }

    template <class V>
    [[nodiscard]] bool is() const noexcept {
        return std::holds_alternative<V>(value_);
    }

    template <class V>
    [[nodiscard]] const V* get_if() const noexcept {
        return std::get_if<V>(&value_);
    }

    // The wrapped encoder error, or null for Invalid.
    [[nodiscard]] const ExchangeError* exchange() const noexcept {
        const auto* exchange = get_if<Exchange>();
        return exchange ? &exchange->error : nullptr;
    }

    // The Invalid message, or an empty view for Exchange.
    [[nodiscard]] std::string_view message() const noexcept {
        const auto* invalid = get_if<Invalid>();
        return invalid ? invalid->message() : std::string_view{};
    }

    // "Exchange" or "Invalid".
    [[nodiscard]] std::string_view name() const noexcept {
        return is<Exchange>() ? "Exchange" : "Invalid";
    }

    friend bool operator==(const CodegenError&, const CodegenError&) = default;

private:
    Variant value_;
};

// `Invalid("compute symbol is empty")`, `Exchange(Schedule("call operand"))`.
std::ostream& operator<<(std::ostream& out, const CodegenError& error);
[[nodiscard]] std::string to_string(const CodegenError& error);

// Results of code generation. Because CodegenError converts from ExchangeError, an encoder's
// `Result<T>` (or a `fail(...)`/`schedule_error(...)`) converts implicitly into a CodegenResult,
// with the error wrapped in Exchange.
template <class T>
using CodegenResult = std::expected<T, CodegenError>;
using CodegenStatus = CodegenResult<void>;

// The constructor of every CodegenError::Invalid: a literal is held by view, a formatted
// message is owned.
template <std::size_t N>
[[nodiscard]] constexpr CodegenError invalid(const char (&literal)[N]) noexcept {
    return CodegenError::Invalid(literal);
}
[[nodiscard]] inline CodegenError invalid(std::string formatted) noexcept {
    return CodegenError::Invalid(std::move(formatted));
}

// Shorthand for the failing return of a CodegenResult-returning function.
[[nodiscard]] inline std::unexpected<CodegenError> fail(CodegenError error) noexcept {
    return std::unexpected<CodegenError>(std::move(error));
}

// Passes an encoder's result on into code generation: the value unchanged, or its ExchangeError
// wrapped in CodegenError::Exchange.
template <class T>
[[nodiscard]] constexpr CodegenResult<T> lift(Result<T> result) {
    if constexpr (std::is_void_v<T>) {
        if (result) {
            return {};
        }
    } else {
        if (result) {
            return *std::move(result);
        }
    }
    return std::unexpected<CodegenError>(CodegenError(result.error()));
}

} // namespace tarnwick::emit
