// prosys_count_200_decoy.sv (fixture): an older core that the user commented out of the file
// list; it counts down, so a build that picks it up fails the test.
`timescale 1 ps / 1 ps
module prosys_count_200_core (
    input  logic       clk,
    input  logic       reset_n,
    input  logic       enable,
    output logic [3:0] count
);
    always_ff @(posedge clk or negedge reset_n) begin
        if (!reset_n)    count <= 4'd0;
        else if (enable) count <= count - 4'd1;
    end
endmodule
