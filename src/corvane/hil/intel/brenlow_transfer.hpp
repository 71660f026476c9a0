// src/corvane/hil/intel/brenlow_transfer.hpp: memory block transfers and the JTAG UART exchange.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::brenlow {

namespace nb = nanobind;

nb::object data_dir(nb::handle self);
void write_memory(nb::handle self, nb::handle data, nb::handle address, nb::handle chunk_size,
                  nb::handle dtype);
nb::object read_memory(nb::handle self, nb::handle shape, nb::handle address, nb::handle chunk_size,
                       nb::handle dtype);
void transfer(nb::handle self, nb::handle operation, nb::handle fields, nb::handle total_bytes,
              nb::handle desc);
nb::object command(nb::handle self, nb::handle command, nb::handle timeout, nb::handle debug);

}  // namespace corvane::brenlow
