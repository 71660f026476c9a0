// altera_primitives.v (fixture): a tiny stand-in for the Quartus simulation library, holding
// only the register cell that the fixture's gate-level netlist uses.
`timescale 1 ps / 1 ps
module dffeas (
    input  wire d,
    input  wire clk,
    input  wire ena,
    input  wire clrn,
    output reg  q
);
    always @(posedge clk or negedge clrn) begin
        if (!clrn)    q <= 1'b0;
        else if (ena) q <= d;
    end
endmodule
