// src/corvane/sim/runners/rtl_args.cpp: simulator-specific build and test arguments.
#include "rtl_runner.hpp"

namespace corvane::rtl {

std::vector<std::string> build_args_for(Simulator sim) {
    std::vector<std::string> args;
    if (sim == Simulator::verilator) {
        // cocotb's VPI glue is C++20; Verilator's default standard is older on some hosts.
        args = {"-Wno-fatal", "--timescale", "1ns/1ps", "-CFLAGS", "-std=c++20"};
    }
    if (sim == Simulator::questa) {
        args = {"-timescale", "1ns/1ps"};
    }
    return args;
}

std::vector<std::string> test_args_for(Simulator sim, bool debug, bool acc_requested) {
    std::vector<std::string> args;
    if (sim == Simulator::questa) {
        // A debug run always gets full visibility: the waveform GUI is useless without it.
        bool enable_acc = debug || acc_requested;
        args.emplace_back(enable_acc ? "-voptargs=+acc" : "-no_autoacc");
        if (debug) {
            args.emplace_back("-do");
            args.emplace_back("wave.do");
        }
    }
    return args;
}

}  // namespace corvane::rtl
