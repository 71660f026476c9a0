// tests/sim/tavrin_wiring/tavrin_wiring.v: the DMA client wired right with an active-low reset,
// and beside it the common wiring mistakes, one per instance.
//
// The top is the loopback example behind an active-low reset (reset_n), with a din_empty port
// the model can see. Each mistake instance only has ports (nobody drives them): the model's
// construction looks at their names and widths, which is all a wiring check needs.
`timescale 1ns / 1ps

// One side's streams; widths are parameters so one module covers the width mistakes.
module read_streams #(parameter CMD_WIDTH = 141, parameter RESP_WIDTH = 32) (
    input wire [CMD_WIDTH-1:0]  rdma_cmd_data,
    input wire                  rdma_cmd_valid, rdma_cmd_ready,
    input wire [RESP_WIDTH-1:0] rdma_resp_data,
    input wire                  rdma_resp_valid, rdma_resp_ready,
    input wire [127:0]          din_data,
    input wire                  din_valid, din_ready, din_startofpacket, din_endofpacket
);
endmodule

module write_streams #(parameter RESP_WIDTH = 64) (
    input wire [123:0]          wdma_cmd_data,
    input wire                  wdma_cmd_valid, wdma_cmd_ready,
    input wire [RESP_WIDTH-1:0] wdma_resp_data,
    input wire                  wdma_resp_valid, wdma_resp_ready,
    input wire [63:0]           dout_data,
    input wire                  dout_valid, dout_ready
);
endmodule

// The checks stop at the first stream that is wrong, so a mistake in rdma_cmd needs no more.
// rdma_cmd_dat instead of rdma_cmd_data.
module misspelt_data (input wire [140:0] rdma_cmd_dat, input wire rdma_cmd_valid, rdma_cmd_ready);
endmodule

// rdma_cmd_vld instead of rdma_cmd_valid.
module misspelt_valid (input wire [140:0] rdma_cmd_data, input wire rdma_cmd_vld, rdma_cmd_ready);
endmodule

// dout without its valid.
module dout_without_valid (
    input wire [123:0] wdma_cmd_data,
    input wire         wdma_cmd_valid, wdma_cmd_ready,
    input wire [63:0]  wdma_resp_data,
    input wire         wdma_resp_valid, wdma_resp_ready,
    input wire [63:0]  dout_data,
    input wire         dout_ready
);
endmodule

module tavrin_wiring (
    input  wire          clk,
    input  wire          reset_n,
    input  wire          start,
    input  wire          passthrough,
    input  wire [63:0]   src_address,
    input  wire [63:0]   dst_address,
    input  wire [31:0]   length,
    input  wire [7:0]    channel,
    output wire          busy,
    output wire          done,
    output wire          channel_error,
    output wire [31:0]   rd_status,
    output wire [63:0]   wr_status,
    output wire [140:0]  rdma_cmd_data,
    output wire          rdma_cmd_valid,
    input  wire          rdma_cmd_ready,
    input  wire [31:0]   rdma_resp_data,
    input  wire          rdma_resp_valid,
    output wire          rdma_resp_ready,
    input  wire [127:0]  din_data,
    input  wire          din_valid,
    output wire          din_ready,
    input  wire          din_startofpacket,
    input  wire          din_endofpacket,
    input  wire [3:0]    din_empty,  // seen by the model; the loopback moves whole beats only
    input  wire [7:0]    din_channel,
    output wire [123:0]  wdma_cmd_data,
    output wire          wdma_cmd_valid,
    input  wire          wdma_cmd_ready,
    input  wire [63:0]   wdma_resp_data,
    input  wire          wdma_resp_valid,
    output wire          wdma_resp_ready,
    output wire [127:0]  dout_data,
    output wire          dout_valid,
    input  wire          dout_ready,
    output wire          dout_startofpacket,
    output wire          dout_endofpacket
);
    // Every port by its name (.*), but the reset, which the loopback takes active-high.
    dma_loopback loop (.*, .reset(!reset_n));

    read_streams right_reads ();
    write_streams right_writes ();
    misspelt_data no_data ();
    misspelt_valid no_valid ();
    dout_without_valid no_dout_valid ();
    read_streams #(.CMD_WIDTH(64)) narrow_rdma_cmd ();
    read_streams #(.RESP_WIDTH(2)) narrow_rdma_resp ();
    write_streams #(.RESP_WIDTH(32)) narrow_wdma_resp ();
endmodule
