#!/usr/bin/env bash
# The real tavik against a real convsim, one case per call: tavik_session.sh CASE [TRANSPORT]
# TRANSPORT: "socket" (default; TAVIK_EMULATOR) or "hidraw" (convsim --hidraw in the private
# namespace of scripts/hidraw-run; tavik goes through hidapi and every run enters that namespace).
# Environment: CONVSIM, TAVIK, FWGEN, TAVIK_PRODUCTS (where tavik reads tarna.hex and tarn_b.hex),
# HIDRAW_RUN (scripts/hidraw-run), TAVIK_HOLD. QM_HIDRAW_TESTS=skip, set by hand, skips the hidraw cases.
# Every tavik run is bounded by `timeout`; every case has its own directory.
set -u
case_name=${1:?case}
transport=${2:-socket}
if [[ $transport == hidraw && ${QM_HIDRAW_TESTS:-} == skip ]]; then
    echo "skipped: QM_HIDRAW_TESTS=skip"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/convsim-it.XXXXXX")
emu= out= last= nspid= nsfd= preload= asan= hold=
inside=()
trap '[[ -n $hold ]] && kill "$hold" 2>/dev/null; [[ -n $nspid ]] && kill "$nspid" 2>/dev/null; [[ -n $emu ]] && kill "$emu" 2>/dev/null; wait; rm -rf "$work"' EXIT

fail() {
    echo "FAIL ($case_name): $* -- after: tavik $last"
    printf '%s\n' "$out" | tail -20
    tail -20 "$work/log"
    exit 1
}
# Status every 20 ms: a B-line run reads ten reports for its echo, so a loaded machine must not let
# ten status reports pile up between tavik's open and its write.
# On hidraw, hidraw-run's command is a process that only keeps the namespace alive; it writes its
# pid and the settings hidraw-run gave it (the shim, the sanitizer options), which every tavik run
# enters and takes.
start() { serve --state "$work/state" --reenum-ms 50 --report-ms 20 "$@"; }
# convsim with exactly these options, on the case's transport.
serve() {
    if [[ $transport == hidraw ]]; then
        rm -f "$work/ns"
        "$HIDRAW_RUN" --convsim "$CONVSIM" "$@" -- \
            bash -c 'echo "$$ $LD_PRELOAD $ASAN_OPTIONS" >"$0~" && mv "$0~" "$0" && exec sleep 3600' "$work/ns" 2>>"$work/log" &
        emu=$!
        for _ in $(seq 250); do
            if [[ -s $work/ns ]] && read -r nspid preload asan <"$work/ns" && nsid=$(readlink "/proc/$nspid/ns/mnt"); then
                # Held open so the namespace's id is not given to another one (a parallel case's)
                # before no_leftovers compares against it.
                exec {nsfd}<"/proc/$nspid/ns/mnt" || fail "cannot hold the namespace"
                # The prefix that runs a program in the namespace, as hidraw-run's command would.
                inside=(nsenter -t "$nspid" -m --wd="$PWD" env -u TAVIK_EMULATOR LD_PRELOAD="$preload" ASAN_OPTIONS="$asan")
                return
            fi
            kill -0 "$emu" 2>/dev/null || break
            sleep 0.02
        done
        fail "hidraw-run did not start"
    fi
    "$CONVSIM" --socket "$work/s" "$@" 2>>"$work/log" &
    emu=$!
    for _ in $(seq 250); do [[ -S $work/s ]] && return; sleep 0.02; done
    fail "convsim did not start"
}
stop() {
    if [[ $transport == hidraw ]]; then
        kill -TERM "$nspid"
        nspid=
        wait "$emu"
        (($? == 143)) || fail "hidraw-run did not pass on its command's status (143 after TERM)"
        emu=
        no_leftovers
        return
    fi
    kill -TERM "$emu"
    wait "$emu" || fail "convsim ended with status $?"
    emu=
    [[ ! -e $work/s ]] || fail "the socket was left behind"
}
# After hidraw-run: no process left in its namespace, no node or mount of it on the host.
no_leftovers() {
    local p
    for p in /proc/[0-9]*; do
        [[ $(readlink "$p/ns/mnt" 2>/dev/null) != "$nsid" ]] || fail "process ${p#/proc/} outlived hidraw-run"
    done
    ! compgen -G "/dev/hidraw*" >/dev/null || fail "a hidraw node is left on the host"
    ! findmnt -rn -o SOURCE | grep -qE "convsim-hidraw|hidraw-run" || fail "a mount is left on the host"
    [[ -z $nsfd ]] || exec {nsfd}<&-
    nsfd=
}
# One tavik run, killed after $2 seconds (default 10); only what it printed counts.
run() {
    last=${1:0:50}
    if [[ $transport == hidraw ]]; then
        out=$(timeout "${2:-10}" "${inside[@]}" "$TAVIK" "$1" 2>&1) || true
    else
        out=$(TAVIK_EMULATOR="$work/s" timeout "${2:-10}" "$TAVIK" "$1" 2>&1) || true
    fi
}
has() { [[ $out == *"$1"* ]] || fail "expected '$1'"; }
hasnt() { [[ $out != *"$1"* ]] || fail "did not expect '$1'"; }
no_success() { hasnt uaok && hasnt ubok && hasnt "transfered A code , done."; }
wait_for() {  # the list has no side effect on the device
    for _ in $(seq 200); do
        run list
        [[ $out == *"(VIDPID)$1"* ]] && return
        sleep 0.02
    done
    fail "$1 never appeared"
}
to_loader() { run sa && has saok && wait_for 0416/a316 && run sta 5 && hasnt "LDROM NOT FOUND"; }
to_normal() { run runaprom 5 && has runapromok && wait_for 0e7b/0bf2; }

# The A image, one A-line run per packet; the last reply carries the total in bytes 8-9.
send_a() {
    local total line
    total=$("$FWGEN" checksum "$1") || fail "fwgen checksum"
    run sync 5
    has "readN  = 64 (a6 00 00 00 02 00"
    while read -r line; do run "$line" 5 && has uaok && hasnt uafail; done < <("$FWGEN" alines "$1")
    [[ $out =~ ckSum_r=([0-9a-f*]+\ ){8}${total:2:2}\ ${total:0:2}\  ]] || fail "total $total not in the last reply"
}
# The B lines (45 characters with CR LF), one run each, every one echoed; FLOODED=1: an echo may
# be drowned in status reports, but no line may fail.
send_b() {
    local line
    run sb
    while IFS= read -r line; do
        line+=$'\n'
        [[ ${#line} -eq 45 ]] || continue
        run "$line" 5 && hasnt ubfail && hasnt "hid_read()"
        [[ -n ${FLOODED:-} ]] || has ubok
    done <"$1"
}
first_b_line() { local line; while IFS= read -r line; do [[ ${#line} -eq 44 ]] && printf '%s' "$line" && return; done <"$b"; }
burn() { run stb 5 && has c4 && hasnt "01 01 02 42 d0" && run bb && run stb 5 && has "01 01 02 42 d0"; }
quit() { run qa && has qaok && run qb && has qbok; }

# What --show must print, from the HEX files themselves (srec_cat gives the raw bytes).
check_flash() {
    srec_cat "$1" -intel -o "$work/a.bin" -binary && srec_cat "$2" -intel -o "$work/b.bin" -binary || fail srec_cat
    local lines=$(($(stat -c %s "$work/b.bin") / 16))
    out=$("$CONVSIM" --show "$work/state") last=--show
    has "application: complete"
    has "application size: $(stat -c %s "$work/a.bin") bytes"
    has "application total: 0x$("$FWGEN" checksum "$1")"
    has "application sha256: $(sha256sum <"$work/a.bin" | cut -d' ' -f1)"
    has "b-code lines: $lines"$'\n'"b-code lowest address: 0x0000"
    has "b-code highest address: 0x$(printf %04x $(((lines - 1) * 16)))"
    has "b-code sha256: $(sha256sum <"$work/b.bin" | cut -d' ' -f1)"
}

# Every command word and the one-packet A and B forms, in an order that meets each identity; what
# tavik printed, with the two things that differ by transport made equal: the device path, and the
# strings of an open device, which hidapi cannot get on a FUSE node.
every_command() {
    local word
    for word in list sta read sbi sb "$(first_b_line)"$'\n' stb bb stb qb stbb qa; do
        run "$word" 2 && printf '%s\n' "$out"
    done
    # The image stays incomplete: the loader stays after runaprom.
    to_loader && for word in list sta read sync "${alines[0]}" qa runaprom sta; do
        run "$word" 2 && printf '%s\n' "$out"
    done
}
normalised() { sed -E 's/\(PATH\)[^ ]*/(PATH)/; /^(Manufacturer|Product|Serial Number|Indexed) String/d'; }

a=$work/a.hex b=$work/b.hex
"$FWGEN" a "$a" --bytes 6000 --seed 3 && "$FWGEN" b "$b" --lines 120 --seed 3 || fail fwgen
mapfile -t alines < <("$FWGEN" alines "$a")

case $case_name in
packets)  # the front end's way: one run per packet and per line
    start && to_loader && send_a "$a" && to_normal && send_b "$b" && burn && quit && check_flash "$a" "$b"
    stop && start && wait_for 0e7b/0bf2 && check_flash "$a" "$b"  # the same device after a restart
    ;;
files)  # "ua" and "ub" over whole files beside tavik
    a=$TAVIK_PRODUCTS/tarna.hex b=$TAVIK_PRODUCTS/tarn_b.hex
    "$FWGEN" a "$a" --seed 11 && "$FWGEN" b "$b" --lines 300 --seed 11 || fail fwgen
    start --usb full-speed && to_loader && run ua 60
    has "transfered A code , done." && hasnt error
    total=$("$FWGEN" checksum "$a")
    has "FINAL TOTAL CKSUM = (hi)${total:0:2} ${total:2:2}"
    to_normal && run sb && run ub 60 && hasnt fail && burn && quit && check_flash "$a" "$b"
    # A FIFO is refused at once, as the file to read and as the recording (which is then not made).
    rm "$a" && mkfifo "$a" "$work/fifo" || fail mkfifo
    TAVIK_RECORD=$work/fifo run ua 5 && rm "$a" && has "!! tarna.hex refused, nothing sent: tarna.hex is not a regular file (a FIFO)"
    ;;
silent-loader)
    start --fault silent-loader && run sa && wait_for 0416/a316
    run sta 2 && hasnt "LDROM NOT FOUND"
    run sync 2 && hasnt "readN"
    run "${alines[0]}" 2 && no_success
    "$FWGEN" a "$TAVIK_PRODUCTS/tarna.hex" && run ua 2 && no_success
    ;;
no-loader)
    start --fault no-loader && run sa && sleep 0.2 && wait_for 0e7b/0bf2 && run sta 5 && has "LDROM NOT FOUND"
    ;;
bad-ack)
    start --fault bad-ack@3 && to_loader && run sync 5
    run "${alines[0]}" 5 && run "${alines[1]}" 5 && has uaok
    run "${alines[2]}" 5 && has "uafail ckSum" && no_success
    ;;
bad-ack-file)
    "$FWGEN" a "$TAVIK_PRODUCTS/tarna.hex" --seed 5 || fail fwgen
    start --fault bad-ack@4 && to_loader && run ua 20 && has "!! checksum (0x" && no_success
    ;;
replay)  # a recorded session played back: a changed packet diverges, the same runs match it
    session() { run sb && run stb 5 && has stbok && run sa && has saok && sleep 0.3 && run sta 5 &&
        hasnt "LDROM NOT FOUND" && run sync 5 && run "$1" 5; }
    start && export TAVIK_RECORD=$work/wire.jsonl && session "${alines[0]}" && has uaok
    unset TAVIK_RECORD && stop
    : >"$work/log" && serve --replay "$work/wire.jsonl" --replay-fast && session "${alines[1]}" && no_success
    if [[ $transport == hidraw ]]; then kill -TERM "$nspid" && nspid=; fi
    kill -TERM "$emu" 2>/dev/null
    wait "$emu"
    grep -q "replay diverged at report .* (run ${alines[0]}): expected " "$work/log" || fail "no divergence named"
    : >"$work/log" && serve --replay "$work/wire.jsonl" --replay-fast && session "${alines[0]}" && has uaok && stop
    grep -q "replay complete: every recorded report matched" "$work/log" || fail "the replay did not match"
    start  # for the closing stop
    ;;
unplug)  # an interrupted image boots the loader again, and the next transfer goes through
    start --fault unplug@4 && to_loader && run sync 5
    for i in 0 1 2; do run "${alines[$i]}" 5 && has uaok; done
    run "${alines[3]}" 5 && has uafail && no_success
    wait_for 0416/a316
    out=$("$CONVSIM" --show "$work/state") && has "application: incomplete (160 of 6000 bytes)"
    send_a "$a"
    ;;
short-replies)  # 4-byte reports: a checksum gets through, a packet number, a total or an echo never
    start --fault short-replies && run sb && run "$(first_b_line)"$'\n' 5 && has "is cut short" && has ubfail && no_success
    run stb 5 && has stbok && hasnt c4
    to_loader && run sync 5 && has "readN  = 4"
    for line in "${alines[@]}"; do run "$line" 5; done
    total=$("$FWGEN" checksum "$a")
    [[ $out =~ ckSum_r=([0-9a-f*]+\ ){8}${total:2:2}\ ${total:0:2}\  ]] && fail "the total came through a 4-byte reply"
    run runaprom 5 && sleep 0.2 && run sta 5 && hasnt "LDROM NOT FOUND"  # no packet number: the loader stays
    ;;
flood)  # ten status reports a millisecond: every run ends, no line fails, and the flash holds them all
    start --fault flood && run stb 2 && has stbok  # reports come even outside update mode
    to_loader && send_a "$a" && to_normal && FLOODED=1 send_b "$b" && burn && quit && check_flash "$a" "$b"
    ;;
same-as-socket)  # the same texts and the same bytes on the wire through hidapi as over the socket
    for transport in socket hidraw; do
        rm -f "$work/state" && : >"$work/log"
        start -v && every_command | normalised >"$work/$transport.out" && stop
        grep -oE ': W .*' "$work/log" >"$work/$transport.wire"
    done
    [[ -s $work/hidraw.wire ]] || fail "no write reached convsim"
    diff "$work/socket.out" "$work/hidraw.out" || fail "tavik printed other texts through hidraw"
    diff "$work/socket.wire" "$work/hidraw.wire" || fail "other bytes reached the device through hidraw"
    exit 0
    ;;
hidraw-run)  # the script itself: list with the node's path, the command's status, nothing left behind
    out=$("$HIDRAW_RUN" --convsim "$CONVSIM" -- "$TAVIK" list 2>"$work/log") || fail "hidraw-run failed"
    has "(VIDPID)0e7b/0bf2 (PATH)/dev/hidraw0 (SN)EMU-CNV-0001"
    "$HIDRAW_RUN" --convsim "$CONVSIM" -- sh -c 'test -z "${TAVIK_EMULATOR+set}" && exit 7' 2>>"$work/log"
    (($? == 7)) || fail "the command's status (7) was not passed on, or TAVIK_EMULATOR reached it"
    # The command kills its sibling convsim (the child of hidraw-run's stage named convsim).
    "$HIDRAW_RUN" --convsim "$CONVSIM" -- sh -c 'for s in /proc/[0-9]*/stat; do read -r p c x pp y <"$s" &&
        [ "$pp" = $PPID ] && [ "$c" = "(convsim)" ] && kill -KILL "$p"; done; sleep 0.5; ls /dev/hidraw* /sys/class/hidraw/*' \
        >"$work/out" 2>>"$work/log"
    (($? == 125)) && [[ ! -s $work/out ]] && grep -q "convsim ended during the command" "$work/log" ||
        fail "a convsim that died was not named with status 125, or its node stayed listed"
    nsid=none no_leftovers
    exit 0
    ;;
permission)  # a node only root may open: not there yet while udev may still grant it, then named
    # on standard error, the not-found text on standard output; a grant 1 s late is taken
    as_nobody() { out=$(timeout 10 "${inside[@]}" setpriv --reuid=65534 --regid=65534 --clear-groups "$TAVIK" sa 2>"$work/err"); }
    start --udev-delay-ms 1000
    as_nobody && last="sa as nobody, before the grant"
    [[ $out == "0E7B/1CF? NOT FOUND" && ! -s $work/err ]] || fail "a node udev has yet to grant was reported as refused"
    sleep 1.1
    as_nobody && last="sa as nobody, after the grant" && has saok
    stop && start --node-mode 0600
    sleep 1.6  # the refusal has to last before it counts
    as_nobody && last="sa as nobody"
    [[ $out == "0E7B/1CF? NOT FOUND" ]] || fail "expected only the not-found text on standard output"
    out=$(<"$work/err")
    has "converter 0e7b:0bf2 is present at /dev/hidraw0 but cannot be opened (" && has "udev rule"
    run sa && has saok  # root may
    # A node gone between the enumeration and the open (a re-enumeration) is absent, not refused.
    stop && start && "${inside[@]}" rm /dev/hidraw0
    out=$(timeout 10 "${inside[@]}" "$TAVIK" sa 2>"$work/err") last="sa, node gone"
    [[ $out == "0E7B/1CF? NOT FOUND" && ! -s $work/err ]] || fail "a vanished node was not reported as absent"
    ;;
gone-node)  # a file of a gone node keeps its number taken, reads what was queued, then EIO
    start
    "${inside[@]}" python3 -c '
import os, select, sys, time
fd = os.open("/dev/hidraw0", os.O_RDWR)
open(sys.argv[1], "w").close()
while not os.path.exists(sys.argv[2]):
    time.sleep(0.02)
p = select.poll()
p.register(fd, select.POLLIN | select.POLLRDNORM | select.POLLOUT | select.POLLWRNORM)
gone = p.poll(0)[0][1] == select.POLLIN | select.POLLRDNORM | select.POLLOUT | select.POLLWRNORM | select.POLLERR | select.POLLHUP
n = 0
try:
    while os.read(fd, 64):
        n += 1
except OSError as e:
    print(n, gone, e.errno == 5)' "$work/held" "$work/go" >"$work/held.out" 2>&1 &
    held=$!
    for _ in $(seq 250); do [[ -e $work/held ]] && break; sleep 0.02; done
    run sb && sleep 0.3 && run sa && has saok && wait_for 0416/a316 && has "(PATH)/dev/hidraw1"
    touch "$work/go" && wait "$held"
    [[ $(<"$work/held.out") =~ ^[1-9][0-9]*\ True\ True$ ]] || fail "the held file read $(<"$work/held.out")"
    ;;
holder)  # tavik-hold holds the node present and follows the identity across a re-enumeration
    start && mkfifo "$work/stop"
    "${inside[@]}" "$TAVIK_HOLD" <"$work/stop" &
    hold=$!
    exec 3>"$work/stop"
    holds_node() {  # one of its descriptors is the file behind /dev/hidraw0 now
        local node
        node=$("${inside[@]}" stat -L -c %i /dev/hidraw0 2>/dev/null) || return 1
        [[ " $(stat -L -c %i /proc/$hold/fd/* 2>/dev/null | tr '\n' ' ') " == *" $node "* ]]
    }
    for step in start re-enumeration; do
        [[ $step == start ]] || to_loader
        for _ in $(seq 250); do holds_node && break; sleep 0.02; done
        holds_node || fail "tavik-hold does not hold the node after its $step"
    done
    exec 3>&-
    wait "$hold" || fail "tavik-hold ended with status $? when its input closed"
    hold=
    ;;
bad-arguments)
    out=$("$CONVSIM" --socket "$work/s" --fault unplugged@3 2>&1) && fail "an unknown fault was accepted"
    has "unknown fault 'unplugged@3'"
    printf 'convsim-state 1\napplication 10 20\n' >"$work/state"
    out=$("$CONVSIM" --socket "$work/s" --state "$work/state" 2>&1) && fail "a damaged state file was accepted"
    has "line 2:"
    for converters in "1-x:$work/a" "1-1:" "1-1:$work/a@soon" "1-1:$work/a --converter 1-1:$work/b" "1-1:$work/a --state $work/b"; do
        # shellcheck disable=SC2086
        out=$("$CONVSIM" --socket "$work/s" --converter $converters 2>&1) && fail "--converter $converters was accepted"
        has "usage:"
    done
    # A port setting that is no port path opens nothing (it would become part of a sysfs path).
    out=$(TAVIK_PORT=../1-1 TAVIK_EMULATOR="$work/none" "$TAVIK" sa 2>&1)
    [[ $out == "tavik: TAVIK_PORT='../1-1' is not a USB port path such as 1-1.4; nothing was done" ]] || fail "TAVIK_PORT=../1-1: $out"
    exit 0
    ;;
*) fail "unknown case" ;;
esac
stop
echo "ok: $case_name"
