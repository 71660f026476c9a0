# tests/fakes/vsim_stub.tcl: the Tcl side of the fake vsim.
#
# Runs `vsim -c -do FILE` like Questa's batch mode, as far as a Platform Designer set-up script
# needs it: the do-file is sourced at global level; `vlib`, `vmap`, `vlog`, `vcom`, `alias`,
# `echo`, `onerror`, `quit`, `vsim -version` and `vsimVersionString` (which Quartus Pro scripts
# call) are stubs. `vlog` and `vcom` fail on a file that does not exist; both are recorded as
# "vlog" entries (library, file).
# An error with no `onerror` handler ends the run with status 0, as vsim -c does when its script
# stops; a do-file that ends without `quit` exits 3 (vsim would wait at its prompt).
#
# Environment:
#   FAKE_VSIM_RECORD   file to append one JSON line per run to: argv, cwd, vlog and vmap calls,
#                      the error message if any, and the exit status
#   FAKE_VSIM_VERSION  what `vsim -version` prints (default: an Intel FPGA edition)

set ::record(vlog) {}
set ::record(vmap) {}
set ::record(error) ""

proc json_string {text} {
    set out "\""
    foreach ch [split $text ""] {
        scan $ch %c code
        if {$ch eq "\""} {
            append out "\\\""
        } elseif {$ch eq "\\"} {
            append out "\\\\"
        } elseif {$code < 32} {
            append out [format "\\u%04x" $code]
        } else {
            append out $ch
        }
    }
    return "$out\""
}

proc json_list {items} {
    set parts {}
    foreach item $items {
        lappend parts [json_string $item]
    }
    return "\[[join $parts ,]\]"
}

proc json_pairs {pairs} {
    set parts {}
    foreach pair $pairs {
        lappend parts [json_list $pair]
    }
    return "\[[join $parts ,]\]"
}

proc finish {status} {
    if {[info exists ::env(FAKE_VSIM_RECORD)]} {
        set line "\{\"argv\": [json_list $::argv], \"cwd\": [json_string [pwd]],"
        append line " \"vlog\": [json_pairs $::record(vlog)],"
        append line " \"vmap\": [json_pairs $::record(vmap)],"
        append line " \"error\": [json_string $::record(error)], \"status\": $status\}"
        set channel [open $::env(FAKE_VSIM_RECORD) a]
        fconfigure $channel -encoding utf-8
        puts $channel $line
        close $channel
    }
    exit $status
}

# --- simulator commands ---------------------------------------------------------------------

proc echo {args} { puts [join $args " "] }

proc vlib {dir} { file mkdir $dir }

proc vmap {lib dir} { lappend ::record(vmap) [list $lib $dir] }

proc vlog {args} {
    set lib work
    set files {}
    for {set i 0} {$i < [llength $args]} {incr i} {
        set arg [lindex $args $i]
        if {$arg eq "-work"} {
            incr i
            set lib [lindex $args $i]
        } elseif {$arg eq "" || [string match -* $arg] || [string match +* $arg]} {
            continue
        } else {
            lappend files $arg
        }
    }
    foreach file $files {
        if {![file isfile $file]} {
            error "** Error: (vlog-7) Failed to open design unit file \"$file\" in read mode."
        }
        lappend ::record(vlog) [list $lib $file]
    }
}

proc vcom {args} { vlog {*}$args }

# Questa runs an alias body as a script at global level.
proc alias {name body} {
    proc $name {args} [list uplevel #0 $body]
}

proc onerror {script} { set ::onerror_script $script }

proc quit {args} {
    set status 0
    set at [lsearch -exact $args -code]
    if {$at >= 0} {
        set status [lindex $args [expr {$at + 1}]]
    }
    finish $status
}

proc vsim {args} {
    if {$args eq "-version"} {
        if {[info exists ::env(FAKE_VSIM_VERSION)]} {
            return $::env(FAKE_VSIM_VERSION)
        }
        return "Questa Intel Starter FPGA Edition-64 vsim 2023.3 Simulator 2023.07 Jul 18 2023"
    }
    error "fake vsim: only `vsim -version` is available inside a do-file"
}

proc vsimVersionString {} { return [vsim -version] }

# --- command line -----------------------------------------------------------------------------

set do_file ""
set batch 0
for {set i 0} {$i < [llength $argv]} {incr i} {
    switch -- [lindex $argv $i] {
        -c { set batch 1 }
        -do { incr i; set do_file [lindex $argv $i] }
        default {
            puts stderr "fake vsim: unsupported argument [lindex $argv $i]"
            finish 2
        }
    }
}
if {!$batch || $do_file eq ""} {
    puts stderr "fake vsim: expected -c -do FILE"
    finish 2
}

if {[catch {uplevel #0 [list source $do_file]} message]} {
    set ::record(error) $message
    puts "# $message"
    if {[info exists ::onerror_script]} {
        uplevel #0 $::onerror_script
    }
    finish 0
}
puts stderr "fake vsim: the do-file ended without quit; vsim would now wait at its prompt"
finish 3
