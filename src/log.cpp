#include "tarnwick/log.hpp"

#include <atomic>

namespace tarnwick::log {

namespace {

std::atomic<Subscriber*> global_subscriber{nullptr};
thread_local Subscriber* scoped_subscriber = nullptr;

} // namespace

std::string_view level_name(Level level) noexcept {
    switch (level) {
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
    }
    return "UNKNOWN";
}

void set_global_subscriber(Subscriber* subscriber) noexcept {
    global_subscriber.store(subscriber, std::memory_order_release);
}

Subscriber* current_subscriber() noexcept {
    if (scoped_subscriber != nullptr) {
        return scoped_subscriber;
    }
    return global_subscriber.load(std::memory_order_acquire);
}

ScopedSubscriber::ScopedSubscriber(Subscriber& subscriber) noexcept
    : previous_(scoped_subscriber) {
    scoped_subscriber = &subscriber;
}

ScopedSubscriber::~ScopedSubscriber() { scoped_subscriber = previous_; }

} // namespace tarnwick::log
