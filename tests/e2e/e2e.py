#!/usr/bin/env python3
"""Whole updates seen as a user sees them: the real Quillmere window (offscreen) runs the real
tavik from its bundle against convsim, the emulated converter.

    e2e.py CASE [TRANSPORT]     run one case of the matrix below (exit status 0: it passed, 77: skipped)
    e2e.py --list [TRANSPORT]   print the case names

TRANSPORT is "socket" (default: tavik reaches convsim through TAVIK_EMULATOR) or "hidraw": convsim
serves hidraw nodes in the private namespace of scripts/hidraw-run, and every Quillmere run enters
that namespace, so its tavik goes through hidapi. QM_HIDRAW_TESTS=skip, set by hand, skips those.

The convsim side of each case (both transports, the case's folder, the flash check) is harness.py's.
Programs come from the environment: QM_E2E_BUNDLE (a built Quillmere bundle), QM_E2E_CONVSIM,
QM_E2E_FWGEN, QM_E2E_SRECCAT and QM_E2E_OBJCOPY (for the foreign-file cases), QM_E2E_HIDRAW_RUN,
QM_E2E_CLI (quillmere-cli, for the cases that update from the command line).
Each case sets QUILLMERE_TIME_SCALE (0.1 unless it needs longer run limits) to shrink the
sequence's pauses and run limits, and QUILLMERE_LOCK_DIR to a folder of its own: cases run side by
side, each with its converter on port 1-1.
"""
import glob
import hashlib
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field, replace

sys.dont_write_bytecode = True
import harness  # noqa: E402
from harness import CaseFailed, Emulator, data_by_address, expect, flash_fields, fwgen, text_lines  # noqa: E402

COMPLETE = "SCREEN: Complete | Firmware successfully updated. | FINISH"
FAILED_TEXT = "The Setup didn't finish and will restart."
FAILED = f"SCREEN:  | {FAILED_TEXT} | EXIT"
SUCCESS_TEXT = "Firmware successfully updated."
RUN_DEADLINE_S = 150  # a Quillmere run still going after this is killed and the case fails
VERSION_FIELD = "V100"
REPLAY = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "scripts", "replay")
RECIPES = os.path.join(os.path.dirname(os.path.dirname(REPLAY)), "docs", "firmware-files.md")
NO_RECORD = "no record of this update is kept"
OUTCOMES = {"complete": "Complete", "failed": "Failed", "interrupted": "interrupted"}
ATSPI_WALK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_walk.py")


@dataclass
class Firmware:
    a_image: bytes
    b_data: bytes  # 16-byte B lines

    @property
    def a_total(self):
        return sum(self.a_image) & 0xFFFF


# ---- one case's processes and files ----------------------------------------------------------

@dataclass
class Run:
    lines: list
    status: int
    errors: list
    pid: int = 0
    out: list = None       # quillmere-cli: its standard output as printed (lines holds it in the window's terms)
    front: str = "window"
    seconds: float = 0     # from its start to its end
    atspi: dict = None  # atspi_walk.py's report

    @property
    def screens(self):
        return [l for l in self.lines if l.startswith("SCREEN: ")]

    @property
    def alerts(self):
        return [l[len("ALERT: "):] for l in self.lines if l.startswith("ALERT: ")]


class Rig(Emulator):
    """A folder holding a bundle, its firmware, and a convsim with its flash file."""

    def __init__(self, case_name, transport="socket"):
        super().__init__("qm-e2e", case_name, transport)
        self.runs = itertools.count(1)  # next() is atomic: updates start from several threads
        # The case's converter locks, in a folder open to every user as /run/lock is.
        self.locks = self.path("locks")
        os.makedirs(self.locks)
        os.chmod(self.locks, 0o1777)

    def write_sample_firmware(self):
        fwgen("a", self.path("tmpa.hex"))
        fwgen("b", self.path("tmpb.hex"))

    def make_bundle(self, name, with_tool=True, tool_before=None):
        """The built bundle under another name: the executable linked (it finds its bundle from
        its own path), the resources linked one by one; tool_before: tavik becomes a script that
        runs this shell first, then the real tavik."""
        source = os.environ["QM_E2E_BUNDLE"]
        bundle = self.path(name)
        shutil.rmtree(bundle, ignore_errors=True)
        os.makedirs(os.path.join(bundle, "Contents", "MacOS"))
        os.makedirs(os.path.join(bundle, "Contents", "Resources"))
        exe = os.path.join(bundle, "Contents", "MacOS", "Quillmere")
        try:
            os.link(os.path.join(source, "Contents", "MacOS", "Quillmere"), exe)
        except OSError:
            shutil.copy2(os.path.join(source, "Contents", "MacOS", "Quillmere"), exe)
        resources = os.path.join(source, "Contents", "Resources")
        for entry in os.listdir(resources):
            if entry == "tavik" and not with_tool:
                continue
            target = os.path.join(bundle, "Contents", "Resources", entry)
            if entry == "tavik" and tool_before:
                with open(target, "w") as f:
                    f.write(f"#!/bin/sh\n{tool_before}\nexec '{os.path.join(resources, entry)}' \"$@\"\n")
                os.chmod(target, 0o755)
                continue
            os.symlink(os.path.join(resources, entry), target)
        return exe

    def writes_seen(self):
        """Reports the verbose convsim log shows written to the converter."""
        return sum(": W " in line for line in text_lines(self.path("convsim.log")))

    def env(self, scale, state="state", extra_env=None):
        """The environment of an update whose record goes under the case's folder `state`."""
        # The case's folder is the home folder: the record must write it "~".
        return dict(os.environ, QUILLMERE_TIME_SCALE=scale, HOME=self.dir, QT_QPA_PLATFORM="offscreen",
                    XDG_STATE_HOME=self.path(state), QUILLMERE_LOCK_DIR=self.locks, **(extra_env or {}))

    def cli(self, args, scale="0.1"):
        """quillmere-cli with these arguments against this converter, as a finished process."""
        args, env = self.command([os.environ["QM_E2E_CLI"]] + args, self.env(scale))
        return subprocess.run(args, env=env, capture_output=True, text=True, timeout=60, cwd=self.dir)

    def update(self, exe, tick, scale, state="state", extra_env=None, as_user=None, port=None,
               interrupt=None, front="window", cli_args=(), close_output=None, atspi=False):
        """One Quillmere run: START pressed (box ticked or not), alerts printed and dismissed,
        FINISH/EXIT pressed at the end. Killed with its tool runs at the deadline. Its update
        record goes under the case's folder `state`. as_user: the numeric user (and group) to run
        it as. interrupt: a signal sent to Quillmere once it has sent A packet 200. front "cli" or
        "cli-json": quillmere-cli updates from the bundle instead, with cli_args after the bundle;
        close_output: its standard output is a pipe closed once a line holds this text. atspi: in a D-Bus
        session with an X server of its own, where atspi_walk.py reads what a screen reader is told and
        presses FINISH/EXIT itself (run.atspi holds its report)."""
        run_no = next(self.runs)
        out_path = self.path(f"quillmere-{run_no}.out")
        env = self.env(scale, state, extra_env)
        args = [exe, "--auto-start", "--auto-finish", "--auto-alert"] + (["--tick"] if tick else []) + \
            (["--port", port] if port else [])
        if front != "window":
            bundle = os.path.dirname(os.path.dirname(os.path.dirname(exe)))
            args = [os.environ["QM_E2E_CLI"], "update"] + (["--b-code"] if tick else []) + \
                (["--port", port] if port else []) + (["--json"] if front == "cli-json" else []) + [bundle] + \
                list(cli_args)
        if atspi:
            args = ["dbus-run-session", "--", "/usr/bin/python3", ATSPI_WALK, self.path(f"atspi-{run_no}.json"),
                    "--"] + [a for a in args if a != "--auto-finish"]
        if as_user is not None:
            args = ["setpriv", f"--reuid={as_user}", f"--regid={as_user}", "--clear-groups"] + args
        if state == TINY_STATE:
            # The state folder is a 64 KiB file system of a private mount namespace (root only);
            # what it holds at the end is copied out beside it, where the checks read it.
            os.makedirs(self.path(state), exist_ok=True)
            args = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    'mount -t tmpfs -o size=64k tmpfs "$0" || exit 125; "$@"; s=$?; cp -a "$0/." "$0.copy"; exit $s',
                    self.path(state)] + args
        args, env = self.command(args, env)
        started = time.monotonic()
        with open(out_path, "wb") as out, open(self.path(f"quillmere-{run_no}.err"), "wb") as err:
            child = subprocess.Popen(args, stdout=subprocess.PIPE if close_output else out, stderr=err,
                                     stdin=subprocess.DEVNULL, env=env, start_new_session=True)
            while close_output:  # what it printed before the reader went is kept
                line = child.stdout.readline()
                out.write(line)
                if not line or close_output.encode() in line:
                    child.stdout.close()
                    break
            # nsenter, env and setpriv exec the program: the child is Quillmere itself.
            while interrupt and child.poll() is None:
                with open(out_path, "rb") as f:
                    if f.read().count(b"send to tavik:") >= 200:
                        child.send_signal(interrupt)
                        break
                time.sleep(0.01)
            try:
                status = child.wait(timeout=RUN_DEADLINE_S)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                raise CaseFailed(f"Quillmere still running after {RUN_DEADLINE_S} s; killed "
                                 f"(last screens: {[l for l in text_lines(out_path) if l.startswith('SCREEN: ')][-3:]})")
        if state == TINY_STATE:
            os.rmdir(self.path(state))
            os.rename(self.path(state + ".copy"), self.path(state))
        run = Run(text_lines(out_path), status, text_lines(self.path(f"quillmere-{run_no}.err")), child.pid,
                  seconds=time.monotonic() - started)
        if atspi:
            with open(self.path(f"atspi-{run_no}.json")) as f:
                run.atspi = json.load(f)
        if front == "window":
            return run
        if close_output:  # its end went nowhere: the record says how it ended
            return replace(run, lines=[COMPLETE if "outcome: Complete" in open(os.path.join(self.last_record(state),
                                       "summary.txt")).read() else FAILED], out=run.lines, front=front)
        return cli_run(run, front, "--all" in cli_args)

    def last_record(self, state="state"):
        """The update folder made last (by time: a clock that went back names it before others)."""
        return max(glob.glob(self.path(f"{state}/quillmere/updates/*")), key=os.path.getmtime)


# ---- the matrix ------------------------------------------------------------------------------

@dataclass
class Case:
    faults: list = field(default_factory=list)
    tick: bool = True
    ends: str = "failed"          # "complete" or "failed"
    alerts: list = field(default_factory=list)  # regular expressions, in order; PATH = firmware dir
    app: str = "new"              # new | before | incomplete | damaged
    bcode: str = "new"            # new | before
    again: str = "same"           # second update: "same" convsim, "restart" without faults, "none"
    foreign: int = None           # firmware made from binaries by recipe N of docs/firmware-files.md
    prepare: object = None        # spoils a file or the like before the first run
    bundle: str = "good"          # good | upper-case | no-checksum | wrong-checksum
    tool: bool = True
    tool_before: str = None       # shell run before the bundle's tavik is exec'd, with its arguments
    scale: str = "0.1"            # QUILLMERE_TIME_SCALE for this case
    sent_nothing: bool = False    # refused before the first tool run: the converter got no report
    env: dict = field(default_factory=dict)  # more environment for the first Quillmere run
    replay: str = ""              # "same": scripts/replay of the record agrees ("same-tgz": of the record
                                  # packed as the README asks; "same-report": packed by quillmere-cli report FOLDER,
                                  # "same-report-newest": by quillmere-cli report, the newest that failed);
                                  # "changed-tmpa": it diverges
    state: str = "state"          # XDG_STATE_HOME under the case's folder ("a-file": unwritable)
    transports: tuple = ("socket",)  # and "hidraw": also through hidapi on convsim's hidraw nodes
    node_mode: str = None         # hidraw: the nodes' permission bits
    as_user: int = None           # Quillmere (and so tavik) runs as this user and group
    runs: int = None              # the number of tool runs the first update makes, when it matters
    during: object = None         # runs beside the first update: during(rig)
    check: object = None          # checks after the first update: check(rig, run)
    converters: tuple = ()        # more converters, "PORT" or "PORT@MS": each must stay untouched
    convsim: tuple = ()           # more convsim options
    port: str = None              # Quillmere --port
    beside: str = None            # a second Quillmere at once, with --port this, updating that converter
    rival: str = None             # a second updater on the same converter (same --port), "window" or "cli", started
                                  # once the first has sent a tool run; "cli@start": with it, either may win. It
                                  # must be refused at once (the first still running), none of it sent
    cause: str = None             # the first update's cause (regular expression), in its summary and last line
    interrupt: int = None         # a signal sent to the first update in the middle of the A transfer
    on_hidraw: dict = None        # fields that differ through hidraw, where the kernel decides
    front: str = "window"         # the first update by: window | cli (plain lines) | cli-json
    cli_args: tuple = ()          # more quillmere-cli arguments, after the bundle ("--all": every converter is updated)
    close_output: str = None      # quillmere-cli's standard output is a pipe its reader closes after a line with this
    within: float = None          # the first update ends within so many seconds
    atspi: bool = False           # the first update read through AT-SPI as a screen reader reads it


def break_record(rig, name, line_no):
    """Makes one record's checksum wrong, as a damaged download would."""
    path = rig.path(name)
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    record = lines[line_no - 1].rstrip(b"\r")
    lines[line_no - 1] = record[:-1] + (b"1" if record.endswith(b"0") else b"0") + b"\r"
    with open(path, "wb") as f:
        f.write(b"\n".join(lines))


def alter_byte(path, line_no):
    """Adds one to the first data byte of a record and mends its checksum: a sound file that
    differs from the one recorded."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    body = bytearray(bytes.fromhex(lines[line_no - 1].strip()[1:].decode()))
    body[4] = (body[4] + 1) & 0xFF
    body[-1] = -sum(body[:-1]) & 0xFF
    lines[line_no - 1] = b":" + body.hex().upper().encode() + b"\r"
    with open(path, "wb") as f:
        f.write(b"\n".join(lines))


def foreign_firmware(rig, recipe):
    """tmpa.hex / tmpb.hex made from plain binaries by a recipe of docs/firmware-files.md, run as
    it stands there; under root also as an ordinary user, who must get the same files."""
    with open(RECIPES) as f:
        commands = re.findall(r"^```sh\n(.*?)^```$", f.read(), re.M | re.S)[recipe]
    as_user = rig.path("as-user")
    os.makedirs(as_user, mode=0o777)
    os.chmod(as_user, 0o777)
    tools = os.pathsep.join(os.path.dirname(os.environ[v]) for v in ("QM_E2E_SRECCAT", "QM_E2E_OBJCOPY"))
    env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
    for folder in (rig.dir, as_user):
        with open(os.path.join(folder, "a.bin"), "wb") as f:
            f.write(hashlib.shake_256(b"foreign A").digest(23_456))
        with open(os.path.join(folder, "b.bin"), "wb") as f:
            f.write(hashlib.shake_256(b"foreign B").digest(16 * 200))
        user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if folder == as_user else []
        if folder == rig.dir or os.geteuid() == 0:
            subprocess.run(user + ["bash", "-e", "-c", commands], cwd=folder, env=env, check=True)
    for name in ("tmpa.hex", "tmpb.hex") if os.geteuid() == 0 else ():
        with open(rig.path(name), "rb") as mine, open(os.path.join(as_user, name), "rb") as theirs:
            expect(mine.read() == theirs.read(), f"recipe {recipe} made another {name} as an ordinary user")


def edit_lines(rig, name, change):
    """Rewrites a firmware file line by line (line ends kept); change(lines) -> lines."""
    with open(rig.path(name), "rb") as f:
        lines = f.read().decode().splitlines(keepends=True)
    with open(rig.path(name), "w", newline="") as f:
        f.write("".join(change(lines)))


def first_run_log(rig):
    """The output.log of the first update (its record under "state") once it shows a tool run; None after 60 s."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for log in glob.glob(rig.path("state/quillmere/updates/*/output.log")):
            with open(log, errors="replace") as f:
                if "runCmd() returned:" in f.read():
                    return log
        time.sleep(0.02)
    return None


def replace_during_a(rig):
    """Once the update has started (its first tool run) and before the A transfer, tmpa.hex and
    tmpb.hex are replaced by other sound images; their first contents are kept as NAME.sent."""
    for name, kind in (("tmpa.hex", "a"), ("tmpb.hex", "b")):
        shutil.copy(rig.path(name), rig.path(name + ".sent"))
        fwgen(kind, rig.path(name + ".new"), "--seed", "2")
    log = first_run_log(rig)
    if log:
        for name in ("tmpa.hex", "tmpb.hex"):
            os.replace(rig.path(name + ".new"), rig.path(name))
        with open(log, errors="replace") as f:  # too late when the A transfer had begun
            late = "eof reading file, then send cmd-sync" in f.read()
        open(rig.path("late" if late else "replaced"), "w").close()


def check_read_once(rig, run):
    """The converter holds what START read (check_device); the record's copies and hashes too."""
    expect(os.path.exists(rig.path("replaced")), "the files were not replaced between START and the A transfer")
    with open(os.path.join(rig.last_record(), "summary.txt")) as f:
        summary = f.read()
    for name in ("tmpa.hex", "tmpb.hex"):
        with open(rig.path(name + ".sent"), "rb") as sent, open(os.path.join(rig.last_record(), name), "rb") as copy:
            read = sent.read()
            expect(copy.read() == read, f"the record's {name} is not what START read")
        expect(f"{name}: sha256 {hashlib.sha256(read).hexdigest()}, {len(read)} bytes" in summary,
               f"the summary's {name} line is not START's bytes")


def future_folders(rig):
    """21 Complete update folders and a Failed one stamped after now (a clock that went back), and
    a user's folder named almost like one."""
    for i in range(22):
        os.makedirs(rig.path(f"state/quillmere/updates/20991231-2359{i:02d}"))
        with open(rig.path(f"state/quillmere/updates/20991231-2359{i:02d}/summary.txt"), "w") as f:
            f.write(f"outcome: {'Failed' if i == 5 else 'Complete'}\n")
    os.makedirs(rig.path("state/quillmere/updates/20180101-0000001"))
    open(rig.path("state/quillmere/updates/20180101-0000001/mine.txt"), "w").close()


def check_rotation(rig, run):
    names = sorted(os.listdir(rig.path("state/quillmere/updates")))
    expect(len(names) == 23 and "20991231-235900" not in names and "20991231-235905" in names and
           os.path.basename(rig.last_record()) in names, f"update folders after the update: {names}")
    expect(os.path.exists(rig.path("state/quillmere/updates/20180101-0000001/mine.txt")), "the user's file was removed")
    with open(os.path.join(rig.last_record(), "summary.txt")) as f:
        expect("outcome: Complete" in f.read(), "the new update's record is not complete")


def check_leaving_opens(rig, run):
    """Some open overlapped a converter's leaving, and every tool run of the update ended by itself:
    a run that crashes (or is killed) leaves no end in the wire recording."""
    log = text_lines(rig.path("convsim.log"))
    expect(any("under way as it leaves succeeds on the gone node" in line for line in log),
           "no open overlapped a leaving converter")
    events = [json.loads(line)["ev"] for line in text_lines(os.path.join(rig.last_record(), "wire.jsonl"))]
    unended = events.count("run") - events.count("end")
    expect(unended == 0, f"{unended} tool runs never ended")


def check_composite(rig, run):
    """Nothing opened the gamepad interface or wrote to it, and the record names the node of the
    interface that takes the frames, as normal mode showed it at START."""
    log = text_lines(rig.path("convsim.log"))
    reached = [line for line in log if "the gamepad interface" in line and (" opens " in line or " writes " in line)]
    expect(not reached, f"the gamepad interface was reached: {reached[:2]}")
    appeared = (re.search(r"\] normal mode \(0e7b:0bf2\) appears as (\S+)", line) for line in log)
    frames = [m.group(1) for m in appeared if m]
    with open(os.path.join(rig.last_record(), "summary.txt")) as f:
        transport = [line for line in f.read().splitlines() if line.startswith("transport: ")]
    expect(frames and len(transport) == 1 and transport[0].startswith(f"transport: hidraw {frames[0]} on USB port "),
           f"the record says {transport}, the frames went to {frames[:1]}")


def list_during(rig):
    """quillmere-cli list (plain and --json) while the update on 1-1 runs, once it lists both converters."""
    first_run_log(rig)
    for _ in range(40):  # 1-1 re-enumerating is missing from a listing for a moment
        rig.listed = [rig.cli(["list", rig.bundle]), rig.cli(["list", "--json", rig.bundle])]
        if all(len(r.stdout.splitlines()) == 2 for r in rig.listed):
            return
        time.sleep(0.05)


def check_listed(rig, run):
    """Both converters with their serial numbers, and the update holding 1-1 (only while it runs)."""
    node = r"(/dev/hidraw\d+|convsim:(normal|loader))"
    held = rf"an update holds it \(quillmere-cli, process {run.pid}\)"
    expected = [rf"USB port 1-1: (normal mode|loader), {node}, serial number EMU-(CNV|LDR)-0001, you may open it, {held}",
                rf"USB port 1-2: normal mode, {node}, serial number EMU-CNV-1-2, you may open it, no update holds it"]
    plain, as_json = rig.listed
    lines = plain.stdout.splitlines()
    expect(plain.returncode == 0 and len(lines) == 2 and all(re.fullmatch(p, l) for p, l in zip(expected, lines)),
           f"list during the update printed {lines!r} (status {plain.returncode})")
    listed = [json.loads(line) for line in as_json.stdout.splitlines()]
    expect([(c["port"], c["may_open"], c["held_by"]) for c in listed] ==
           [("1-1", True, f"quillmere-cli, process {run.pid}"), ("1-2", True, None)], f"list --json printed {listed}")
    after = rig.cli(["list", rig.bundle]).stdout.splitlines()
    expect(len(after) == 2 and all(l.endswith(", no update holds it") for l in after), f"list afterwards: {after}")


def check_waited(rig, run):
    """It said it waits, once and first, and updated the converter once it came (2 s after the start)."""
    waiting = [l for l in run.out if "Waiting for a converter" in l]
    expect(waiting == ["Waiting for a converter... (Ctrl-C to stop)"] and run.out[0] == waiting[0],
           f"quillmere-cli said {run.out[:2]}")
    expect(run.seconds > 2, f"the update ended {run.seconds:.1f} s after its start")


def check_all_records(rig, run):
    """One record per converter, each Complete and naming its own port, each named by its outcome line."""
    outcomes = {m.group(1): m.group(3) for m in map(CLI_OUTCOME.fullmatch, run.out) if m}
    expect(sorted(outcomes) == ["1-1", "1-2", "1-3"], f"outcome lines for {sorted(outcomes)}")
    for port, rest in outcomes.items():
        folder = re.search(r"\(record: (.+)\)$", rest).group(1)
        with open(os.path.join(folder, "summary.txt")) as f:
            summary = f.read()
        expect("outcome: Complete\n" in summary and f"converter: USB port {port}," in summary,
               f"the record of {port} says {summary[-300:]!r}")
        check_only_port(folder, port)


def check_record_whole(rig, run):
    """Its reader gone, the update went on to its end: the record is Complete and whole."""
    expect(len(run.out) < 10 and any("A transfer" in l for l in run.out), f"the reader read {run.out}")
    summary = text_lines(os.path.join(rig.last_record(), "summary.txt"))
    expect("outcome: Complete" in summary and summary[-1].startswith("total: "), f"summary {summary[-3:]}")
    events = [json.loads(line)["ev"] for line in text_lines(os.path.join(rig.last_record(), "wire.jsonl"))]
    expect(events.count("run") == events.count("end") > 800, f"{events.count('run')} runs, {events.count('end')} ended")


LOADER_NEVER = r"Timout \(wait LDROM\)"
C4_NEVER = r"TIMEOUT \(wait status C4\)"
D0_FIXED = r"Timeout \(wait status:D0\), auto-fixed"
FINAL_CHECKSUM = r"Final CheckSum Error"
NO_CONVERTER = r"No converter is plugged in: neither 0E7B:0BF2 nor its loader 0416:A316 is listed\. Plug it in and start again\. Nothing was sent\."
CANNOT_OPEN = (r"The converter 0e7b:0bf2 is plugged in at /dev/hidraw0 but this user may not open it\. "
               r"Install the udev rule .*, then unplug the converter and plug it in again\.")
TINY_STATE = "tiny-state"  # Case.state: a state folder on a file system too small for the record
LISTING_SILENT = r"The converters plugged in could not be listed: tavik ports got no answer in time\. Nothing was sent\."
SEVERAL = r"Several converters are plugged in \(USB ports 1-1, 1-2\)\. Unplug all but the one to update, or choose one with --port PORT\."
BOTH = ("socket", "hidraw")

CASES = {
    "clean-a": Case(tick=False, ends="complete", bcode="before", again="none", transports=BOTH),
    "clean-ab": Case(ends="complete", again="none", replay="same-tgz", transports=BOTH),
    # A recording replayed with line 12 (A packet 4) of its tmpa.hex changed; a state folder that
    # cannot be written.
    "replay-changed-tmpa": Case(tick=False, ends="complete", bcode="before", again="none", replay="changed-tmpa"),
    "state-unwritable": Case(tick=False, ends="complete", bcode="before", again="none", state="a-file"),
    # A record that could not be written whole says so; the update goes on to its end.
    "state-full": Case(ends="complete", again="none", state=TINY_STATE),
    # Files made by the recipes of docs/firmware-files.md (srec_cat, objcopy).
    "foreign-files": Case(ends="complete", again="none", foreign=0),
    "foreign-files-objcopy": Case(ends="complete", again="none", foreign=1),
    # Read once: files replaced once the update runs (before the A transfer) change nothing in it.
    "read-once": Case(ends="complete", again="none", during=replace_during_a, check=check_read_once),
    # A clock that went back: 22 update folders stamped in the future (one Failed), and a decoy.
    "rotation": Case(tick=False, ends="complete", bcode="before", again="none", prepare=future_folders,
                     check=check_rotation),
    # Faults of the converter.
    "silent-loader": Case(faults=["silent-loader"], alerts=[LOADER_NEVER], app="before", bcode="before",
                          again="restart", transports=BOTH),
    # tavik waits 1 s for a second reply after a wrong one: packet runs need a limit above that.
    "bad-ack-first": Case(faults=["bad-ack@1"], app="incomplete", bcode="before", scale="0.25",
                          cause=r"A packet 1 of 536 was not acknowledged \(uafail ckSum\)"),
    "bad-ack-mid": Case(faults=["bad-ack@40"], app="incomplete", bcode="before", scale="0.25", replay="same",
                        transports=BOTH),
    "unplug-mid-a": Case(faults=["unplug@200"], app="incomplete", bcode="before", replay="same", transports=BOTH,
                         cause=r"the converter was unplugged during A packet 200 of 536"),
    # Between two packets: the next packet's run finds no loader and the transfer stops there.
    "unplug-between-a": Case(faults=["unplug-before@200"], app="incomplete", bcode="before", again="restart",
                             transports=BOTH, cause=r"the converter was unplugged during A packet 200 of 536"),
    # Gone on the burn frame: the converter never confirms the burn, and nothing claims it did.
    "unplug-at-burn": Case(faults=["unplug-burn"], alerts=[D0_FIXED], bcode="before", again="restart", transports=BOTH,
                           cause=r"the burn was not confirmed by the converter \(no status D0 after 6 tries\)"),
    # A B line that is not confirmed fails the transfer; an incomplete B code is never burned.
    "unplug-mid-b": Case(faults=["unplug-b@160"], bcode="before", transports=BOTH,
                         cause=r"the converter was unplugged during B line 160 of 320"),
    # Socket only: hidraw-run waits for a first node, and with no converter none comes. START stops
    # at once, nothing sent, rather than waiting for the loader.
    "no-converter": Case(faults=["absent"], alerts=[NO_CONVERTER], app="before", bcode="before", again="restart",
                         sent_nothing=True, within=5, cause=r"no converter was plugged in: tavik ports listed none; nothing was sent"),
    # A logout or shutdown in the middle of the A code: the record says so and replays that far.
    "sigterm-mid-a": Case(interrupt=signal.SIGTERM, ends="interrupted", app="incomplete", bcode="before", replay="same",
                          cause=r"interrupted by SIGTERM during A packet \d+ of 536", transports=BOTH),
    "bad-echo": Case(faults=["bad-echo@50"], bcode="before"),
    "no-c4": Case(faults=["no-c4"], alerts=[C4_NEVER], bcode="before", again="restart", replay="same"),
    # A burn the converter does not confirm is no success; the next update writes the B code again.
    "no-d0": Case(faults=["no-d0"], alerts=[D0_FIXED], bcode="before", again="restart",
                  cause=r"the burn was not confirmed by the converter \(no status D0 after 6 tries\)"),
    # Slower than usual but inside the 3 s pause after "runaprom" (1.5 s at this scale).
    "slow-reenum": Case(faults=["slow-reenum=1000"], ends="complete", again="none", scale="0.5", transports=BOTH),
    # At real time: every re-enumeration takes 3.5 s, or 10 s; after "runaprom" the update waits
    # until the converter is back (up to 20 s) before its next burst.
    "slow-reenum-3500": Case(faults=["slow-reenum=3500"], ends="complete", again="none", scale="1"),
    "slow-reenum-10000": Case(faults=["slow-reenum=10000"], ends="complete", again="none", scale="1"),
    "no-return": Case(faults=["no-return"], bcode="before", again="restart",
                      cause=r"the converter did not come back after its application started \(20 s\)"),
    "slow-reenum-beyond-wait": Case(faults=["slow-reenum=9000"], alerts=[LOADER_NEVER], app="before",
                                    bcode="before", again="restart"),
    # Through hidraw the kernel drops normal mode's garbage (no such report number) but passes the
    # loader's on (its reports carry no number).
    "garbage-replies": Case(faults=["garbage-replies"], app="incomplete", bcode="before", again="restart", transports=BOTH),
    # Replies cut to 4 bytes still carry the packet checksum, but not the final total.
    "short-replies": Case(faults=["short-replies"], alerts=[FINAL_CHECKSUM], bcode="before", again="restart"),
    # Through hidraw a report longer than the interrupt-IN transfer never arrives: the loader is silent.
    "long-replies": Case(faults=["long-replies"], ends="complete", again="none", transports=BOTH,
                         on_hidraw=dict(ends="failed", alerts=[LOADER_NEVER], app="before", bcode="before", again="restart")),
    # Interrupt-OUT writes, counted over the run: the mode frame, start A, the loader's status and
    # sync come first, so write 104 carries A packet 100. A NAKed write is only late; a stalled one
    # fails; one that times out fails after 5 s, inside the packet's run limit at this scale.
    "out-slow": Case(faults=["out-slow@104=200"], ends="complete", again="none", transports=("hidraw",)),
    "out-stall": Case(faults=["out-stall@104"], app="incomplete", bcode="before", transports=("hidraw",),
                      cause=r"the converter stalled the write of A packet 100 of 536"),
    "out-timeout": Case(faults=["out-timeout@14"], app="incomplete", bcode="before", scale="0.75", transports=("hidraw",),
                        cause=r"the write of A packet 10 of 536 timed out"),
    # Every echo comes after N status reports queued with it, so no timing moves it: the sixth
    # report is within the ten tavik reads after its write (what came before the write it drops);
    # the thirteenth is beyond them, and line 1 stays unconfirmed.
    "flood-5": Case(faults=["flood=5"], ends="complete", again="none", replay="same", transports=BOTH),
    "flood-12": Case(faults=["flood=12"], bcode="before", again="restart", replay="same", transports=BOTH,
                     cause=r"B line 1 of 320 was not echoed"),
    # Each identity stays on the bus 400 ms after it is told to leave, so the "sa" after start A opens
    # normal mode as it leaves and gets the kernel's answer: the open succeeds, the descriptor query
    # fails. Freed memory is filled, so a use after free in the tool cannot pass unseen.
    "slow-leave": Case(faults=["slow-leave=400"], ends="complete", again="none", scale="0.5", transports=("hidraw",),
                       env={"MALLOC_PERTURB_": "165"}, check=check_leaving_opens),
    # A converter this user may not open once udev has finished with it: named at once, nothing sent, Failed.
    "permission": Case(transports=("hidraw",), node_mode="0600", as_user=65534, alerts=[CANNOT_OPEN], sent_nothing=True,
                       app="before", bcode="before", again="none"),
    # udev grants the user access 2 s, or 8 s, after each node appears, every re-enumeration
    # included: until then the node is not there yet, and each wait for the converter outlasts it
    # (after "runaprom" 20 s at most, the loader 31 tries: at these scales 5 s and 7.75 s, 10 s and 15.5 s).
    "late-permission": Case(transports=("hidraw",), convsim=("--udev-delay-ms", "2000"), as_user=65534,
                            ends="complete", again="none", scale="0.25"),
    "late-permission-8s": Case(transports=("hidraw",), convsim=("--udev-delay-ms", "8000"), as_user=65534,
                               ends="complete", again="none", scale="0.5"),
    # Normal mode shows a gamepad interface before the one that takes the frames.
    "composite": Case(transports=("hidraw",), convsim=("--composite",), ends="complete", again="none",
                      check=check_composite),
    # Only the converter START chose is ever opened.
    "two-converters": Case(converters=("1-2",), alerts=[SEVERAL], sent_nothing=True, app="before", bcode="before",
                           again="none", transports=BOTH),
    # A TAVIK_PORT left in the user's environment chooses nothing: the window decides every run's port.
    "inherited-port": Case(converters=("1-2",), env={"TAVIK_PORT": "1-2"}, alerts=[SEVERAL], sent_nothing=True,
                           app="before", bcode="before", again="none", transports=BOTH),
    "inherited-port-malformed": Case(env={"TAVIK_PORT": "../1-1"}, ends="complete", again="none"),
    # A listing that never answers chooses nothing either: Failed before anything is sent.
    "listing-silent": Case(tool_before='[ "$1" = ports ] && exec sleep 60', sent_nothing=True, app="before",
                           bcode="before", again="none", alerts=[LISTING_SILENT],
                           cause=r"the converters could not be listed \(tavik ports got no answer in time\); nothing was sent"),
    "second-plugged-during-a": Case(converters=("1-2@2500",), ends="complete", again="none", transports=BOTH),
    "second-present-slow-reenum": Case(converters=("1-2",), port="1-1", faults=["slow-reenum=1500"], ends="complete",
                                       again="none", scale="0.5", transports=BOTH),
    "two-windows": Case(converters=("1-2",), port="1-1", beside="1-2", ends="complete", again="none",
                        transports=BOTH),
    "other-hid": Case(convsim=("--other-hid", "30"), ends="complete", again="none", transports=("hidraw",)),
    # One updater per converter: quillmere-cli beside the window on its port, two unpinned ones at once.
    "cli-beside-window": Case(port="1-1", rival="cli", ends="complete", again="none", transports=BOTH),
    "two-clis-at-once": Case(front="cli", rival="cli@start", ends="complete", again="none", transports=BOTH),
    # Firmware files, bundle name, tool.
    # One refused file of each kind, refused before the first tool run (every way a file is refused
    # is a row of the unit tables); a FIFO is refused at once, not waited on.
    "tmpa-fifo": Case(prepare=lambda rig: (os.remove(rig.path("tmpa.hex")), os.mkfifo(rig.path("tmpa.hex"))),
                      alerts=[r"Acode file refused \(PATH/tmpa\.hex\): tmpa\.hex is not a regular file \(a FIFO\)"],
                      app="before", bcode="before", again="none", sent_nothing=True),
    "corrupt-tmpb": Case(prepare=lambda rig: break_record(rig, "tmpb.hex", 7),
                         alerts=[r"Bcode file refused \(PATH/tmpb\.hex\): line 7: .*"], app="before", bcode="before",
                         again="none", sent_nothing=True),
    "bundle-upper-case": Case(bundle="upper-case", ends="complete", again="none"),
    "bundle-without-checksum": Case(bundle="no-checksum", alerts=[r"The bundle name has no checksum field: .*"],
                                    app="before", bcode="before", sent_nothing=True),
    "bundle-malformed-checksum": Case(bundle="malformed-checksum", alerts=[r"The bundle name's checksum field \"0x12\" is malformed: .*"],
                                      app="before", bcode="before", again="none", sent_nothing=True),
    # A stray go setting in the user's environment holds back no run.
    "stray-wait-for-go": Case(env={"TAVIK_WAIT_FOR_GO": "1"}, ends="complete", again="none"),
    "bundle-wrong-checksum": Case(bundle="wrong-checksum", alerts=[FINAL_CHECKSUM], bcode="before"),
    # The same update from the command line: clean, a fault (with --json), a refused file.
    "cli-clean-ab": Case(ends="complete", again="none", front="cli", replay="same-report", transports=BOTH),
    "cli-json-unplug-mid-a": Case(faults=["unplug@200"], app="incomplete", bcode="before", front="cli-json",
                                  replay="same-report-newest"),
    # What a screen reader is told through AT-SPI: each step as drawn, then the outcome and cause.
    "atspi-unplug-mid-a": Case(faults=["unplug@200"], app="incomplete", bcode="before", again="none", atspi=True,
                               cause=r"the converter was unplugged during A packet 200 of 536"),
    "cli-tmpa-with-hole": Case(prepare=lambda rig: edit_lines(rig, "tmpa.hex", lambda l: l[:49] + l[50:]), sent_nothing=True,
                               alerts=[r"Acode file refused \(PATH/tmpa\.hex\): line 50: .*"], app="before", bcode="before",
                               again="none", front="cli"),
    # A repair bench: the converters listed beside an update, an update once one is plugged in, all at once,
    # a port with none (refused within a second, the ports that have one named), options after the bundle.
    "cli-list-two-converters": Case(converters=("1-2",), port="1-1", front="cli", ends="complete", again="none",
                                    during=list_during, check=check_listed, transports=BOTH),
    "cli-wait": Case(converters=("1-1@2000",), front="cli", cli_args=("--wait=30",), ends="complete", again="none",
                     check=check_waited),
    "cli-all-three": Case(converters=("1-2", "1-3"), front="cli", cli_args=("--all",), ends="complete", again="none",
                          check=check_all_records, transports=BOTH),
    "cli-port-without-converter": Case(converters=("1-2",), port="1-3", front="cli", sent_nothing=True, within=1,
                                       alerts=[r"No converter is plugged in at USB port 1-3 \(converters are plugged in at "
                                               r"USB ports 1-1, 1-2\)\. Nothing was sent\."], app="before", bcode="before",
                                       again="none", transports=BOTH,
                                       cause=r"no converter was plugged in at USB port 1-3 \(converters were at USB ports "
                                             r"1-1, 1-2\); nothing was sent"),
    "cli-port-equals": Case(converters=("1-2",), front="cli", cli_args=("--port=1-1",), ends="complete", again="none",
                            transports=BOTH),
    # Its reader gone in the A transfer, the update still ends Complete and its record whole.
    "cli-pipe-closed": Case(front="cli", close_output="step: A transfer", ends="complete", again="none",
                            check=check_record_whole),
    "tool-missing": Case(tool=False, alerts=[r"Cannot start tavik \(PATH/Quillmere_V100_0x[0-9a-f]{4}\.app/Contents/Resources/tavik\): .+"],
                         app="before", bcode="before", again="none"),
}


CLI_OUTCOME = re.compile(r"quillmere-cli: (?:(\d+-[\d.]+): )?(Complete|Failed|interrupted): (.*)")


def cli_run(run, front, all_ports=False):
    """A quillmere-cli run in the window's terms: its alerts, and its end as the end screen. Every
    progress line and event names its port; the outcome comes once (once per converter with
    --all), on standard output. With --json every line must be one event, the outcome's exit
    status the real one, and the record's folder the last event."""
    if front == "cli-json":
        try:
            events = [json.loads(line) for line in run.lines]
        except ValueError as error:
            raise CaseFailed(f"quillmere-cli --json printed a line that is no JSON: {error}")
        expect(all("port" in e for e in events), "an event without its port")
        outcomes = [e for e in events if e["event"] == "outcome"]
        expect(len(outcomes) == 1 and outcomes[0]["exit"] == run.status, f"outcome events {outcomes}, exit {run.status}")
        expect(events[-1]["event"] == "record" and os.path.isdir(events[-1]["folder"]), f"last event {events[-1]}")
        expect(any(e["event"] == "step" and e["port"] for e in events), "no step event with its port")
        alerts = ["ALERT: " + e["text"] for e in events if e["event"] == "alert"]
        complete = outcomes[0]["outcome"] == "Complete"
    else:
        alerts = [re.sub(r"^\d+-[\d.]+: ", "", line) for line in run.lines if re.match(r"(\d+-[\d.]+: )?ALERT: ", line)]
        unported = [line for line in run.lines if re.match(r"(step|progress): ", line)]
        expect(not unported, f"progress lines without their port: {unported[:2]}")
        outcomes = [m for m in map(CLI_OUTCOME.fullmatch, run.lines) if m]
        expect(all(m.group(1) for m in outcomes) if all_ports else len(outcomes) == 1,
               f"quillmere-cli printed the outcomes {[m.group(0) for m in outcomes]}")
        ends = [line for line in run.lines if line in (SUCCESS_TEXT, FAILED_TEXT)]
        expect(len(ends) == (0 if all_ports else 1), f"quillmere-cli printed the end texts {ends}")
        complete = all(m.group(2) == "Complete" for m in outcomes)
        expect(all_ports or ends[0] == (SUCCESS_TEXT if complete else FAILED_TEXT), f"end text {ends} beside {outcomes}")
    expect(not any(re.match(r"Quillmere: (Complete|Failed|interrupted): ", line) for line in run.errors),
           "quillmere-cli put the outcome on standard error too")
    return Run(alerts + [COMPLETE if complete else FAILED], run.status, run.errors, run.pid, out=run.lines,
               front=front, seconds=run.seconds)


def bundle_name(kind, checksum):
    if kind == "no-checksum":
        return f"Quillmere_{VERSION_FIELD}.app"
    if kind == "upper-case":
        return f"Quillmere_{VERSION_FIELD}_0X{checksum.upper()}.app"
    if kind == "malformed-checksum":
        return f"Quillmere_{VERSION_FIELD}_0x12_0x{checksum}.app"
    if kind == "wrong-checksum":
        return f"Quillmere_{VERSION_FIELD}_0x{(int(checksum, 16) ^ 0x0101):04x}.app"
    return f"Quillmere_{VERSION_FIELD}_0x{checksum}.app"


def check_run(run, ends, alert_patterns, rig, failed_status=1):
    screens = run.screens
    expect(screens, "Quillmere printed no screen")
    if ends == "complete":
        expect(screens[-1] == COMPLETE, f"expected the Completed screen, last screen: {screens[-1]!r}")
        expect(run.status == 0, f"Quillmere exit status {run.status} after FINISH")
    elif ends == "interrupted":
        expect(not any(SUCCESS_TEXT in s for s in screens), "an interrupted update showed the success text")
        expect(run.status == 128 + signal.SIGTERM, f"Quillmere exit status {run.status} after SIGTERM")
    else:
        expect(screens[-1] == FAILED, f"expected the Failed screen, last screen: {screens[-1]!r}")
        expect(not any(SUCCESS_TEXT in s for s in screens), "a failed update showed the success text")
        expect(run.status == failed_status, f"exit status {run.status} after a failure, expected {failed_status}")
    patterns = [p.replace("PATH", re.escape(rig.dir)) for p in alert_patterns]
    expect(len(run.alerts) == len(patterns) and all(re.fullmatch(p, a) for p, a in zip(patterns, run.alerts)),
           f"alerts {run.alerts!r}, expected {alert_patterns!r}")


def cause_sentence(cause):
    """A case's cause (a regular expression) as the window writes it: capitalised."""
    return cause[0].upper() + cause[1:]


def check_cause_line(run, cause):
    """The failure screen's cause line: the record's cause as a sentence, then any advice."""
    sentence = cause_sentence(cause)
    lines = [l for l in run.lines if l.startswith("CAUSE: ")]
    expect(len(lines) == 1 and re.fullmatch(rf"CAUSE: {sentence}\.( .+)?", lines[0]),
           f"cause lines {lines!r}, expected one for {sentence!r}")
    expect(run.lines.index(FAILED) < run.lines.index(lines[0]), "the cause line came before the Failed screen")


def check_screen_reader(run, cause):
    """What atspi_walk.py read: the status region a focused progress bar whose words name its value
    (never "Ready" once the update runs), and at the end EXIT focused, telling the outcome with its
    cause, beside the cause's own label."""
    during, end = run.atspi["during"], run.atspi["end"]
    expect(end, "the walk never saw the end screen")
    running = [(d, v) for d, v, focused in during if focused]
    expect(running, "the status region never had the focus")
    for description, value in running:
        expect(description == f"Updating, {value:.0f} %" or description.startswith("Failed. "),
               f"the status region said {description!r} at {value}")
    sentence = cause_sentence(cause)
    pattern = rf"Failed\. {re.escape(FAILED_TEXT)} {sentence}\..*"
    buttons = [n for n in end if n["role"] == "push button" and n["name"] == "EXIT"]
    expect(len(buttons) == 1 and buttons[0]["focused"] and re.fullmatch(pattern, buttons[0]["description"]),
           f"the end screen's button {buttons}, expected EXIT focused telling {pattern!r}")
    status = [n for n in end if n["role"] == "progress bar" and n["name"] == "Update status"]
    expect(status and re.fullmatch(pattern, status[0]["description"]), f"the status region at the end {status}")
    expect(any(n["role"] == "label" and re.fullmatch(rf"{sentence}\..*", n["name"]) for n in end),
           "no label names the cause")


def check_device(device, before, firmware, app, bcode):
    """Compares what convsim --show reports with the images (or with the flash before the run)."""
    new = flash_fields(firmware.a_image, firmware.b_data)
    held_a, old_a, new_a = ({k: f.get(k) for k in new if k.startswith("application")} for f in (device, before, new))
    if app == "new":
        expect(held_a == new_a, f"device holds A {held_a}, expected {new_a}")
    elif app == "before":
        expect(held_a == old_a, f"device A changed to {held_a}, expected it untouched {old_a}")
    elif app == "incomplete":
        expect(held_a["application"].startswith("incomplete"),
               f"device A is {held_a['application']!r}, expected an interrupted image")
    elif app == "damaged":
        expect(held_a["application"] == "complete" and held_a["application size"] == new_a["application size"] and
               held_a["application sha256"] != new_a["application sha256"],
               f"device A {held_a}: expected a whole image that differs from the file")
    held_b, old_b, new_b = ({k: f.get(k) for k in new if k.startswith("b-code")} for f in (device, before, new))
    if bcode == "new":
        expect(held_b == new_b, f"device holds B {held_b}, expected {new_b}")
    elif bcode == "before":
        expect(held_b == old_b, f"device B changed to {held_b}")


def check_record(rig, run, case, state="state"):
    """Every update leaves its folder (or, where it cannot, one line on standard error), and the
    recorded update replays as it ran."""
    if case.state == "a-file":
        expect(sum(NO_RECORD in line for line in run.errors) == 1, f"stderr {run.errors[-3:]!r}: one line about the record")
        return
    record = rig.last_record(state)
    for name in ("output.log", "wire.jsonl", "summary.txt"):  # wire.jsonl stays empty when no tool ran
        expect(os.path.exists(os.path.join(record, name)), f"{record}/{name} is missing")
    if run.front == "window":
        expect(any(record in line and NO_RECORD not in line for line in run.errors), "the record's folder is not on stderr")
    elif run.front == "cli" and run.out is not None and not case.close_output:
        expect(any(record in line for line in run.out if CLI_OUTCOME.fullmatch(line)), "no outcome line names the record")
    for name in ("output.log", "summary.txt"):
        with open(os.path.join(record, name), encoding="utf-8", errors="replace") as f:
            expect(rig.dir not in f.read(), f"{name} names the home folder {rig.dir}")
    summary = text_lines(os.path.join(record, "summary.txt"))
    if case.state == TINY_STATE:
        cut = r"record incomplete: no space left on device \(tmpa\.hex copy cut at \d+ of \d+ bytes\)"
        expect(re.fullmatch(cut, summary[0]), f"summary begins {summary[:1]}, expected {cut}")
        expect(re.search(r"; record incomplete: no space left on device", run.errors[-1]), f"last line {run.errors[-1:]}")
        summary = summary[1:]
    keys = [line.partition(": ")[0] for line in summary[:7]]
    expect(keys == ["program", "os", "kernel", "qt", "hidapi", "transport", "pause scale"], f"summary begins {keys}")
    transport = r"hidraw /dev/hidraw\d+ on USB port 1-1 \(0e7b:0bf2\).*" if rig.namespace else r"emulator \(socket ~/conv\.sock\).*"
    expect(re.fullmatch("transport: " + transport, summary[5]), f"summary says {summary[5]!r}")
    expect(re.fullmatch(r"started: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4} \(\S+\)", summary[7]), f"summary says {summary[7]!r}")
    pinned = re.search(r", pinned to USB port (\S+)$", summary[5])
    converter = rf"USB port {pinned.group(1)}, serial number EMU-CNV-{'0001' if pinned.group(1) == '1-1' else pinned.group(1)}" \
        if pinned else "none chosen"
    expect(summary[8] == "converter: " + converter, f"summary says {summary[8]!r}, expected the converter {converter}")
    if case.cause:
        summary = dict(line.split(": ", 1) for line in text_lines(os.path.join(record, "summary.txt")) if ": " in line)
        outcome = OUTCOMES[case.ends]
        expect(summary.get("outcome") == outcome and re.fullmatch(case.cause, summary.get("cause", "")),
               f"summary says {summary.get('outcome')!r}: {summary.get('cause')!r}, expected {outcome}: {case.cause!r}")
        if run.front == "window":
            last = rf"Quillmere: {outcome}: {case.cause} \(record: {re.escape(record)}\)"
            expect(run.errors and re.fullmatch(last, run.errors[-1]), f"last line {run.errors[-1:]!r}, expected {last!r}")
        elif run.front == "cli":
            last = rf"quillmere-cli: (\S+: )?{outcome}: {case.cause} \(record: {re.escape(record)}\)"
            expect(any(re.fullmatch(last, line) for line in run.out), f"no outcome line {last!r} in {run.out[-2:]!r}")
    if not case.replay:
        return
    expected = 0
    if case.replay == "changed-tmpa":
        packets = fwgen("alines", os.path.join(record, "tmpa.hex")).split()
        alter_byte(os.path.join(record, "tmpa.hex"), 12)
        expected = 1
    build = os.path.dirname(os.path.dirname(os.environ["QM_E2E_BUNDLE"]))
    if case.replay == "same-tgz":
        subprocess.run(["tar", "czf", rig.path("update.tgz"), "-C", os.path.dirname(record), os.path.basename(record)],
                       check=True)
        record = rig.path("update.tgz")
    elif case.replay.startswith("same-report"):
        newest = case.replay == "same-report-newest"
        made = rig.cli(["report"] + ([] if newest else [record, f"--output={rig.path('report.tgz')}"]))
        archive = rig.path(f"quillmere-{os.path.basename(record)}.tgz" if newest else "report.tgz")
        expect(made.returncode == 0 and made.stdout == archive + "\n", f"report printed {made.stdout!r} {made.stderr!r}")
        record = archive
    replay = subprocess.run([sys.executable, REPLAY, record, "--build", build], capture_output=True, text=True)
    print(replay.stdout, end="")
    kept = re.search(r"^replay: scratch folder kept: (.+)$", replay.stdout, re.M)
    if kept and replay.returncode == expected:  # an unexpected one stays for a look
        shutil.rmtree(kept.group(1), ignore_errors=True)
    expect(replay.returncode == expected, f"scripts/replay exit status {replay.returncode}, expected {expected}: {replay.stderr}")
    if case.replay == "changed-tmpa":
        expect(re.search(rf"replay diverged at report \d+ \(run {packets[3]}\): expected [0-9a-f]+, got [0-9a-f]+",
                         replay.stdout), "the divergence does not name A packet 4")
        expect(re.search(r"^outcome +Complete +!= Failed$", replay.stdout, re.M), "the replayed update did not fail")


def check_refused(rig, run, front, state, holder, holder_pid):
    """The updater that met the lock of `holder` ("Quillmere" or "quillmere-cli") on port 1-1:
    Failed with the alert and the cause naming it, and not one tool run of its own (the listing
    of an unpinned one aside)."""
    who = rf"{holder}, process {holder_pid}"
    check_run(run, "failed", [rf"Another update is running on the converter at USB port 1-1 \({who}\)\. "
                              r"Wait until it has finished\."], rig, 1 if front == "window" else 3)
    record = rig.last_record(state)
    summary = dict(line.split(": ", 1) for line in text_lines(os.path.join(record, "summary.txt")) if ": " in line)
    cause = rf"another update holds the converter at USB port 1-1 \({who}\); nothing was sent"
    expect(re.fullmatch(cause, summary.get("cause", "")), f"the refused update's cause {summary.get('cause')!r}")
    events = [json.loads(line) for line in text_lines(os.path.join(record, "wire.jsonl"))]
    sent = [e for e in events if e["ev"] not in ("run", "end") or e["ev"] == "run" and e.get("arg") != "ports"]
    expect(not sent, f"the refused update reached the converter: {sent[:3]}")
    expect(not any("runCmd() returned:" in line for line in text_lines(os.path.join(record, "output.log"))),
           "the refused update ran the tool")


def check_only_port(record, port):
    """Every open of the recorded update named `port`."""
    opens = [json.loads(line) for line in text_lines(os.path.join(record, "wire.jsonl")) if '"ev":"open"' in line]
    elsewhere = [o for o in opens if o.get("port") != port]
    expect(not elsewhere, f"{len(elsewhere)} opens elsewhere than port {port}, first {elsewhere[:1]}")


def check_only_first_converter(rig, others, others_before):
    """Every open of the update named port 1-1; no other device was opened or changed."""
    check_only_port(rig.last_record(), "1-1")
    expect(not any("an unrelated HID device" in line and " opens " in line for line in text_lines(rig.path("convsim.log"))),
           "an unrelated HID device was opened")
    for port, state in others.items():
        expect(rig.show(state) == others_before[port], f"the converter on {port} changed")


def run_case(name, case, rig):
    if case.foreign is not None:
        foreign_firmware(rig, case.foreign)
        with open(rig.path("a.bin"), "rb") as a, open(rig.path("b.bin"), "rb") as b:
            good = Firmware(a.read(), b.read())
    else:
        rig.write_sample_firmware()
        good = Firmware(data_by_address(rig.path("tmpa.hex")), data_by_address(rig.path("tmpb.hex")))
    # The release is named after its A image, the checksum computed by the project's own tool.
    checksum = fwgen("checksum", rig.path("tmpa.hex")).strip()
    expect(checksum == f"{good.a_total:04x}", f"fwgen checksum {checksum}, the image sums to {good.a_total:04x}")
    if case.prepare:
        case.prepare(rig)
    exe = rig.make_bundle(bundle_name(case.bundle, checksum), with_tool=case.tool, tool_before=case.tool_before)
    rig.bundle = os.path.dirname(os.path.dirname(os.path.dirname(exe)))

    rig.start_device(case.faults, case.node_mode, case.sent_nothing, case.converters, case.convsim)
    before = rig.show()
    others = {c.partition("@")[0]: rig.path(c.partition("@")[0] + ".state") for c in case.converters
              if not c.startswith("1-1@")}
    others_before = {port: rig.show(state) for port, state in others.items()}
    if "--udev-delay-ms" in case.convsim:  # the converter was plugged in a moment before START
        time.sleep(int(case.convsim[case.convsim.index("--udev-delay-ms") + 1]) / 1000 + 0.2)
    if case.state == "a-file":
        open(rig.path(case.state), "w").close()
    elif case.as_user is not None:
        os.makedirs(rig.path(case.state), mode=0o777, exist_ok=True)
        os.chmod(rig.path(case.state), 0o777)  # the record folder of a run as another user
    during = threading.Thread(target=case.during, args=(rig,), daemon=True) if case.during else None
    if during:
        during.start()
    if case.beside:  # the second window runs meanwhile, on the other converter
        beside = {}
        other = threading.Thread(target=lambda: beside.update(run=rig.update(exe, case.tick, case.scale, "state-2",
                                                                             port=case.beside)))
        other.start()
    if case.rival:  # the second updater on the same converter
        rival_front, _, together = case.rival.partition("@")
        rival = {}

        def second():
            rival["waited"] = together or first_run_log(rig)
            rival["run"] = rig.update(exe, case.tick, case.scale, "state-2", port=case.port, front=rival_front)
            rival["ended"] = time.monotonic()

        rival_thread = threading.Thread(target=second)
        rival_thread.start()
    first = rig.update(exe, case.tick, case.scale, case.state, case.env, case.as_user, case.port,
                       interrupt=case.interrupt, front=case.front, cli_args=case.cli_args, close_output=case.close_output,
                       atspi=case.atspi)
    expect(case.within is None or first.seconds < case.within, f"the update took {first.seconds:.2f} s")
    first_state = case.state
    if case.rival:
        first_ended = time.monotonic()
        rival_thread.join()
        expect(rival["waited"], "the first update ran no tool")
        refused, refused_state = rival["run"], "state-2"
        if together and first.status != 0:  # the one started beside it won
            first, refused, first_state, refused_state = refused, first, refused_state, first_state
        expect(rival["ended"] < first_ended if refused_state == "state-2" else first_ended < rival["ended"],
               "the refused update waited for the other to end")
        holder = "Quillmere" if case.front == "window" else "quillmere-cli"
        check_refused(rig, refused, rival_front, refused_state, holder, first.pid)
    # quillmere-cli tells a refusal before the first tool run (3) from a failed update (1).
    check_run(first, case.ends, case.alerts, rig, 3 if case.front != "window" and case.sent_nothing else 1)
    if "--all" in case.cli_args:  # each converter updated, each exactly
        for port, state in others.items():
            check_device(rig.show(state), others_before[port], good, "new", "new" if case.tick else "before")
        others = {}
    if case.beside:
        other.join()
        check_run(beside["run"], "complete", [], rig)
        check_device(rig.show(others[case.beside]), others_before[case.beside], good, "new", "new")
        check_only_port(rig.last_record("state-2"), case.beside)
        others = {}
    if case.runs is not None:
        runs = sum("runCmd() returned:" in line for line in first.errors)
        expect(runs == case.runs, f"{runs} tool runs, expected {case.runs}")
    check_device(rig.show(), before, good, case.app, case.bcode)
    if case.sent_nothing:
        expect(rig.writes_seen() == 0, f"the converter got {rig.writes_seen()} reports from a refused update")
    check_record(rig, first, case, first_state)
    if case.cause and case.front == "window" and case.ends == "failed":
        check_cause_line(first, case.cause)
    if case.atspi:
        check_screen_reader(first, case.cause)
    if case.check:
        case.check(rig, first)
    if (case.converters or case.convsim) and "--all" not in case.cli_args:
        check_only_first_converter(rig, others, others_before)  # the window beside it checked above
    if case.again == "none":
        return
    # The converter is still reachable: with sound files and name, a second update succeeds.
    if case.again == "restart":
        rig.stop_device()
        rig.start_device()
    if case.prepare:
        rig.write_sample_firmware()
    exe = rig.make_bundle(bundle_name("good", checksum))
    second = rig.update(exe, True, "0.1")
    check_run(second, "complete", [], rig)
    check_device(rig.show(), before, good, "new", "new")


def run_named(rig, name):
    case = CASES[name]
    run_case(name, replace(case, **case.on_hidraw) if rig.transport == "hidraw" and case.on_hidraw else case, rig)


if __name__ == "__main__":
    sys.exit(harness.main(sys.argv, lambda transport: [n for n, c in CASES.items() if transport in c.transports],
                          Rig, run_named))
