// src/common/log.cpp: logging through Python's `logging`.
#include "common/log.hpp"

#include "common/py.hpp"

namespace corvane::log {

nb::object get_logger(const char* name) {
    return py::attr("logging", "getLogger")(name);
}

bool enabled(nb::handle logger, int level) {
    return nb::cast<bool>(logger.attr("isEnabledFor")(level));
}

}  // namespace corvane::log
