#pragma once

// Everything tarnwick offers, in one include.

#include "tarnwick/debug.hpp"
#include "tarnwick/error.hpp"
#include "tarnwick/log.hpp"
#include "tarnwick/version.hpp"
#include "tarnwick/exchange/plan.hpp"
#include "tarnwick/instruction.hpp"
#include "tarnwick/topology.hpp"
#include "tarnwick/exchange/parse/decoder.hpp"
#include "tarnwick/memory.hpp"
#include "tarnwick/exchange/timeline.hpp"
#include "tarnwick/exchange/receive_events.hpp"
#include "tarnwick/exchange/point_to_point.hpp"
#include "tarnwick/exchange/row_timing.hpp"
#include "tarnwick/exchange/patch.hpp"
#include "tarnwick/exchange/multicast.hpp"
#include "tarnwick/exchange/host_packet.hpp"
#include "tarnwick/exchange/host_plan.hpp"
#include "tarnwick/exchange/host_program.hpp"
#include "tarnwick/exchange/parse/validator.hpp"
