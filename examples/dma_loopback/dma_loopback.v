// examples/dma_loopback/dma_loopback.v: copies a buffer through a read DMA into a write DMA.
//
// On a `start` pulse the design issues one read descriptor (source address, length, channel,
// start- and end-of-packet requested) on rdma_cmd and one write descriptor (destination address,
// same length) on wdma_cmd, forwards the read data from din to dout beat by beat through one
// register stage, and raises `done` once every beat has left on dout and both DMA responses
// have arrived. The response words are kept in rd_status/wr_status for the testbench.
//
// `passthrough` turns the design into a bare din -> dout loop that issues no descriptors, so a
// benchmark can move the same beats with plain stream endpoints in the same harness.
`timescale 1ns / 1ps

module dma_loopback #(
    parameter integer DATA_WIDTH = 128  // din/dout beat width; lengths are whole beats
) (
    input  wire                    clk,
    input  wire                    reset,

    // Control from the testbench.
    input  wire                    start,
    input  wire                    passthrough,
    input  wire [63:0]             src_address,
    input  wire [63:0]             dst_address,
    input  wire [31:0]             length,
    input  wire [7:0]              channel,
    output reg                     busy,
    output reg                     done,
    output reg                     channel_error,
    output reg  [31:0]             rd_status,
    output reg  [63:0]             wr_status,

    // Read DMA: descriptors out, responses and data in.
    output reg  [140:0]            rdma_cmd_data,
    output reg                     rdma_cmd_valid,
    input  wire                    rdma_cmd_ready,
    input  wire [31:0]             rdma_resp_data,
    input  wire                    rdma_resp_valid,
    output wire                    rdma_resp_ready,
    input  wire [DATA_WIDTH-1:0]   din_data,
    input  wire                    din_valid,
    output wire                    din_ready,
    input  wire                    din_startofpacket,
    input  wire                    din_endofpacket,
    input  wire [7:0]              din_channel,

    // Write DMA: descriptors and data out, responses in.
    output reg  [123:0]            wdma_cmd_data,
    output reg                     wdma_cmd_valid,
    input  wire                    wdma_cmd_ready,
    input  wire [63:0]             wdma_resp_data,
    input  wire                    wdma_resp_valid,
    output wire                    wdma_resp_ready,
    output reg  [DATA_WIDTH-1:0]   dout_data,
    output reg                     dout_valid,
    input  wire                    dout_ready,
    output reg                     dout_startofpacket,
    output reg                     dout_endofpacket
);

    localparam integer BEAT_BYTES = DATA_WIDTH / 8;

    localparam [1:0] S_IDLE = 2'd0, S_COMMAND = 2'd1, S_COPY = 2'd2;

    reg [1:0]  state;
    reg [31:0] beats_in;   // beats still to take from din
    reg [31:0] beats_out;  // beats still to hand to dout
    reg        rd_done, wr_done;

    // Read descriptor word: address[31:0], length, channel, SOP and EOP requested, stop and
    // reset clear, address[63:32] at bit 109. Plain wires rather than functions, so cocotb's
    // handle discovery finds only signals.
    wire [140:0] read_word = {src_address[63:32], 33'd0, 1'b0, 1'b0, 1'b1, 1'b1, channel, length,
                              src_address[31:0]};
    // Write descriptor word: address[31:0], length, end-on-EOP, stop and reset clear,
    // address[63:32] at bit 92.
    wire [123:0] write_word = {dst_address[63:32], 24'd0, 1'b0, 1'b0, 1'b0, 1'b1, length,
                               dst_address[31:0]};

    wire copying = (state == S_COMMAND || state == S_COPY) && beats_in != 0;
    // One register stage: take a beat whenever the stage is empty or drains this cycle.
    assign din_ready = (passthrough || copying) && (!dout_valid || dout_ready);
    assign rdma_resp_ready = 1'b1;
    assign wdma_resp_ready = 1'b1;

    wire din_fire = din_valid && din_ready;
    wire dout_fire = dout_valid && dout_ready;

    always @(posedge clk) begin
        if (reset) begin
            state <= S_IDLE;
            busy <= 1'b0;
            done <= 1'b0;
            channel_error <= 1'b0;
            rd_status <= 32'd0;
            wr_status <= 64'd0;
            rdma_cmd_data <= 141'd0;
            rdma_cmd_valid <= 1'b0;
            wdma_cmd_data <= 124'd0;
            wdma_cmd_valid <= 1'b0;
            dout_data <= {DATA_WIDTH{1'b0}};
            dout_valid <= 1'b0;
            dout_startofpacket <= 1'b0;
            dout_endofpacket <= 1'b0;
            beats_in <= 32'd0;
            beats_out <= 32'd0;
            rd_done <= 1'b0;
            wr_done <= 1'b0;
        end else begin
            if (din_fire) begin
                dout_data <= din_data;
                dout_valid <= 1'b1;
                dout_startofpacket <= din_startofpacket;
                dout_endofpacket <= din_endofpacket;
                if (!passthrough) begin
                    beats_in <= beats_in - 32'd1;
                    if (din_channel != channel) channel_error <= 1'b1;
                end
            end else if (dout_fire) begin
                dout_valid <= 1'b0;
            end
            if (dout_fire && !passthrough && beats_out != 0) beats_out <= beats_out - 32'd1;

            if (rdma_resp_valid && state != S_IDLE) begin
                rd_status <= rdma_resp_data;
                rd_done <= 1'b1;
            end
            if (wdma_resp_valid && state != S_IDLE) begin
                wr_status <= wdma_resp_data;
                wr_done <= 1'b1;
            end

            case (state)
                S_IDLE: begin
                    if (start && !passthrough) begin
                        busy <= 1'b1;
                        done <= 1'b0;
                        channel_error <= 1'b0;
                        rd_done <= 1'b0;
                        wr_done <= 1'b0;
                        beats_in <= length / BEAT_BYTES;
                        beats_out <= length / BEAT_BYTES;
                        rdma_cmd_data <= read_word;
                        rdma_cmd_valid <= 1'b1;
                        wdma_cmd_data <= write_word;
                        wdma_cmd_valid <= 1'b0;
                        state <= S_COMMAND;
                    end
                end
                S_COMMAND: begin
                    // Read first, then write, each held until the DMA takes it.
                    if (rdma_cmd_valid && rdma_cmd_ready) begin
                        rdma_cmd_valid <= 1'b0;
                        wdma_cmd_valid <= 1'b1;
                    end
                    if (wdma_cmd_valid && wdma_cmd_ready) begin
                        wdma_cmd_valid <= 1'b0;
                        state <= S_COPY;
                    end
                end
                S_COPY: begin
                    if (beats_out == 0 && rd_done && wr_done) begin
                        busy <= 1'b0;
                        done <= 1'b1;
                        state <= S_IDLE;
                    end
                end
                default: state <= S_IDLE;
            endcase
        end
    end

endmodule
