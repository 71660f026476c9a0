// Fake Quartus simulation library (tests only): the LPM constant, enough for the tests' wiring.
`timescale 1 ps / 1 ps
module lpm_constant #(parameter lpm_width = 1, parameter lpm_cvalue = 0) (
    output [lpm_width-1:0] result
);
    assign result = lpm_cvalue;
endmodule
