// src/corvane/sim/bfms/tavrin_labels.cpp: names of Avalon-ST buses for messages.
#include "tavrin_labels.hpp"

#include "common/py.hpp"

namespace corvane::tavrin {

std::optional<nb::object> optional_attr(nb::handle value, const char* name) {
    PyObject* result = nullptr;
    if (PyObject_GetOptionalAttrString(value.ptr(), name, &result) < 0) {
        throw nb::python_error();
    }
    if (result == nullptr) {
        return std::nullopt;
    }
    return nb::steal(result);
}

nb::str avalon_st_label(nb::handle bus) {
    // A missing attribute (on the bus or the entity) counts as absent.
    nb::object entity = optional_attr(bus, "_entity").value_or(nb::none());
    nb::object entity_name = optional_attr(entity, "_name").value_or(nb::none());
    nb::object bus_name = optional_attr(bus, "_name").value_or(nb::none());
    const bool has_entity = py::truthy(entity_name), has_bus = py::truthy(bus_name);
    if (has_entity && has_bus) {
        return nb::str("{}.{}").format(nb::str(entity_name), nb::str(bus_name));
    }
    if (has_entity) {
        return nb::str(entity_name);
    }
    if (has_bus) {
        return nb::str(bus_name);
    }
    return nb::str("avalon_st");
}

}  // namespace corvane::tavrin
