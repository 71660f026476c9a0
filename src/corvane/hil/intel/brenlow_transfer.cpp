// src/corvane/hil/intel/brenlow_transfer.cpp: memory block transfers and the JTAG UART exchange.
//
// Bulk data never crosses the text pipe: the host and the session script hand it over in
// "data_in.bin" / "data_out.bin" (raw little-endian words, 16-bit unless asked otherwise), and
// the pipe carries only the request, one progress line per chunk and the end line.
#include "brenlow_transfer.hpp"

#include <Python.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "brenlow_session.hpp"
#include "brenlow_text.hpp"
#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::brenlow {

namespace {

// The word types a transfer moves; the files stay byte streams whatever the type.
constexpr const char* kWordTypes[] = {"<u1", "<u2", "<u4", "<u8"};

// int(value). Taking a handle matters: nb::int_ of an item or attribute accessor would borrow
// the value unconverted.
nb::object to_int(nb::handle value) {
    return nb::int_(value);
}

nb::object to_str(std::string_view text) {
    return nb::str(text.data(), text.size());
}

/// Absolute, links resolved, forward slashes on every platform: the form the script opens.
nb::object script_path(nb::handle path) {
    return path.attr("resolve")().attr("as_posix")();
}

nb::object hex_address(nb::handle address) {
    return py::attr("builtins", "hex")(address);
}

/// Closes the progress bar on every way out of a transfer, an error included.
class BarCloser {
  public:
    explicit BarCloser(nb::handle bar) : bar_(bar) {}
    ~BarCloser() {
        try {
            bar_.attr("close")();
        } catch (nb::python_error& error) {
            error.discard_as_unraisable(bar_);
        }
    }
    BarCloser(const BarCloser&) = delete;
    BarCloser& operator=(const BarCloser&) = delete;

  private:
    nb::handle bar_;
};

// A progress line has exactly six fields; other counts fail the way unpacking them would.
void check_progress_field_count(size_t count) {
    if (count > 6) {
        raise(PyExc_ValueError, "too many values to unpack (expected 6)");
    }
    if (count < 6) {
        raise(PyExc_ValueError,
              "not enough values to unpack (expected 6, got " + std::to_string(count) + ")");
    }
}

// numpy.dtype(dtype) when it is one of the little-endian unsigned word types (a native or
// byte-order-free spelling of one counts), checked before anything starts.
nb::object word_type(nb::handle dtype) {
    nb::object type = py::attr("numpy", "dtype")(dtype);
    for (const char* name : kWordTypes) {
        nb::object accepted = py::attr("numpy", "dtype")(name);
        if (type.equal(accepted)) {
            return accepted;
        }
    }
    raise(PyExc_ValueError,
          "dtype must be a little-endian unsigned integer type of 8, 16, 32 or 64 bits ('<u1', "
          "'<u2', '<u4' or '<u8'), not " +
              py::str(type));
}

}  // namespace

nb::object data_dir(nb::handle self) {
    nb::object work_dir = self.attr("work_dir");
    if (!work_dir.is_none()) {
        return work_dir;
    }
    return py::attr("pathlib", "Path").attr("cwd")();
}

void write_memory(nb::handle self, nb::handle data, nb::handle address, nb::handle chunk_size,
                  nb::handle dtype) {
    nb::object type = word_type(dtype);
    SessionLock guard(self);
    self.attr("_start")();
    nb::object input_file = self.attr("_data_dir")().attr("joinpath")("data_in.bin");
    nb::object words = py::attr("numpy", "asarray")(data);
    // NumPy infers floats (or objects) for Python integers at or above 2**63 beside smaller
    // ones, and the cast from those would corrupt 64-bit words: such input is converted to the
    // word type directly.
    if (nb::cast<long>(type.attr("itemsize")) == 8 &&
        std::string_view("fO").find(py::str(words.attr("dtype").attr("kind"))) !=
            std::string_view::npos &&
        !py::isinstance(data, "numpy", "ndarray")) {
        words = py::attr("numpy", "asarray")(data, nb::arg("dtype") = type);
    }
    words = words.attr("astype")(type, nb::arg("copy") = false);
    words.attr("tofile")(input_file);
    nb::object total_bytes = input_file.attr("stat")().attr("st_size");
    nb::object fields =
        nb::make_tuple(script_path(input_file), hex_address(address), to_int(chunk_size));
    self.attr("_transfer")("WRITE", fields, total_bytes, "JTAG write");
}

nb::object read_memory(nb::handle self, nb::handle shape, nb::handle address, nb::handle chunk_size,
                       nb::handle dtype) {
    nb::object type = word_type(dtype);
    SessionLock guard(self);
    self.attr("_start")();
    nb::object output_file = self.attr("_data_dir")().attr("joinpath")("data_out.bin");
    nb::object expected_words = to_int(shape[0]) * to_int(shape[1]);
    nb::object total_bytes = expected_words * type.attr("itemsize");
    nb::object fields = nb::make_tuple(script_path(output_file), hex_address(address), total_bytes,
                                       to_int(chunk_size));
    self.attr("_transfer")("READ", fields, total_bytes, "JTAG read");

    nb::object data = py::attr("numpy", "fromfile")(output_file, nb::arg("dtype") = type);
    nb::object got = data.attr("size");
    if (!got.equal(expected_words)) {
        raise(PyExc_RuntimeError, "Read size mismatch: got " + py::str(got) + " words, expected " +
                                      py::str(expected_words));
    }
    return data.attr("reshape")(shape);
}

void transfer(nb::handle self, nb::handle operation, nb::handle fields, nb::handle total_bytes,
              nb::handle desc) {
    nb::object last_done = nb::int_(0);
    nb::object bar = py::attr("tqdm", "tqdm")(
        nb::arg("total") = total_bytes, nb::arg("desc") = desc, nb::arg("unit") = "B",
        nb::arg("unit_scale") = true, nb::arg("dynamic_ncols") = true, nb::arg("leave") = true);
    BarCloser closer(bar);

    nb::list request;
    request.append(operation);
    for (nb::handle field : fields) {
        request.append(field);
    }
    Session& session = state(self);
    std::string op(utf8(operation));
    // Each chunk may take long on a slow cable: the limit is on the silence between progress
    // lines, not on the transfer. A dead child ends the wait through the end-of-output marker.
    const std::optional<double> stall = session.stall_timeout;
    send_request(self, session, request, Unanswered{op, stall});

    LineWait wait(stall);
    for (;;) {
        nb::object line;
        try {
            line = wait.next(self);
        } catch (nb::python_error& error) {
            if (!stall || !error.matches(PyExc_TimeoutError)) {
                throw;
            }
            nb::object address = request.size() > 2 ? nb::object(request[2]) : nb::str("?");
            raise_from(PyExc_TimeoutError,
                       op + " at " + py::str(address) + " stalled after " + py::str(last_done) +
                           " of " + py::str(total_bytes) +
                           " bytes: no progress from system-console for " +
                           py::str(nb::float_(*stall)) + " s (stall_timeout)",
                       error.value());
        }
        std::string_view text = utf8(line);
        Line kind = classify(op, text);
        if (kind == Line::progress) {
            auto progress = split_tabs(text);
            nb::object done;
            try {
                check_progress_field_count(progress.size());
                done = to_int(to_str(progress[1]));
            } catch (nb::python_error&) {
                // A console that does not speak the protocol: the caller hears of it at once,
                // and the request stays unanswered, so its end line (should one still come) is
                // drained before the next request instead of being taken as that one's answer.
                throw;
            }
            bar.attr("update")(done - last_done);
            last_done = done;
            std::string postfix =
                "addr=" + std::string(progress[5]) + ", chunk=" + std::string(progress[4]);
            bar.attr("set_postfix_str")(to_str(postfix), nb::arg("refresh") = true);
            wait.renew();
        } else if (kind == Line::answer) {
            session.unanswered.reset();
            if (after_keyword(text, "JTAG_ERROR")) {
                raise(PyExc_RuntimeError, text);
            }
            return;
        }
    }
}

nb::object command(nb::handle self, nb::handle command, nb::handle timeout, nb::handle debug) {
    if (!PyUnicode_CheckExact(command.ptr())) {
        raise(PyExc_TypeError, "command must be a str");
    }
    std::string_view text = utf8(command);
    if (text.empty()) {
        raise(PyExc_ValueError, "command must not be empty");
    }
    nb::object payload_hex = to_str(hex_encode(text));
    double seconds = nb::cast<double>(nb::float_(timeout));
    // int() of the product, as the host computes it (OverflowError for inf, ValueError for nan).
    nb::object timeout_ms = py::steal_checked(PyLong_FromDouble(seconds * 1000.0));
    if (timeout_ms < nb::int_(1)) {
        timeout_ms = nb::int_(1);
    }
    // The script stops listening at its own limit; one second more covers its answer's way back.
    nb::object line_timeout = nb::float_(seconds + 1.0);
    bool echo = py::truthy(debug);

    SessionLock guard(self);
    self.attr("_start")();
    Session& session = state(self);
    nb::list request;
    request.append("UART");
    request.append(payload_hex);
    request.append(timeout_ms);
    send_request(self, session, request, Unanswered{"UART", std::max(seconds, 0.0) + 1.0});
    nb::object line;
    std::string_view raw;
    for (;;) {
        line = self.attr("_next_line")(nb::arg("timeout") = line_timeout);
        if (echo) {
            py::print("SYSTEM-CONSOLE: " + py::str(nb::repr(line)));
        }
        std::string_view received = utf8(line);
        if (classify("UART", received) == Line::answer) {
            session.unanswered.reset();
            if (after_keyword(received, "JTAG_ERROR")) {
                raise(PyExc_RuntimeError, received);
            }
            raw = *after_keyword(received, "UART_RESULT");
            break;
        }
    }

    nb::object bytes = py::attr("builtins", "bytes").attr("fromhex")(to_str(raw));
    nb::object response = bytes.attr("decode")("utf-8", "replace");
    for (nb::handle response_line : response.attr("splitlines")()) {
        nb::object stripped = response_line.attr("strip")();
        if (PyUnicode_GET_LENGTH(stripped.ptr()) > 0) {
            return stripped;
        }
    }
    raise(PyExc_RuntimeError, "Nios returned an empty response");
}

}  // namespace corvane::brenlow
