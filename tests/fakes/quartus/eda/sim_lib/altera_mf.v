// Fake Quartus simulation library (tests only): a reset-to-zero synchronizer chain.
`timescale 1 ps / 1 ps
module altera_std_synchronizer #(parameter depth = 3) (
    input  clk,
    input  reset_n,
    input  din,
    output dout
);
    reg [depth-1:0] chain;
    always @(posedge clk or negedge reset_n)
        if (!reset_n) chain <= {depth{1'b0}};
        else chain <= {chain[depth-2:0], din};
    assign dout = chain[depth-1];
endmodule
