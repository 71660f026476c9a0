# system_console_stubs.tcl: System Console's service commands over a simulated board, for the
# fake system-console. Arguments: the session script, then the script's own arguments.
#
# Each device (a board on its own cable) has Avalon-MM masters over one sparse byte memory (kept
# for the life of the process, shared by all) and JTAG UARTs wired to a small line-oriented
# monitor program:
#   ver           -> a version line
#   echo TEXT     -> TEXT
#   pad           -> a blank line, then "  ok  "
#   blank         -> only blank lines
#   silent        -> nothing at all
#   peek ADDRESS  -> the 16-bit little-endian word at ADDRESS, as 0x%04x
#   anything else -> "ERR unknown command ..."
#
# Fault knobs (environment):
#   FAKE_SC_BANNER=N          print N banner lines before the script runs
#   FAKE_SC_BANNER_ENCODING=E ... in the encoding E (default utf-8); the lines name a café
#   FAKE_SC_DEVICES=N         number of devices, on the cables USB-1 to USB-N (default 1)
#   FAKE_SC_MASTERS=N         Avalon-MM masters of each device (default 1; 0 makes the script
#                             refuse)
#   FAKE_SC_UARTS=N           JTAG UARTs of each device (default 1)
#   FAKE_SC_CLAIM_LOG=PATH    append the type and path of every claimed service to PATH
#   FAKE_SC_PID_FILE=PATH     append the process id to PATH at start
#   FAKE_SC_SILENT=1          never run the script: read requests and say nothing, end on QUIT
#   FAKE_SC_IGNORE_QUIT=1     with FAKE_SC_SILENT, do not end on QUIT either
#   FAKE_SC_CRLF=1            end every output line with CR LF
#   FAKE_SC_DELAY_MS=N        each memory access takes N ms
#   FAKE_SC_STALL_MS=N        the first memory access once FAKE_SC_STALL_AFTER bytes (default 0)
#                             have moved waits N ms (a cable that stops answering for a while)
#   FAKE_SC_DIE_AFTER=N       the process exits with status 3 once N memory bytes have moved
#   FAKE_SC_MEMORY_SIZE=N     accesses at or above byte N fail with a bus error
#   FAKE_SC_UART_DELAY_MS=N   the monitor answers N ms after the command line (default 2)
#   FAKE_SC_HEX_BYTES=1       master_read_memory answers 0x%02x words instead of decimal values

set script [lindex $argv 0]
set argv [lrange $argv 1 end]
set argc [llength $argv]
set argv0 $script

proc knob {name default} {
    if {[info exists ::env($name)] && $::env($name) ne ""} {
        return $::env($name)
    }
    return $default
}

if {[knob FAKE_SC_PID_FILE ""] ne ""} {
    set pid_file [open [knob FAKE_SC_PID_FILE ""] a]
    puts $pid_file [pid]
    close $pid_file
}
if {[knob FAKE_SC_CRLF 0]} {
    fconfigure stdout -translation crlf
}
set encoding [fconfigure stdout -encoding]
fconfigure stdout -encoding [knob FAKE_SC_BANNER_ENCODING utf-8]
for {set i 0} {$i < [knob FAKE_SC_BANNER 0]} {incr i} {
    puts "Info: fake System Console banner line [expr {$i + 1}]: JTAG cable USB-Blaster \[1-1\]\
          in the caf\u00e9 lab"
}
flush stdout
fconfigure stdout -encoding $encoding

if {[knob FAKE_SC_SILENT 0]} {
    while {[gets stdin line] >= 0} {
        if {[string trimright $line "\r"] eq "QUIT" && ![knob FAKE_SC_IGNORE_QUIT 0]} {
            exit 0
        }
    }
    exit 0
}

# --- services ----------------------------------------------------------------------------------

# Real service paths hold spaces, parentheses and '#': a script that splits them breaks here too.
# A service's path starts with the path of the device it belongs to.
array set service_paths {device {} master {} bytestream {}}
for {set d 1} {$d <= [knob FAKE_SC_DEVICES 1]} {incr d} {
    set dev "/devices/10M50DA(.|ES)|10M50DC@1#USB-$d (DE10-Lite)"
    lappend service_paths(device) $dev
    for {set i 0} {$i < [knob FAKE_SC_MASTERS 1]} {incr i} {
        lappend service_paths(master) "$dev/(link)/JTAG/(110:132 v1 #$i)/phy_$i/master"
    }
    for {set i 0} {$i < [knob FAKE_SC_UARTS 1]} {incr i} {
        lappend service_paths(bytestream) "$dev/(link)/JTAG/(110:128 v1 #$i)/jtag_uart_$i.jtag"
    }
}
set claims 0

# get_service_paths ?-device DEVICE_PATH? SERVICE_TYPE
proc get_service_paths {args} {
    set type [lindex $args end]
    set options [lrange $args 0 end-1]
    if {[llength $args] == 0 || [llength $options] % 2} {
        error "wrong # args: should be \"get_service_paths ?-device path? service_type\""
    }
    set paths {}
    if {[info exists ::service_paths($type)]} {
        set paths $::service_paths($type)
    }
    foreach {option value} $options {
        if {$option ne "-device"} {
            error "bad option \"$option\": must be -device"
        }
        set paths [lmap path $paths {
            if {[string first "$value/" $path] != 0} {
                continue
            }
            set path
        }]
    }
    return $paths
}

proc claim_service {type path group {claims ""}} {
    if {[lsearch -exact [get_service_paths $type] $path] < 0} {
        error "no $type service at path $path"
    }
    if {[knob FAKE_SC_CLAIM_LOG ""] ne ""} {
        set log [open [knob FAKE_SC_CLAIM_LOG ""] a]
        puts $log "$type\t$path"
        close $log
    }
    incr ::claims
    set claimed "/channels/local/$group/${type}_$::claims"
    set ::claimed($claimed) $type
    return $claimed
}

proc close_service {type path} {
    if {![info exists ::claimed($path)]} {
        error "service $path is not open"
    }
    unset ::claimed($path)
}

proc require_claim {type path} {
    if {![info exists ::claimed($path)] || $::claimed($path) ne $type} {
        error "$path is not a claimed $type service"
    }
}

# --- memory ------------------------------------------------------------------------------------

set page_size 4096
set zero_page [binary format x$page_size]
set moved 0
set stalled 0

proc access {address count} {
    set limit [knob FAKE_SC_MEMORY_SIZE ""]
    if {$limit ne "" && $address + $count > $limit} {
        error "bus error: no slave answers at [format 0x%llx [expr {max($address, $limit)}]]"
    }
    set stall [knob FAKE_SC_STALL_MS ""]
    if {$stall ne "" && !$::stalled && $::moved >= [knob FAKE_SC_STALL_AFTER 0]} {
        set ::stalled 1
        after $stall
    }
    set delay [knob FAKE_SC_DELAY_MS 0]
    if {$delay > 0} {
        after $delay
    }
    incr ::moved $count
    set die_after [knob FAKE_SC_DIE_AFTER ""]
    if {$die_after ne "" && $::moved >= $die_after} {
        exit 3
    }
}

proc store {address data} {
    set count [string length $data]
    set offset 0
    while {$offset < $count} {
        set at [expr {$address + $offset}]
        set page [expr {$at / $::page_size}]
        set in [expr {$at % $::page_size}]
        set take [expr {min($::page_size - $in, $count - $offset)}]
        set piece [string range $data $offset [expr {$offset + $take - 1}]]
        if {$take == $::page_size} {
            set ::memory($page) $piece
        } else {
            if {[info exists ::memory($page)]} {
                set old $::memory($page)
            } else {
                set old $::zero_page
            }
            set ::memory($page) [binary format a*a*a* [string range $old 0 [expr {$in - 1}]] \
                                     $piece [string range $old [expr {$in + $take}] end]]
        }
        incr offset $take
    }
}

proc load {address count} {
    set pieces {}
    set offset 0
    while {$offset < $count} {
        set at [expr {$address + $offset}]
        set page [expr {$at / $::page_size}]
        set in [expr {$at % $::page_size}]
        set take [expr {min($::page_size - $in, $count - $offset)}]
        if {[info exists ::memory($page)]} {
            set bytes $::memory($page)
        } else {
            set bytes $::zero_page
        }
        lappend pieces [string range $bytes $in [expr {$in + $take - 1}]]
        incr offset $take
    }
    if {[llength $pieces] == 1} {
        return [lindex $pieces 0]
    }
    set data ""
    foreach piece $pieces {
        set data [binary format a*a* $data $piece]
    }
    return $data
}

proc master_write_memory {path address values} {
    require_claim master $path
    access $address [llength $values]
    store $address [binary format c* $values]
}

# Bytes come back as decimal values, or as 0x%02x words (the form System Console is believed to
# print) with FAKE_SC_HEX_BYTES=1; the hex form costs the fake about 1 ms per 4 KiB.
proc master_read_memory {path address count} {
    require_claim master $path
    access $address $count
    binary scan [load $address $count] cu* values
    if {[knob FAKE_SC_HEX_BYTES 0]} {
        return [format [string repeat "0x%02x " [llength $values]] {*}$values]
    }
    return $values
}

# --- JTAG UART and the board's monitor ---------------------------------------------------------

set uart_input ""
set uart_output {}

proc monitor_reply {line} {
    regexp {^(\S*)\s*(.*)$} [string trim $line] -> word rest
    switch -exact -- $word {
        ver {
            return "corvane fake Nios monitor 1.4.2\r\n"
        }
        echo {
            return "$rest\r\n"
        }
        pad {
            return "\r\n  ok  \r\nsecond line\r\n"
        }
        blank {
            return "\r\n   \r\n"
        }
        silent {
            return ""
        }
        peek {
            binary scan [load $rest 2] su word
            return [format "0x%04x\r\n" $word]
        }
        default {
            return "ERR unknown command '$word'\r\n"
        }
    }
}

proc bytestream_send {path values} {
    require_claim bytestream $path
    append ::uart_input [binary format c* $values]
    while {[regexp -indices {[\r\n]} $::uart_input found]} {
        set end [lindex $found 0]
        set line [encoding convertfrom utf-8 [string range $::uart_input 0 [expr {$end - 1}]]]
        set ::uart_input [string range $::uart_input [expr {$end + 1}] end]
        if {[string trim $line] eq ""} {
            continue
        }
        set ready [expr {[clock milliseconds] + [knob FAKE_SC_UART_DELAY_MS 2]}]
        lappend ::uart_output $ready [encoding convertto utf-8 [monitor_reply $line]]
    }
}

proc bytestream_receive {path count} {
    require_claim bytestream $path
    set now [clock milliseconds]
    set data ""
    while {[llength $::uart_output] > 0 && [string length $data] < $count} {
        lassign $::uart_output ready bytes
        if {$ready > $now} {
            break
        }
        set room [expr {$count - [string length $data]}]
        append data [string range $bytes 0 [expr {$room - 1}]]
        set bytes [string range $bytes $room end]
        if {$bytes eq ""} {
            set ::uart_output [lrange $::uart_output 2 end]
        } else {
            lset ::uart_output 1 $bytes
        }
    }
    binary scan $data cu* values
    return $values
}

source $script
