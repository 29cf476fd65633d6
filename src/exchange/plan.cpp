#include "tarnwick/exchange/plan.hpp"

#include "tarnwick/debug.hpp"

#include <ostream>
#include <sstream>

namespace tarnwick::exchange {

std::ostream& operator<<(std::ostream& out, const MulticastPlan& plan) {
    debug::Struct(out, "MulticastPlan")
        .field("sender", plan.sender)
        .field("receivers", plan.receivers)
        .finish();
    return out;
}

std::string to_string(const MulticastPlan& plan) { return debug::to_string(plan); }

} // namespace tarnwick::exchange
