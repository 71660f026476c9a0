// prosys.v: the generated system top level (fixture): a counter whose value leaves the system
// Gray-coded through a gate-level netlist, one clock later.
`timescale 1 ps / 1 ps
module prosys (
    input  wire       clk_clk,
    input  wire       reset_reset_n,
    input  wire       count_enable,
    output wire [3:0] count_value,
    output wire [3:0] gray_value
);
    prosys_count_200_core count_0 (
        .clk     (clk_clk),
        .reset_n (reset_reset_n),
        .enable  (count_enable),
        .count   (count_value)
    );

    prosys_gray_enc_100_k3xq7ba gray_0 (
        .clk     (clk_clk),
        .reset_n (reset_reset_n),
        .bin     (count_value),
        .gray    (gray_value)
    );
endmodule
