#include "json_reader.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <utility>

namespace tarnwick::cli {

using nlohmann::json;

namespace {

std::string join_place(std::string_view place, std::string_view message) {
    if (place.empty()) {
        return std::string(message);
    }
    std::string text(place);
    text += ": ";
    text += message;
    return text;
}

// Tracks where the parser is, so that a repeated key can be reported at its place. nlohmann's
// parser keeps the last of two equal keys silently; in a hand-written description that is almost
// always a mistake.
class KeyTracker {
public:
    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
            begin_element();
            frames_.push_back(Frame{.is_array = false, .index = 0, .key = {}, .keys = {}});
            break;
        case json::parse_event_t::array_start:
            begin_element();
            frames_.push_back(Frame{.is_array = true, .index = 0, .key = {}, .keys = {}});
            started_.push_back(false);
            break;
        case json::parse_event_t::key: {
            Frame& frame = frames_.back();
            frame.key = parsed.get<std::string>();
            if (!frame.keys.insert(frame.key).second) {
                throw InputError(place(), "this key appears twice in its object");
            }
            break;
        }
        case json::parse_event_t::value: begin_element(); break;
        case json::parse_event_t::object_end: frames_.pop_back(); break;
        case json::parse_event_t::array_end:
            frames_.pop_back();
            started_.pop_back();
            break;
        }
        return true;
    }

private:
    struct Frame {
        bool is_array;
        std::size_t index;
        std::string key;
        std::set<std::string, std::less<>> keys;
    };

    // An array element begins: count it.
    void begin_element() {
        if (frames_.empty() || !frames_.back().is_array) {
            return;
        }
        if (started_.back()) {
            ++frames_.back().index;
        }
        started_.back() = true;
    }

    [[nodiscard]] std::string place() const {
        std::string text;
        for (const Frame& frame : frames_) {
            if (frame.is_array) {
                text += '[' + std::to_string(frame.index) + ']';
            } else {
                if (!text.empty()) {
                    text += '.';
                }
                text += frame.key;
            }
        }
        return text;
    }

    std::vector<Frame> frames_;
    std::vector<bool> started_;
};

// The error is reported as one line: a key or a value quoted into it may hold any character
// JSON can escape, so control characters are written back as escapes.
std::string one_line(std::string text) {
    const auto is_control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
    if (std::none_of(text.begin(), text.end(), is_control)) {
        return text;
    }
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (const char c : text) {
        switch (c) {
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\t': escaped += "\\t"; break;
        default:
            if (is_control(c)) {
                char code[8];
                std::snprintf(code, sizeof code, "\\u%04x",
                              static_cast<unsigned>(static_cast<unsigned char>(c)));
                escaped += code;
            } else {
                escaped += c;
            }
        }
    }
    return escaped;
}

} // namespace

InputError::InputError(std::string place, std::string message)
    : place_(one_line(std::move(place))), message_(one_line(std::move(message))),
      text_(join_place(place_, message_)) {}

json parse_json_text(std::string_view text) {
    try {
        return json::parse(text.begin(), text.end(), KeyTracker{});
    } catch (const json::parse_error& error) {
        // "[json.exception.parse_error.101] parse error at line 3, column 7: syntax error ..."
        std::string what = error.what();
        const auto at = what.find(" at line ");
        const auto colon = what.find(": ", at == std::string::npos ? 0 : at);
        if (at != std::string::npos && colon != std::string::npos) {
            throw InputError(what.substr(at + 4, colon - at - 4),
                             "malformed JSON: " + what.substr(colon + 2));
        }
        throw InputError("", "malformed JSON: " + what);
    } catch (const json::exception& error) {
        // The reader's other faults (a number too large for any numeric type) carry no place:
        // "[json.exception.out_of_range.406] number overflow parsing '1e999'".
        std::string_view what = error.what();
        if (const auto tag = what.find("] "); what.starts_with('[') && tag != what.npos) {
            what.remove_prefix(tag + 2);
        }
        throw InputError("", "malformed JSON: " + std::string(what));
    }
}

json read_json_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw InputError("", "cannot open the file");
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw InputError("", "cannot read the file");
    }
    return parse_json_text(text);
}

std::string_view json_type_name(const json& value) {
    switch (value.type()) {
    case json::value_t::null: return "null";
    case json::value_t::object: return "an object";
    case json::value_t::array: return "an array";
    case json::value_t::string: return "a string";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "an integer";
    case json::value_t::number_float: return "a fractional number";
    case json::value_t::binary: return "binary data";
    case json::value_t::discarded: return "nothing";
    }
    return "an unknown value";
}

std::string hex(std::uint64_t value, int digits) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return buffer;
}

JsonNode::JsonNode(const nlohmann::json& value, std::string place) : value_(&value), place_(std::move(place)) {}

void JsonNode::fail(const std::string& message) const { throw InputError(place_, message); }

std::string JsonNode::child_place(std::string_view name) const {
    if (place_.empty()) {
        return std::string(name);
    }
    std::string text = place_;
    text += '.';
    text += name;
    return text;
}

void JsonNode::expect_object() const {
    if (!value_->is_object()) {
        fail("expected an object, found " + std::string(json_type_name(*value_)));
    }
}

void JsonNode::allow_only(std::initializer_list<std::string_view> fields) const {
    expect_object();
    for (const auto& [key, value] : value_->items()) {
        if (key == "comment") {
            continue;
        }
        if (std::find(fields.begin(), fields.end(), key) == fields.end()) {
            std::string known;
            for (const std::string_view field : fields) {
                known += known.empty() ? "" : ", ";
                known += field;
            }
            throw InputError(child_place(key), "unknown field (known here: " + known + ")");
        }
    }
}

bool JsonNode::has(std::string_view name) const {
    expect_object();
    const auto found = value_->find(name);
    return found != value_->end() && !found->is_null();
}

JsonNode JsonNode::field(std::string_view name) const {
    expect_object();
    const auto found = value_->find(name);
    if (found == value_->end() || found->is_null()) {
        throw InputError(child_place(name), "missing required field");
    }
    return JsonNode(*found, child_place(name));
}

std::optional<JsonNode> JsonNode::optional_field(std::string_view name) const {
    expect_object();
    const auto found = value_->find(name);
    if (found == value_->end() || found->is_null()) {
        return std::nullopt;
    }
    return JsonNode(*found, child_place(name));
}

std::vector<JsonNode> JsonNode::elements() const {
    if (!value_->is_array()) {
        fail("expected an array, found " + std::string(json_type_name(*value_)));
    }
    std::vector<JsonNode> nodes;
    nodes.reserve(value_->size());
    for (std::size_t i = 0; i < value_->size(); ++i) {
        nodes.emplace_back((*value_)[i], place_ + '[' + std::to_string(i) + ']');
    }
    return nodes;
}

std::uint64_t JsonNode::unsigned_value(std::uint64_t maximum, std::string_view what) const {
    const std::string expected = "expected " + std::string(what) +
                                 " (an integer or a \"0x...\" string), found ";
    std::uint64_t value = 0;
    if (value_->is_number_unsigned()) {
        value = value_->get<std::uint64_t>();
    } else if (value_->is_number_integer()) {
        const auto signed_value = value_->get<std::int64_t>();
        if (signed_value < 0) {
            fail(expected + "the negative number " + std::to_string(signed_value));
        }
        value = static_cast<std::uint64_t>(signed_value);
    } else if (value_->is_string()) {
        const auto& text = value_->get_ref<const std::string&>();
        if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') ||
            !std::all_of(text.begin() + 2, text.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            })) {
            fail(expected + "the string \"" + text + "\"");
        }
        value = std::stoull(text.substr(2), nullptr, 16);
    } else {
        fail(expected + std::string(json_type_name(*value_)));
    }
    if (value > maximum) {
        fail("value " + std::to_string(value) + " is out of range for " + std::string(what) +
             " (at most " + std::to_string(maximum) + ")");
    }
    return value;
}

std::uint32_t JsonNode::u32() const {
    return static_cast<std::uint32_t>(
        unsigned_value(std::numeric_limits<std::uint32_t>::max(), "an unsigned 32-bit value"));
}

std::uint16_t JsonNode::u16() const {
    return static_cast<std::uint16_t>(
        unsigned_value(std::numeric_limits<std::uint16_t>::max(), "an unsigned 16-bit value"));
}

std::uint8_t JsonNode::u8() const {
    return static_cast<std::uint8_t>(
        unsigned_value(std::numeric_limits<std::uint8_t>::max(), "an unsigned 8-bit value"));
}

bool JsonNode::boolean() const {
    if (!value_->is_boolean()) {
        fail("expected true or false, found " + std::string(json_type_name(*value_)));
    }
    return value_->get<bool>();
}

std::string JsonNode::string() const {
    if (!value_->is_string()) {
        fail("expected a string, found " + std::string(json_type_name(*value_)));
    }
    return value_->get<std::string>();
}

std::vector<std::uint32_t> JsonNode::u32_list() const {
    std::vector<std::uint32_t> values;
    for (const JsonNode& element : elements()) {
        values.push_back(element.u32());
    }
    return values;
}

} // namespace tarnwick::cli
