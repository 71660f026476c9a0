// prosys_count_200_monitor.v (fixture): a Mentor-encrypted copy
module prosys_count_200_monitor (input wire clk);
`pragma protect begin_protected
`pragma protect encrypt_agent="fixture"
`pragma protect data_block
Z2FyYmxlZCBnYXJibGVkIGdhcmJsZWQ=
`pragma protect end_protected
endmodule
