// src/corvane/sim/runners/quessel_util.cpp: small Python helpers the quessel flow shares.
#include "quessel_util.hpp"

#include "common/py.hpp"

namespace corvane::quessel {

nb::object own(const char* name) {
    return py::attr(kModule, name);
}

nb::object join(nb::handle left, nb::handle right) {
    return py::steal_checked(PyNumber_TrueDivide(left.ptr(), right.ptr()));
}

nb::object call_kw(nb::handle fn, nb::handle kwargs) {
    nb::object no_args = nb::steal(PyTuple_New(0));
    return py::steal_checked(PyObject_Call(fn.ptr(), no_args.ptr(), kwargs.ptr()));
}

nb::object open_log(nb::handle path, const char* mode) {
    return py::attr("builtins", "open")(path, mode, nb::arg("encoding") = "utf-8",
                                        nb::arg("errors") = "replace");
}

nb::str cat(std::initializer_list<nb::handle> parts) {
    nb::list texts;
    for (nb::handle part : parts) {
        texts.append(nb::str(part));
    }
    return nb::borrow<nb::str>(nb::str("").attr("join")(texts));
}

void print_line(nb::handle line, bool flush) {
    py::attr("builtins", "print")(line, nb::arg("flush") = flush);
}

void FileCloser::close() {
    nb::object file = std::move(file_);
    file.attr("close")();
}

FileCloser::~FileCloser() {
    if (!file_.is_valid()) {
        return;
    }
    // A close error here would hide the exception already on its way out.
    try {
        file_.attr("close")();
    } catch (nb::python_error& error) {
        error.discard_as_unraisable("closing a quessel log");
    }
}

}  // namespace corvane::quessel
