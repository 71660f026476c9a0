// src/common/log.hpp: logging through Python's `logging`, with lazily formatted arguments.
//
// The level is checked on the logger before any argument is converted, so disabled DEBUG lines
// in a per-beat path cost one `isEnabledFor` call. Arguments go to the logger unformatted and
// `logging` applies the printf-style message only when a handler emits the record.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace corvane::log {

namespace nb = nanobind;

inline constexpr int DEBUG = 10;
inline constexpr int INFO = 20;
inline constexpr int WARNING = 30;

/// `logging.getLogger(name)`.
nb::object get_logger(const char* name);

/// `logger.isEnabledFor(level)`.
bool enabled(nb::handle logger, int level);

/// `logger.log(level, message, *args)` when the level is enabled.
template <class... Args>
void log(nb::handle logger, int level, const char* message, Args&&... args) {
    if (enabled(logger, level)) {
        logger.attr("log")(level, message, std::forward<Args>(args)...);
    }
}

template <class... Args>
void debug(nb::handle logger, const char* message, Args&&... args) {
    log(logger, DEBUG, message, std::forward<Args>(args)...);
}

template <class... Args>
void info(nb::handle logger, const char* message, Args&&... args) {
    log(logger, INFO, message, std::forward<Args>(args)...);
}

template <class... Args>
void warning(nb::handle logger, const char* message, Args&&... args) {
    log(logger, WARNING, message, std::forward<Args>(args)...);
}

}  // namespace corvane::log
