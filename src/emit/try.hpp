#pragma once

// Propagation of a failed CodegenStatus out of a function returning a CodegenResult.

#include "tarnwick/emit/error.hpp"

#include <expected>
#include <utility>

#define TARNWICK_EMIT_TRY(expression)                                                              \
    do {                                                                                           \
        if (auto tarnwick_status_ = (expression); !tarnwick_status_) {                             \
            return std::unexpected<::tarnwick::emit::CodegenError>(                                \
                std::move(tarnwick_status_).error());                                              \
        }                                                                                          \
    } while (false)
