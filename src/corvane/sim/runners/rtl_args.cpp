// src/corvane/sim/runners/rtl_args.cpp: simulator-specific build and test arguments.
#include <cctype>

#include "rtl_runner.hpp"

namespace corvane::rtl {

std::vector<std::string> build_args_for(std::string_view sim) {
    std::vector<std::string> args;
    if (sim == "verilator") {
        // cocotb's VPI glue is C++20; Verilator's default standard is older on some hosts.
        args = {"-Wno-fatal", "--timescale", "1ns/1ps", "-CFLAGS", "-std=c++20"};
    }
    if (sim == "questa") {
        args = {"-timescale", "1ns/1ps"};
    }
    return args;
}

bool questa_acc_requested(const std::optional<std::string>& value) {
    // ASCII folding matches Python's str.lower() here: no non-ASCII character folds into any
    // letter of the accepted words.
    std::string lowered = value.value_or("0");
    for (char& c : lowered) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lowered == "1" || lowered == "true" || lowered == "yes" || lowered == "on";
}

std::vector<std::string> test_args_for(std::string_view sim, bool debug,
                                       const std::optional<std::string>& questa_acc) {
    std::vector<std::string> args;
    if (sim == "questa") {
        // A debug run always gets full visibility: the waveform GUI is useless without it.
        bool enable_acc = debug || questa_acc_requested(questa_acc);
        args.emplace_back(enable_acc ? "-voptargs=+acc" : "-no_autoacc");
        if (debug) {
            args.emplace_back("-do");
            args.emplace_back("wave.do");
        }
    }
    return args;
}

}  // namespace corvane::rtl
