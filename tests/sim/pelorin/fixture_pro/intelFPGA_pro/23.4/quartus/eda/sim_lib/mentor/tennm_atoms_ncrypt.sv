// device atoms, Mentor encryption (fixture stand-in)
`pragma protect begin_protected
`pragma protect encrypt_agent="fixture"
`pragma protect data_method="aes128-cbc"
`pragma protect data_block
ZGV2aWNlIGF0b21zIGRldmljZSBhdG9tcw==
`pragma protect end_protected
