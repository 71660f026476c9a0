// Project RTL (original source): one-cycle pulse on each rising edge of `din`.
module edge_detect (
    input  logic clk,
    input  logic rst,
    input  logic din,
    output logic rise
);
    logic last;
    always_ff @(posedge clk)
        if (rst) last <= 1'b0;
        else last <= din;
    assign rise = din & ~last;
endmodule
