// tests/sim/tavrin_st/st_loopback.v: three Avalon-ST streams looped through two-entry FIFOs.
//
// The testbench's sources drive the *_in ports and its sinks take the *_out ports; the FIFOs
// give each stream a ready of its own that depends on the far side, so back-pressure from a
// sink reaches its source a few cycles later. pk carries packets of 16 bytes per beat with
// empty, channel and error; cw one 141-bit word per beat; by 8 bytes per beat with packet
// markers that its sink ignores. xs is left to the testbench for faulty traffic.
`timescale 1ns / 1ps

module st_fifo #(
    parameter integer W = 8
) (
    input  wire         clk,
    input  wire         reset,
    input  wire [W-1:0] in_data,
    input  wire         in_valid,
    output wire         in_ready,
    output wire [W-1:0] out_data,
    output wire         out_valid,
    input  wire         out_ready
);
    reg [W-1:0] head, tail;
    reg [1:0]   count;

    wire push = in_valid && in_ready;
    wire pop = out_valid && out_ready;
    assign in_ready = count != 2'd2;
    assign out_valid = count != 2'd0;
    assign out_data = head;

    always @(posedge clk) begin
        if (reset) begin
            count <= 2'd0;
        end else begin
            case ({push, pop})
                2'b10: begin
                    if (count == 2'd0) head <= in_data;
                    else tail <= in_data;
                    count <= count + 2'd1;
                end
                2'b01: begin
                    head <= tail;
                    count <= count - 2'd1;
                end
                2'b11: begin
                    if (count == 2'd1) begin
                        head <= in_data;
                    end else begin
                        head <= tail;
                        tail <= in_data;
                    end
                end
                default: ;
            endcase
        end
    end
endmodule

module st_loopback (
    input  wire         clk,
    input  wire         reset,
    input  wire         reset_n,

    input  wire [127:0] pk_in_data,
    input  wire         pk_in_valid,
    output wire         pk_in_ready,
    input  wire         pk_in_startofpacket,
    input  wire         pk_in_endofpacket,
    input  wire [3:0]   pk_in_empty,
    input  wire [7:0]   pk_in_channel,
    input  wire [1:0]   pk_in_error,
    output wire [127:0] pk_out_data,
    output wire         pk_out_valid,
    input  wire         pk_out_ready,
    output wire         pk_out_startofpacket,
    output wire         pk_out_endofpacket,
    output wire [3:0]   pk_out_empty,
    output wire [7:0]   pk_out_channel,
    output wire [1:0]   pk_out_error,

    input  wire [140:0] cw_in_data,
    input  wire         cw_in_valid,
    output wire         cw_in_ready,
    output wire [140:0] cw_out_data,
    output wire         cw_out_valid,
    input  wire         cw_out_ready,

    input  wire [63:0]  by_in_data,
    input  wire         by_in_valid,
    output wire         by_in_ready,
    input  wire         by_in_startofpacket,
    input  wire         by_in_endofpacket,
    output wire [63:0]  by_out_data,
    output wire         by_out_valid,
    input  wire         by_out_ready,
    output wire         by_out_startofpacket,
    output wire         by_out_endofpacket,

    input  wire [15:0]  xs_data,
    input  wire         xs_valid,
    input  wire         xs_ready,
    input  wire         xs_startofpacket,
    input  wire         xs_endofpacket
);
    st_fifo #(.W(128 + 2 + 4 + 8 + 2)) pk (
        .clk(clk), .reset(reset),
        .in_data({pk_in_data, pk_in_startofpacket, pk_in_endofpacket, pk_in_empty,
                  pk_in_channel, pk_in_error}),
        .in_valid(pk_in_valid), .in_ready(pk_in_ready),
        .out_data({pk_out_data, pk_out_startofpacket, pk_out_endofpacket, pk_out_empty,
                   pk_out_channel, pk_out_error}),
        .out_valid(pk_out_valid), .out_ready(pk_out_ready));

    st_fifo #(.W(141)) cw (
        .clk(clk), .reset(reset),
        .in_data(cw_in_data), .in_valid(cw_in_valid), .in_ready(cw_in_ready),
        .out_data(cw_out_data), .out_valid(cw_out_valid), .out_ready(cw_out_ready));

    st_fifo #(.W(64 + 2)) by (
        .clk(clk), .reset(reset),
        .in_data({by_in_data, by_in_startofpacket, by_in_endofpacket}),
        .in_valid(by_in_valid), .in_ready(by_in_ready),
        .out_data({by_out_data, by_out_startofpacket, by_out_endofpacket}),
        .out_valid(by_out_valid), .out_ready(by_out_ready));
endmodule
