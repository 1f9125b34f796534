#!/usr/bin/env bash
# Runs the real tavik against a real convsim, one case per call:
#   tavik_session.sh CASE
# Environment: CONVSIM, TAVIK, FWGEN (programs), TAVIK_PRODUCTS (where tavik reads tarna.hex and
# tarn_b.hex). Every tavik run is bounded by `timeout`; every case uses its own directory.
set -u
case_name=${1:?case}
work=$(mktemp -d "${TMPDIR:-/tmp}/convsim-it.XXXXXX")
emu=
out=
last=

cleanup() {
    if [[ -n $emu ]]; then kill -TERM "$emu" 2>/dev/null; wait "$emu" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL ($case_name): $*"
    echo "--- output of: tavik $last"
    printf '%s\n' "$out" | tail -25
    echo "--- convsim log"
    tail -25 "$work/convsim.log"
    exit 1
}

# Status every 20 ms: a B-line run reads ten reports for its echo, so a loaded machine (sanitizers,
# parallel tests) must not let ten status reports pile up between tavik's open and its write.
start_emulator() {
    "$CONVSIM" --socket "$work/s" --state "$work/state" --reenum-ms 50 --report-ms 20 "$@" 2>>"$work/convsim.log" &
    emu=$!
    for _ in $(seq 250); do [[ -S $work/s ]] && return 0; sleep 0.02; done
    fail "convsim did not start"
}

stop_emulator() {
    kill -TERM "$emu"
    wait "$emu" || fail "convsim exited with status $? on SIGTERM"
    emu=
    [[ ! -e $work/s ]] || fail "the socket was left behind"
}

# run ARG [LIMIT]: one tavik run, killed after LIMIT seconds (default 10).
run() {
    last=${1:0:60}
    out=$(TAVIK_EMULATOR="$work/s" timeout "${2:-10}" "$TAVIK" "$1" 2>&1)
}
has() { [[ $out == *"$1"* ]] || fail "expected '$1'"; }
hasnt() { [[ $out != *"$1"* ]] || fail "did not expect '$1'"; }
no_success() { hasnt uaok; hasnt ubok; hasnt "transfered A code , done."; }

# Waits until the identity "vvvv/pppp" is listed (the list has no side effect on the device).
wait_for() {
    for _ in $(seq 200); do
        run list
        [[ $out == *"(VIDPID)$1"* ]] && return 0
        sleep 0.02
    done
    fail "device $1 never appeared"
}
to_loader() {
    run sa
    has saok
    wait_for 0416/a316
    run sta 5
    hasnt "LDROM NOT FOUND"
}

# The A image through one A-line run per packet; checks every ack and the final total.
send_a_lines() {
    local total lines n=0
    total=$("$FWGEN" checksum "$1") || fail "fwgen checksum"
    mapfile -t lines < <("$FWGEN" alines "$1")
    run sync 5
    has "readN  = 64 (a6 00 00 00 02 00"
    for line in "${lines[@]}"; do
        run "$line" 5
        n=$((n + 1))
        has uaok
        hasnt uafail
    done
    # Reply bytes 8 and 9 (low byte first) of the last reply hold the image's total.
    [[ $out =~ ckSum_r=([0-9a-f*]+\ ){8}${total:2:2}\ ${total:0:2}\  ]] || fail "total $total not in the last reply"
}
send_b_lines() {
    local line
    run sb
    has sbok
    while IFS= read -r line; do
        line+=$'\n'
        [[ ${#line} -eq 45 ]] || continue
        run "$line" 5
        has ubok
    done <"$1"
}
burn_and_check() {
    run stb 5
    has c4
    hasnt "01 01 02 42 d0"
    run bb
    run stb 5
    has "01 01 02 42 d0"
}
leave_update_mode() {
    run qa
    has qaok
    run qb
    has qbok
}
run_application() {
    run runaprom 5
    has runapromok
    wait_for 0e7b/0bf2
}

# Expected --show lines from the HEX files themselves (srec_cat turns them into raw bytes).
check_flash() {
    local a_bin=$work/a.bin b_bin=$work/b.bin show size blines
    srec_cat "$1" -intel -o "$a_bin" -binary || fail "srec_cat $1"
    srec_cat "$2" -intel -o "$b_bin" -binary || fail "srec_cat $2"
    size=$(stat -c %s "$a_bin")
    blines=$((size_b = $(stat -c %s "$b_bin"), size_b / 16))
    show=$("$CONVSIM" --show "$work/state") || fail "convsim --show"
    out=$show last="--show"
    has "application: complete"
    has "application size: $size bytes"
    has "application total: 0x$("$FWGEN" checksum "$1")"
    has "application sha256: $(sha256sum <"$a_bin" | cut -d' ' -f1)"
    has "b-code lines: $blines"
    has "b-code lowest address: 0x0000"
    has "b-code highest address: 0x$(printf %04x $(((blines - 1) * 16)))"
    has "b-code sha256: $(sha256sum <"$b_bin" | cut -d' ' -f1)"
}

"$FWGEN" a "$work/a.hex" --bytes 6000 --seed 3 || fail "fwgen a"
"$FWGEN" b "$work/b.hex" --lines 120 --seed 3 || fail "fwgen b"

case $case_name in
packets)
    # The front end's way: one tool run per packet and per line.
    start_emulator
    to_loader
    send_a_lines "$work/a.hex"
    run_application
    send_b_lines "$work/b.hex"
    burn_and_check
    leave_update_mode
    check_flash "$work/a.hex" "$work/b.hex"
    # The flash survives a restart: the same device comes back in normal mode.
    stop_emulator
    start_emulator
    wait_for 0e7b/0bf2
    check_flash "$work/a.hex" "$work/b.hex"
    ;;
files)
    # "ua" and "ub" read fixed files beside tavik.
    "$FWGEN" a "$TAVIK_PRODUCTS/tarna.hex" --seed 11 || fail "fwgen a"
    "$FWGEN" b "$TAVIK_PRODUCTS/tarn_b.hex" --lines 300 --seed 11 || fail "fwgen b"
    start_emulator --usb full-speed
    to_loader
    run ua 60
    has "transfered A code , done."
    hasnt "error"
    total=$("$FWGEN" checksum "$TAVIK_PRODUCTS/tarna.hex")
    has "FINAL TOTAL CKSUM = (hi)${total:0:2} ${total:2:2}"
    run_application
    run sb
    run ub 60
    hasnt "fail"
    burn_and_check
    leave_update_mode
    check_flash "$TAVIK_PRODUCTS/tarna.hex" "$TAVIK_PRODUCTS/tarn_b.hex"
    ;;
silent-loader)
    start_emulator --fault silent-loader
    run sa
    wait_for 0416/a316
    run sta 2
    hasnt "LDROM NOT FOUND"
    mapfile -t lines < <("$FWGEN" alines "$work/a.hex")
    run "${lines[0]}" 2
    no_success
    "$FWGEN" a "$TAVIK_PRODUCTS/tarna.hex" || fail "fwgen a"
    run ua 2
    no_success
    ;;
no-loader)
    start_emulator --fault no-loader
    run sa
    has saok
    sleep 0.2
    wait_for 0e7b/0bf2
    run sta 5
    has "LDROM NOT FOUND"
    ;;
bad-ack)
    start_emulator --fault bad-ack@3
    to_loader
    mapfile -t lines < <("$FWGEN" alines "$work/a.hex")
    run sync 5
    run "${lines[0]}" 5
    run "${lines[1]}" 5
    has uaok
    run "${lines[2]}" 5
    has "uafail ckSum"
    no_success
    ;;
bad-ack-file)
    "$FWGEN" a "$TAVIK_PRODUCTS/tarna.hex" --seed 5 || fail "fwgen a"
    start_emulator --fault bad-ack@4
    to_loader
    run ua 20
    has "!! checksum (0x"
    no_success
    ;;
unplug)
    start_emulator --fault unplug@4
    to_loader
    mapfile -t lines < <("$FWGEN" alines "$work/a.hex")
    run sync 5
    for i in 0 1 2; do run "${lines[$i]}" 5; has uaok; done
    run "${lines[3]}" 5
    has uafail
    no_success
    # An incomplete image boots the loader again, and a new transfer goes through.
    wait_for 0416/a316
    out=$("$CONVSIM" --show "$work/state")
    has "application: incomplete (160 of 6000 bytes)"
    send_a_lines "$work/a.hex"
    ;;
bad-echo)
    start_emulator --fault bad-echo@5
    run sb
    n=0
    while IFS= read -r line; do
        line+=$'\n'
        [[ ${#line} -eq 45 ]] || continue
        n=$((n + 1))
        run "$line" 5
        if ((n == 5)); then has ubfail; no_success; break; fi
        has ubok
    done <"$work/b.hex"
    ((n == 5)) || fail "line 5 never sent"
    ;;
no-c4)
    start_emulator --fault no-c4
    send_b_lines <(head -4 "$work/b.hex")
    for _ in 1 2 3; do
        run stb 5
        has stbok
        hasnt c4
    done
    ;;
no-d0)
    start_emulator --fault no-d0
    send_b_lines <(head -4 "$work/b.hex")
    run stb 5
    has c4
    run bb
    for _ in 1 2 3; do
        run stb 5
        has stbok
        hasnt "01 01 02 42 d0"
    done
    out=$("$CONVSIM" --show "$work/state")
    has "b-code lines: 0"
    ;;
slow-reenum)
    start_emulator --fault slow-reenum=1500
    run sa
    run sta 5
    has "LDROM NOT FOUND"
    wait_for 0416/a316
    ;;
garbage-replies)
    start_emulator --fault garbage-replies
    to_loader
    mapfile -t lines < <("$FWGEN" alines "$work/a.hex")
    run sync 5
    run "${lines[0]}" 5
    has uafail
    no_success
    ;;
*)
    fail "unknown case"
    ;;
esac
stop_emulator
echo "ok: $case_name"
