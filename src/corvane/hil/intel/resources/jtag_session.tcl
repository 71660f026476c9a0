# jtag_session.tcl: corvane's System Console session script.
#
#   system-console --script jtag_session.tcl MASTER_INDEX UART_INDEX [DEVICE]
#
# Claims the Avalon-MM master and the JTAG UART (bytestream) services with those indices (among
# the services of DEVICE when it is given and not empty: a device path as `get_service_paths
# device` lists it, or a part of one that no other device path has, such as "@1#USB-2"), prints
# JTAG_READY (or JTAG_FATAL, a tab and a reason, and ends), then serves one tab-separated request
# per line of standard input until QUIT or the end of input:
#
#   READ  path address total chunk   memory -> file, PROGRESS_BYTES per chunk, JTAG_DONE<tab>READ
#   WRITE path address chunk         file -> memory, PROGRESS_BYTES per chunk, JTAG_DONE<tab>WRITE
#   UART  hex time_limit_ms          send the bytes, answer UART_RESULT<tab>hex of what came back
#
# PROGRESS_BYTES fields: bytes done so far, total bytes, chunk number, chunk bytes, chunk address.
# A failed request answers JTAG_ERROR<tab>reason and the script goes on serving.
#
# Request fields are data, never code: a line is split on tabs, each field is checked against
# the form it must have and then used as a value only (no eval, no unbraced expr, no file name
# that `open` could take for a command pipeline). Every printed line is flushed at once, since
# the host waits for it on a pipe.

set claim_group corvane_jtag_session

proc emit {line} {
    puts stdout $line
    flush stdout
}

# A reason holding a tab or a line break would break the framing of the answer.
proc one_line {text} {
    return [string map [list "\t" " " "\r" " " "\n" " "] $text]
}

proc fatal {reason} {
    emit "JTAG_FATAL\t[one_line $reason]"
    exit 1
}

# A non-negative integer in decimal or 0x-hexadecimal. Parsed with scan, because Tcl 8 reads a
# decimal with a leading zero as octal.
proc parse_number {what text} {
    if {[regexp {^0[xX]([0-9a-fA-F]+)$} $text -> digits]} {
        scan $digits %llx value
        return $value
    }
    if {[regexp {^[0-9]+$} $text]} {
        scan $text %lld value
        return $value
    }
    error "$what is not a non-negative integer: \"$text\""
}

proc parse_chunk {text} {
    set chunk [parse_number "chunk size" $text]
    if {$chunk < 1} {
        error "chunk size must be at least 1"
    }
    return $chunk
}

# Only absolute paths, so none starts with "|" (a command pipeline for `open`). Tcl 8 counts
# "~" and "~user" paths as absolute and expands them to a home directory: refused as well.
proc check_path {path} {
    if {$path eq "" || [string index $path 0] eq "~" || [file pathtype $path] ne "absolute"} {
        error "transfer file path must be absolute: \"$path\""
    }
}

proc expect_fields {fields count usage} {
    if {[llength $fields] != $count} {
        error "expected $usage"
    }
}

proc hex_address {address} {
    return [format 0x%llx $address]
}

proc min_of {a b} {
    return [expr {$a < $b ? $a : $b}]
}

proc serve_read {fields} {
    global master
    expect_fields $fields 4 "READ path address total chunk"
    lassign $fields path address total chunk
    check_path $path
    set address [parse_number address $address]
    set total [parse_number "byte count" $total]
    set chunk [parse_chunk $chunk]

    set file [open $path w]
    fconfigure $file -translation binary
    set failed [catch {
        set done 0
        set piece 0
        while {$done < $total} {
            set count [min_of $chunk [expr {$total - $done}]]
            set at [expr {$address + $done}]
            set bytes [master_read_memory $master [hex_address $at] $count]
            if {[llength $bytes] != $count} {
                error "master_read_memory gave [llength $bytes] of $count bytes at\
                       [hex_address $at]"
            }
            puts -nonewline $file [binary format c* $bytes]
            incr done $count
            incr piece
            emit "PROGRESS_BYTES\t$done\t$total\t$piece\t$count\t[hex_address $at]"
        }
    } reason]
    if {[catch {close $file} close_reason] && !$failed} {
        set failed 1
        set reason $close_reason
    }
    if {$failed} {
        error $reason
    }
    emit "JTAG_DONE\tREAD"
}

proc serve_write {fields} {
    global master
    expect_fields $fields 3 "WRITE path address chunk"
    lassign $fields path address chunk
    check_path $path
    set address [parse_number address $address]
    set chunk [parse_chunk $chunk]

    set total [file size $path]
    set file [open $path r]
    fconfigure $file -translation binary
    set failed [catch {
        set done 0
        set piece 0
        while {$done < $total} {
            set data [read $file [min_of $chunk [expr {$total - $done}]]]
            set count [string length $data]
            if {$count == 0} {
                error "$path ended after $done of $total bytes"
            }
            set at [expr {$address + $done}]
            binary scan $data cu* bytes
            master_write_memory $master [hex_address $at] $bytes
            incr done $count
            incr piece
            emit "PROGRESS_BYTES\t$done\t$total\t$piece\t$count\t[hex_address $at]"
        }
    } reason]
    close $file
    if {$failed} {
        error $reason
    }
    emit "JTAG_DONE\tWRITE"
}

# bytestream_receive does not block; it gives what the UART has buffered, possibly nothing.
proc receive_bytes {} {
    global uart
    set values [bytestream_receive $uart 4096]
    if {[llength $values] == 0} {
        return ""
    }
    return [binary format c* $values]
}

proc serve_uart {fields} {
    global uart
    expect_fields $fields 2 "UART hex time_limit_ms"
    lassign $fields hex limit
    if {$hex eq "" || ![regexp {^([0-9a-fA-F][0-9a-fA-F])+$} $hex]} {
        error "command is not hexadecimal text"
    }
    set limit [parse_number "time limit" $limit]

    # Whatever the board printed since the last exchange does not answer this command.
    for {set round 0} {$round < 64 && [receive_bytes] ne ""} {incr round} {}

    # The board's monitor reads lines: a command without a line end would never be executed.
    set command [binary format H* $hex]
    if {![regexp {[\r\n]$} $command]} {
        append command "\n"
    }
    binary scan $command cu* values
    bytestream_send $uart $values

    # Collect until the time limit, or earlier once a non-blank line is complete and the
    # board has been quiet for a moment (the host returns the first non-blank line).
    set quiet_ms 30
    set now [clock milliseconds]
    set deadline [expr {$now + $limit}]
    set last $now
    set answer ""
    while {$now < $deadline} {
        set got [receive_bytes]
        set now [clock milliseconds]
        if {$got ne ""} {
            append answer $got
            set last $now
            continue
        }
        if {$now - $last >= $quiet_ms && [regexp {[^\s][^\n]*\n} $answer]} {
            break
        }
        after 2
        set now [clock milliseconds]
    }
    binary scan $answer H* answer_hex
    emit "UART_RESULT\t$answer_hex"
}

# The one device path that is `wanted`, or else the one that holds it as a part.
proc choose_device {wanted} {
    set devices [get_service_paths device]
    if {[lsearch -exact $devices $wanted] >= 0} {
        return $wanted
    }
    set matches [lmap device $devices {
        if {[string first $wanted $device] < 0} {
            continue
        }
        set device
    }]
    if {[llength $matches] == 1} {
        return [lindex $matches 0]
    }
    if {[llength $matches] == 0} {
        error "no device matches \"$wanted\" (devices: [join $devices {; }])"
    }
    error "\"$wanted\" matches [llength $matches] devices: [join $matches {; }]"
}

proc release_services {} {
    global master uart
    catch {close_service master $master}
    catch {close_service bytestream $uart}
}

# --- start -----------------------------------------------------------------------------------

if {$argc != 2 && $argc != 3} {
    fatal "usage: jtag_session.tcl MASTER_INDEX UART_INDEX"
}
if {[catch {
    set master_index [parse_number "master index" [lindex $argv 0]]
    set uart_index [parse_number "UART index" [lindex $argv 1]]
} reason]} {
    fatal $reason
}

# The services of one device only, or of all devices.
set filter {}
set on ""
if {[lindex $argv 2] ne ""} {
    if {[catch {choose_device [lindex $argv 2]} device]} {
        fatal "cannot choose the device: $device"
    }
    set filter [list -device $device]
    set on " on $device"
}

if {[catch {get_service_paths {*}$filter master} masters]} {
    fatal "cannot list Avalon-MM masters: $masters"
}
if {$master_index >= [llength $masters]} {
    fatal "no Avalon-MM master with index $master_index ([llength $masters] found$on)"
}
if {[catch {claim_service master [lindex $masters $master_index] $claim_group} master]} {
    fatal "cannot claim Avalon-MM master $master_index: $master"
}

if {[catch {get_service_paths {*}$filter bytestream} uarts]} {
    release_services
    fatal "cannot list JTAG UARTs: $uarts"
}
if {$uart_index >= [llength $uarts]} {
    catch {close_service master $master}
    fatal "no JTAG UART with index $uart_index ([llength $uarts] found$on)"
}
if {[catch {claim_service bytestream [lindex $uarts $uart_index] $claim_group} uart]} {
    catch {close_service master $master}
    fatal "cannot claim JTAG UART $uart_index: $uart"
}

# Paths may hold any character; the host writes its pipes in UTF-8 on Unix.
if {$tcl_platform(platform) eq "unix"} {
    fconfigure stdin -encoding utf-8
    fconfigure stdout -encoding utf-8
}
fconfigure stdin -translation auto
emit JTAG_READY

# --- serve -----------------------------------------------------------------------------------

while {[gets stdin line] >= 0} {
    set fields [split $line "\t"]
    set request [lindex $fields 0]
    set rest [lrange $fields 1 end]
    switch -exact -- $request {
        QUIT {
            break
        }
        "" {
            # A blank line asks for nothing.
        }
        READ {
            set failed [catch {serve_read $rest} reason]
        }
        WRITE {
            set failed [catch {serve_write $rest} reason]
        }
        UART {
            set failed [catch {serve_uart $rest} reason]
        }
        default {
            set failed 1
            set reason "unknown request"
        }
    }
    if {[info exists failed] && $failed} {
        emit "JTAG_ERROR\t[one_line "$request: $reason"]"
    }
    unset -nocomplain failed
}

release_services
exit 0
