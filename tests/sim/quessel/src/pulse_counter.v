// Project RTL (original source): counts cycles with `inc` high.
module pulse_counter #(parameter WIDTH = 8) (
    input                  clk,
    input                  rst,
    input                  inc,
    output reg [WIDTH-1:0] count
);
    always @(posedge clk)
        if (rst) count <= {WIDTH{1'b0}};
        else if (inc) count <= count + 1'b1;
endmodule
