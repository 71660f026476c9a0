-- altera_mf.vhd (fixture): the VHDL twin of a device library, compiled by the script's vcom line.
library ieee;
use ieee.std_logic_1164.all;
package altera_mf_components is
end package altera_mf_components;
