#pragma once

// A small structured-logging facade. The library emits a handful of debug events; an embedding
// compiler routes them to its own logger by installing a Subscriber. Field values are formatted
// only when the current subscriber enables the event's level and target, so a silent or disabled
// subscriber costs a pointer load and one virtual call.
//
// The subscriber in effect on a thread is the innermost ScopedSubscriber of that thread, or else
// the process-wide one (none by default).

#include "tarnwick/debug.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick::log {

enum class Level : std::uint8_t { Error, Warn, Info, Debug, Trace };

[[nodiscard]] std::string_view level_name(Level level) noexcept;

// Targets of the library's own events.
inline constexpr std::string_view EXCHANGE_TARGET = "tarnwick::exchange";
inline constexpr std::string_view PARSE_TARGET = "tarnwick::exchange::parse";

struct Field {
    std::string_view name;
    std::string value; // the value's debug form
};

struct Event {
    Level level;
    std::string_view target;
    std::string_view message;
    std::span<const Field> fields;
};

class Subscriber {
public:
    virtual ~Subscriber() = default;
    // Whether events of this level and target should be formatted and recorded at all.
    [[nodiscard]] virtual bool enabled(Level level, std::string_view target) const noexcept = 0;
    virtual void record(const Event& event) noexcept = 0;
};

// Installs the process-wide subscriber (nullptr removes it). The subscriber must outlive its use.
void set_global_subscriber(Subscriber* subscriber) noexcept;

// The subscriber that receives this thread's events, or nullptr.
[[nodiscard]] Subscriber* current_subscriber() noexcept;

// Routes this thread's events to `subscriber` for the scope's lifetime (tests, tools).
class ScopedSubscriber {
public:
    explicit ScopedSubscriber(Subscriber& subscriber) noexcept;
    ~ScopedSubscriber();
    ScopedSubscriber(const ScopedSubscriber&) = delete;
    ScopedSubscriber& operator=(const ScopedSubscriber&) = delete;

private:
    Subscriber* previous_;
};

// A named field whose value is formatted lazily, only for an enabled subscriber.
template <class T>
struct FieldRef {
    std::string_view name;
    const T& value;
};

template <class T>
[[nodiscard]] FieldRef<T> field(std::string_view name, const T& value) noexcept {
    return FieldRef<T>{name, value};
}

template <class... T>
void event(Level level, std::string_view target, std::string_view message,
           FieldRef<T>... fields) noexcept {
    Subscriber* subscriber = current_subscriber();
    if (subscriber == nullptr || !subscriber->enabled(level, target)) {
        return;
    }
    try {
        const std::array<Field, sizeof...(T)> formatted{
            Field{fields.name, debug::to_string(fields.value)}...};
        subscriber->record(Event{level, target, message, formatted});
    } catch (...) {
        // Logging never changes a result: an allocation failure while formatting drops the event.
    }
}

template <class... T>
void debug_event(std::string_view target, std::string_view message, FieldRef<T>... fields) noexcept {
    event(Level::Debug, target, message, fields...);
}

} // namespace tarnwick::log
