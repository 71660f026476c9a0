// tests/sim/tavrin_monitor/command_streams.v: bare read/write DMA command streams for the monitor.
//
// Every signal is a port the testbench drives, so a source in the test plays the design that
// issues descriptors and `*_ready` plays the DMA that takes them; the monitor only watches.
`timescale 1ns / 1ps

module command_streams (
    input wire         clk,
    input wire         reset,
    input wire [140:0] rdma_cmd_data,
    input wire         rdma_cmd_valid,
    input wire         rdma_cmd_ready,
    input wire [123:0] wdma_cmd_data,
    input wire         wdma_cmd_valid,
    input wire         wdma_cmd_ready
);
endmodule
