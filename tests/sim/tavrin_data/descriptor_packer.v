// tests/sim/tavrin_data/descriptor_packer.v: packs descriptor fields into DMA command words.
//
// The bits outside the layouts are driven to 1 so a decoder that reads them is caught; the
// byte path returns each input byte inverted one clock later.
`timescale 1ns / 1ps

module descriptor_packer (
    input  wire         clk,
    input  wire [ 63:0] address,
    input  wire [ 31:0] length,
    input  wire [  7:0] channel,
    input  wire [  3:0] flags,
    output reg  [140:0] rdma_cmd_data,
    output reg  [123:0] wdma_cmd_data,
    input  wire [  7:0] din,
    output reg  [  7:0] dout
);
    always @(posedge clk) begin
        rdma_cmd_data <= {address[63:32], {33{1'b1}}, flags, channel, length, address[31:0]};
        wdma_cmd_data <= {address[63:32], {24{1'b1}}, flags[3], flags[2], 1'b1, flags[0], length,
                          address[31:0]};
        dout <= ~din;
    end
endmodule
