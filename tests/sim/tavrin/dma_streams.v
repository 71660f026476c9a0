// tests/sim/tavrin/dma_streams.v: the six Avalon-ST streams between a design and the DMA model.
//
// No logic: every signal is a port, so the testbench plays the design under test (it issues
// descriptors on rdma_cmd/wdma_cmd, takes responses and din, sends dout) while TavrinBFM plays
// the DMA components, and both sides can be watched cycle by cycle. `odd_data` is a 36-bit
// stream for width checks. Widths of din and dout are parameters (bytes per beat * 8).
`timescale 1ns / 1ps

module dma_streams #(
    parameter DIN_WIDTH  = 128,
    parameter DOUT_WIDTH = 64
) (
    input wire                  clk,
    input wire                  reset,

    input wire [140:0]          rdma_cmd_data,
    input wire                  rdma_cmd_valid,
    input wire                  rdma_cmd_ready,

    input wire [31:0]           rdma_resp_data,
    input wire                  rdma_resp_valid,
    input wire                  rdma_resp_ready,

    input wire [DIN_WIDTH-1:0]  din_data,
    input wire                  din_valid,
    input wire                  din_ready,
    input wire                  din_startofpacket,
    input wire                  din_endofpacket,
    input wire [7:0]            din_channel,

    input wire [123:0]          wdma_cmd_data,
    input wire                  wdma_cmd_valid,
    input wire                  wdma_cmd_ready,

    input wire [63:0]           wdma_resp_data,
    input wire                  wdma_resp_valid,
    input wire                  wdma_resp_ready,

    input wire [DOUT_WIDTH-1:0] dout_data,
    input wire                  dout_valid,
    input wire                  dout_ready,
    input wire                  dout_startofpacket,
    input wire                  dout_endofpacket,

    input wire [35:0]           odd_data,
    input wire                  odd_valid,
    input wire                  odd_ready
);
endmodule
