// tests/sim/sarnel/vip_invert.v: a VIP packet pattern source feeding a colour inverter.
//
// The source sends, on src_*, one Avalon-ST Video stream of 24-bit beats (three 8-bit colour
// planes in parallel, plane 0 in the low byte): a control packet for WIDTH x HEIGHT, a video
// packet, a user packet (type 3), a video packet one pixel short, and a second full video
// packet. The inverter passes every packet to dout_* and inverts the pixel beats of video
// packets. dout_ready backpressures both.
`timescale 1ns / 1ps

module vip_invert #(
    parameter WIDTH = 4,
    parameter HEIGHT = 3
) (
    input             clk,
    input             rst,
    output     [23:0] src_data,
    output            src_valid,
    output            src_ready,
    output            src_startofpacket,
    output            src_endofpacket,
    output     [23:0] dout_data,
    output            dout_valid,
    input             dout_ready,
    output            dout_startofpacket,
    output            dout_endofpacket
);
    localparam PIXELS = WIDTH * HEIGHT;
    localparam LAST_PACKET = 4;

    reg [2:0] packet;
    reg [15:0] beat;
    reg done;

    // Index of the last beat of each packet (beat 0 is the packet-type header).
    reg [15:0] last_beat;
    always @(*) begin
        case (packet)
            3'd0: last_beat = 16'd3;          // 9 nibbles of control data in 3 beats
            3'd2: last_beat = 16'd2;          // user packet: 2 beats of data
            3'd3: last_beat = PIXELS - 1;     // one pixel short
            default: last_beat = PIXELS;
        endcase
    end

    wire [3:0] packet_type = packet == 3'd0 ? 4'd15 : packet == 3'd2 ? 4'd3 : 4'd0;

    // Control nibbles, most significant first: width, height, interlacing.
    wire [15:0] w16 = WIDTH;
    wire [15:0] h16 = HEIGHT;
    wire [35:0] nibbles = {w16, h16, 4'd0};
    function [3:0] nibble(input integer n);
        nibble = nibbles[35 - 4 * n -: 4];
    endfunction

    function [7:0] pixel_symbol(input integer pixel, input integer plane);
        pixel_symbol = pixel * 20 + plane * 7 + packet * 3;
    endfunction

    reg [23:0] data;
    always @(*) begin
        if (beat == 0)
            data = {20'd0, packet_type};
        else if (packet == 3'd0)
            data = {4'd0, nibble((beat - 1) * 3 + 2), 4'd0, nibble((beat - 1) * 3 + 1),
                    4'd0, nibble((beat - 1) * 3)};
        else if (packet == 3'd2)
            data = {8'h33, 8'h22, beat[7:0]};
        else
            data = {pixel_symbol(beat - 1, 2), pixel_symbol(beat - 1, 1),
                    pixel_symbol(beat - 1, 0)};
    end

    assign src_data = data;
    assign src_valid = !rst && !done;
    assign src_ready = dout_ready;
    assign src_startofpacket = src_valid && beat == 0;
    assign src_endofpacket = src_valid && beat == last_beat;

    always @(posedge clk) begin
        if (rst) begin
            packet <= 0;
            beat <= 0;
            done <= 0;
        end else if (src_valid && src_ready) begin
            if (src_endofpacket) begin
                beat <= 0;
                if (packet == LAST_PACKET)
                    done <= 1;
                else
                    packet <= packet + 1;
            end else begin
                beat <= beat + 1;
            end
        end
    end

    // The inverter: the header beat says whether the packet is video.
    reg in_video;
    always @(posedge clk) begin
        if (rst)
            in_video <= 0;
        else if (src_valid && src_ready && src_startofpacket)
            in_video <= src_data[3:0] == 4'd0;
    end

    assign dout_data = in_video && !src_startofpacket ? ~src_data : src_data;
    assign dout_valid = src_valid;
    assign dout_startofpacket = src_startofpacket;
    assign dout_endofpacket = src_endofpacket;
endmodule
