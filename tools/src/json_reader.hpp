#pragma once

// Reading a JSON description with every fault reported at its place in the input.
//
// A place is written the way a reader of the file would look for it:
// `phases[2].transfers[17].destinations[0].tile`. Every accessor of JsonNode checks the type and
// range of what it reads and throws an InputError naming the node's place; the command layer
// turns that into one line on standard error and exit status 2.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::cli {

// A fault of the user's input: where it is and what is wrong. The place may be empty for faults
// that concern the file as a whole.
class InputError : public std::exception {
public:
    InputError(std::string place, std::string message);

    [[nodiscard]] const std::string& place() const noexcept { return place_; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    // "place: message", or just the message without a place.
    [[nodiscard]] const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string place_;
    std::string message_;
    std::string text_;
};

// Reads and parses a JSON file. A missing or unreadable file, malformed JSON (reported with its
// line and column) and an object that repeats a key (reported at the key's place) are InputErrors.
[[nodiscard]] nlohmann::json read_json_file(const std::filesystem::path& path);

// Parses JSON text with the same checks.
[[nodiscard]] nlohmann::json parse_json_text(std::string_view text);

// One value of the input together with its place.
class JsonNode {
public:
    JsonNode(const nlohmann::json& value, std::string place);

    [[nodiscard]] const std::string& place() const noexcept { return place_; }
    [[nodiscard]] const nlohmann::json& json() const noexcept { return *value_; }

    [[noreturn]] void fail(const std::string& message) const;

    // Objects. `allow_only` rejects any field not listed (a misspelt optional field would
    // otherwise be silently ignored); the field "comment" is allowed everywhere.
    void expect_object() const;
    void allow_only(std::initializer_list<std::string_view> fields) const;
    // Present and not null.
    [[nodiscard]] bool has(std::string_view name) const;
    // A required field: missing (or null) fails at the field's place.
    [[nodiscard]] JsonNode field(std::string_view name) const;
    // An optional field: absent or null gives nothing.
    [[nodiscard]] std::optional<JsonNode> optional_field(std::string_view name) const;

    // Arrays.
    [[nodiscard]] std::vector<JsonNode> elements() const;

    // Scalars. Unsigned values are JSON integers or strings "0x..." in hexadecimal; anything
    // else, a negative value or a value beyond the type's range fails here.
    [[nodiscard]] std::uint32_t u32() const;
    [[nodiscard]] std::uint16_t u16() const;
    [[nodiscard]] std::uint8_t u8() const;
    [[nodiscard]] bool boolean() const;
    [[nodiscard]] std::string string() const;
    [[nodiscard]] std::vector<std::uint32_t> u32_list() const;

private:
    [[nodiscard]] std::uint64_t unsigned_value(std::uint64_t maximum, std::string_view what) const;
    [[nodiscard]] std::string child_place(std::string_view name) const;

    const nlohmann::json* value_;
    std::string place_;
};

// The JSON type of a value as a reader would name it ("a string", "an array", ...).
[[nodiscard]] std::string_view json_type_name(const nlohmann::json& value);

// Hexadecimal with a 0x prefix, zero-padded to `digits`.
[[nodiscard]] std::string hex(std::uint64_t value, int digits = 0);

} // namespace tarnwick::cli
