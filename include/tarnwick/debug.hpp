#pragma once

// Debug forms of the library's values: records print as `Name { field: value, ... }`, tuple-like
// variants as `Name(value)`, strings quoted, optionals as `Some(x)` / `None`, sequences as
// `[a, b]`. Every record and error type of the library prints itself through these helpers.

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <ostream>
#include <ranges>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwick::debug {

template <class T>
void write(std::ostream& out, const T& value);

inline void write_quoted(std::ostream& out, std::string_view text) {
    out << '"';
    for (const char c : text) {
        switch (c) {
        case '"': out << "\\\""; break;
        case '\\': out << "\\\\"; break;
        case '\n': out << "\\n"; break;
        case '\t': out << "\\t"; break;
        default: out << c; break;
        }
    }
    out << '"';
}

namespace detail {

template <class T>
concept Streamable = requires(std::ostream& out, const T& value) { out << value; };

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
struct IsPair : std::false_type {};
template <class A, class B>
struct IsPair<std::pair<A, B>> : std::true_type {};

template <class T>
struct IsVariant : std::false_type {};
template <class... T>
struct IsVariant<std::variant<T...>> : std::true_type {};

} // namespace detail

template <class T>
void write(std::ostream& out, const T& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::same_as<V, bool>) {
        out << (value ? "true" : "false");
    } else if constexpr (std::integral<V>) {
        // Widen so that 8-bit values print as numbers, never as characters.
        if constexpr (std::is_signed_v<V>) {
            out << static_cast<long long>(value);
        } else {
            out << static_cast<unsigned long long>(value);
        }
    } else if constexpr (std::convertible_to<const V&, std::string_view>) {
        write_quoted(out, std::string_view{value});
    } else if constexpr (detail::IsOptional<V>::value) {
        if (value) {
            out << "Some(";
            write(out, *value);
            out << ')';
        } else {
            out << "None";
        }
    } else if constexpr (detail::IsPair<V>::value) {
        out << '(';
        write(out, value.first);
        out << ", ";
        write(out, value.second);
        out << ')';
    } else if constexpr (detail::IsVariant<V>::value) {
        std::visit([&out](const auto& alternative) { write(out, alternative); }, value);
    } else if constexpr (detail::Streamable<V>) {
        out << value;
    } else if constexpr (std::ranges::input_range<const V>) {
        out << '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first) {
                out << ", ";
            }
            first = false;
            write(out, element);
        }
        out << ']';
    } else {
        static_assert(sizeof(V) == 0, "no debug form for this type");
    }
}

// `Name { a: 1, b: 2 }`, or just `Name` for a record without fields.
class Struct {
public:
    Struct(std::ostream& out, std::string_view name) : out_(out) { out_ << name; }

    template <class T>
    Struct& field(std::string_view name, const T& value) {
        out_ << (first_ ? " { " : ", ") << name << ": ";
        write(out_, value);
        first_ = false;
        return *this;
    }

    void finish() {
        if (!first_) {
            out_ << " }";
        }
    }

private:
    std::ostream& out_;
    bool first_ = true;
};

// `Name(a, b)`, the form of a variant that carries unnamed values.
template <class... T>
void tuple(std::ostream& out, std::string_view name, const T&... values) {
    out << name << '(';
    bool first = true;
    ((out << (first ? "" : ", "), write(out, values), first = false), ...);
    out << ')';
}

template <class T>
[[nodiscard]] std::string to_string(const T& value) {
    std::ostringstream out;
    write(out, value);
    return std::move(out).str();
}

} // namespace tarnwick::debug
