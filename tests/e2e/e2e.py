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
import enum
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
from dataclasses import dataclass, make_dataclass, replace

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
WAYLAND_RUN = os.path.join(os.path.dirname(REPLAY), "wayland-run")
ATSPI_WALK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_walk.py")

# The matrix's named choices (a misspelt one fails at once). How the first update ends, as its
# record names the outcome:
Ends = enum.Enum("Ends", {"COMPLETE": "Complete", "FAILED": "Failed", "INTERRUPTED": "interrupted"})
# What the converter holds afterwards: its A code the new image, what it held before, or an
# interrupted image; its B code the new one or what it held before.
A = enum.Enum("A", "NEW UNTOUCHED INCOMPLETE")
B = enum.Enum("B", "NEW UNTOUCHED")
# The second update, which must succeed: on the same convsim, on one restarted without faults, or none.
Again = enum.Enum("Again", "SAME RESTART NONE")
# scripts/replay of the first update's record agrees: the folder, the folder packed as the README
# asks, packed by quillmere-cli report FOLDER, or by quillmere-cli report (the newest that failed);
# or it diverges once line 12 (A packet 4) of the record's tmpa.hex is changed.
Replay = enum.Enum("Replay", "SAME SAME_TGZ SAME_REPORT SAME_REPORT_NEWEST CHANGED_TMPA")
# The bundle's name after "Quillmere_V100", from the A image's checksum c (C: in upper case, w: a wrong one).
Name = enum.Enum("Name", {"GOOD": "_0x{c}", "UPPER_CASE": "_0X{C}", "NO_CHECKSUM": "",
                          "MALFORMED_CHECKSUM": "_0x12_0x{c}", "WRONG_CHECKSUM": "_0x{w}"})
# What runs an update: the window, or quillmere-cli printing plain lines or JSON events.
By = enum.Enum("By", "WINDOW CLI CLI_JSON")
# XDG_STATE_HOME, under the case's folder: where the first update's record goes, a file there (no
# record can be written), a 64 KiB file system (too small for the record), where a second one's goes.
State = enum.Enum("State", {"FOLDER": "state", "A_FILE": "a-file", "TINY": "tiny-state", "SECOND": "state-2"})
# A second updater on the first one's converter (its --port): once the first has run a tool, or
# started with it, when either may win.
Rival = enum.Enum("Rival", {"CLI": (By.CLI, False), "CLI_AT_START": (By.CLI, True), "WINDOW": (By.WINDOW, False)})
SOCKET, HIDRAW, BOTH = ("socket",), ("hidraw",), ("socket", "hidraw")  # the transports of a case


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
    front: By = By.WINDOW
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

    def make_bundle(self, release, checksum):
        """The built bundle named as `release` says, after the A image's checksum: the executable linked (it
        finds its bundle from its own path), the resources linked one by one, tavik as the release says."""
        source = os.environ["QM_E2E_BUNDLE"]
        named = release.name.value.format(c=checksum, C=checksum.upper(), w=f"{int(checksum, 16) ^ 0x0101:04x}")
        bundle = self.path(f"Quillmere_{VERSION_FIELD}{named}.app")
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
            target = os.path.join(bundle, "Contents", "Resources", entry)
            if entry != "tavik" or release.tool and not release.tool_before:
                os.symlink(os.path.join(resources, entry), target)
            elif release.tool:  # a script that runs tool_before first, then the real tavik
                with open(target, "w") as f:
                    f.write(f"#!/bin/sh\n{release.tool_before}\nexec '{os.path.join(resources, entry)}' \"$@\"\n")
                os.chmod(target, 0o755)
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

    def update(self, exe, front):
        """One Quillmere run as `front` (a Front) says: START pressed (box ticked or not), alerts printed and
        dismissed, FINISH/EXIT pressed at the end. Killed with its tool runs at the deadline."""
        run_no = next(self.runs)
        out_path = self.path(f"quillmere-{run_no}.out")
        state, port = front.state.value, ["--port", front.port] if front.port else []
        env = self.env(front.scale, state, front.env)
        args = [exe, "--auto-start", "--auto-finish", "--auto-alert"] + (["--tick"] if front.tick else []) + port
        if front.by is not By.WINDOW:
            bundle = os.path.dirname(os.path.dirname(os.path.dirname(exe)))
            args = [os.environ["QM_E2E_CLI"], "update"] + (["--b-code"] if front.tick else []) + port + \
                (["--json"] if front.by is By.CLI_JSON else []) + [bundle] + list(front.cli_args)
        if front.atspi:
            args = ["dbus-run-session", "--", "/usr/bin/python3", ATSPI_WALK, self.path(f"atspi-{run_no}.json"),
                    "--"] + [a for a in args if a != "--auto-finish"]
        if front.wayland:
            args = [WAYLAND_RUN] + args + ["--screenshot-dir", self.path(f"shots-{run_no}")]
        if front.as_user is not None:
            args = ["setpriv", f"--reuid={front.as_user}", f"--regid={front.as_user}", "--clear-groups"] + args
        if front.state is State.TINY:
            # The state folder is a 64 KiB file system of a private mount namespace (root only);
            # what it holds at the end is copied out beside it, where the checks read it.
            os.makedirs(self.path(state), exist_ok=True)
            args = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    'mount -t tmpfs -o size=64k tmpfs "$0" || exit 125; "$@"; s=$?; cp -a "$0/." "$0.copy"; exit $s',
                    self.path(state)] + args
        args, env = self.command(args, env)
        started = time.monotonic()
        with open(out_path, "wb") as out, open(self.path(f"quillmere-{run_no}.err"), "wb") as err:
            child = subprocess.Popen(args, stdout=subprocess.PIPE if front.close_output else out, stderr=err,
                                     stdin=subprocess.DEVNULL, env=env, start_new_session=True)
            while front.close_output:  # what it printed before the reader went is kept
                line = child.stdout.readline()
                out.write(line)
                if not line or front.close_output.encode() in line:
                    child.stdout.close()
                    break
            # nsenter, env and setpriv exec the program: the child is Quillmere itself.
            while front.interrupt and child.poll() is None:
                with open(out_path, "rb") as f:
                    if f.read().count(b"send to tavik:") >= 200:
                        child.send_signal(front.interrupt)
                        break
                time.sleep(0.01)
            try:
                status = child.wait(timeout=RUN_DEADLINE_S)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                raise CaseFailed(f"Quillmere still running after {RUN_DEADLINE_S} s; killed "
                                 f"(last screens: {[l for l in text_lines(out_path) if l.startswith('SCREEN: ')][-3:]})")
        if front.state is State.TINY:
            os.rmdir(self.path(state))
            os.rename(self.path(state + ".copy"), self.path(state))
        run = Run(text_lines(out_path), status, text_lines(self.path(f"quillmere-{run_no}.err")), child.pid,
                  seconds=time.monotonic() - started)
        if front.atspi:
            with open(self.path(f"atspi-{run_no}.json")) as f:
                run.atspi = json.load(f)
        if front.by is By.WINDOW:
            return run
        if front.close_output:  # its end went nowhere: the record says how it ended
            return replace(run, lines=[COMPLETE if "outcome: Complete" in open(os.path.join(
                self.last_record(front.state), "summary.txt")).read() else FAILED], out=run.lines, front=front.by)
        return cli_run(run, front.by, "--all" in front.cli_args)

    def last_record(self, state=State.FOLDER):
        """The update folder made last (by time: a clock that went back names it before others)."""
        return max(glob.glob(self.path(f"{state.value}/quillmere/updates/*")), key=os.path.getmtime)


# ---- the matrix ------------------------------------------------------------------------------

# A row is a Case of settings of four kinds, in any order: an Expect (mostly from completes, fails or
# refused below) and, where they differ from the usual ones, a Converter, a Release and a Front.

def settings(name, /, *required, **defaults):
    """A kind of settings: a frozen dataclass of the required ones, then of those with these defaults."""
    return make_dataclass(name, [*required, *((key, object, value) for key, value in defaults.items())], frozen=True)


# convsim's side:
#   transports  SOCKET, HIDRAW or BOTH (also through hidapi on convsim's hidraw nodes)
#   faults      convsim --fault options
#   also        more converters, "PORT" or "PORT@MS" (plugged in MS after the start; "1-1@MS": the first
#               one, late), each to stay untouched
#   convsim     more convsim options
#   node_mode   hidraw: the nodes' permission bits
#   on_hidraw   the Expect instead through hidraw, where the kernel decides
Converter = settings("Converter", transports=SOCKET, faults=(), also=(), convsim=(), node_mode=None, on_hidraw=None)
# The firmware files and the bundle beside them:
#   foreign      firmware made from binaries by recipe N of docs/firmware-files.md
#   prepare      prepare(rig) spoils a file or the like before the first run
#   name         the bundle's Name
#   tool         the bundle holds tavik
#   tool_before  shell run before the bundle's tavik is exec'd, with its arguments
Release = settings("Release", foreign=None, prepare=None, name=Name.GOOD, tool=True, tool_before=None)
# What runs the first update, and how:
#   by            By
#   tick          the B code box ticked (quillmere-cli --b-code)
#   scale         QUILLMERE_TIME_SCALE, higher where it needs longer run limits
#   env           more environment
#   state         State: where its record goes
#   as_user       it (and so tavik) runs as this user and group
#   port          --port
#   cli_args      more quillmere-cli arguments, after the bundle ("--all": every converter is updated)
#   interrupt     a signal sent to it once it has sent A packet 200
#   close_output  quillmere-cli's standard output is a pipe its reader closes after a line with this
#   atspi         read as a screen reader reads it: in a D-Bus session with an X server of its own, where
#                 atspi_walk.py reads what AT-SPI tells and presses FINISH/EXIT (run.atspi holds its report)
#   wayland       the window through Qt's Wayland back end under a headless weston of its own
#                 (scripts/wayland-run), saving its screenshots
#   beside        a second window at once, with --port this, updating that converter
#   rival         Rival: refused at once (the first still running), none of it sent
Front = settings("Front", by=By.WINDOW, tick=True, scale="0.1", env=None, state=State.FOLDER, as_user=None, port=None,
                 cli_args=(), interrupt=None, close_output=None, atspi=False, wayland=False, beside=None, rival=None)
# What the first update does:
#   ends          Ends
#   a, b          A and B: what the converter holds afterwards
#   again         Again: the second update
#   alerts        regular expressions, in order; PATH = firmware dir
#   sent_nothing  refused before the first tool run: the converter got no report
#   replay        Replay
#   cause         a regular expression, in its summary and last line
#   within        it ends within so many seconds
#   during        during(rig) runs beside it
#   check         check(rig, run) checks after it
Expect = settings("Expect", "ends", "a", "b", again=Again.SAME, alerts=(), sent_nothing=False, replay=None, cause=None,
                  within=None, during=None, check=None)


class Case:
    def __init__(self, *given):
        kinds = {type(one): one for one in given}
        if len(kinds) < len(given) or Expect not in kinds or not kinds.keys() <= {Expect, Converter, Release, Front}:
            raise TypeError(f"a case is an Expect and at most one Converter, Release and Front each: {given}")
        self.expect = kinds[Expect]
        self.converter, self.release, self.front = (kinds.get(k) or k() for k in (Converter, Release, Front))


# The usual shapes:
#   completes  Complete, the converter holding the new A code and `b` (B.UNTOUCHED: its box not ticked);
#              no second update
#   fails      Failed with these alerts, the converter's A code `a` and its B code untouched
#   refused    Failed before the first tool run: nothing sent, nothing changed; no second update unless `again`
def completes(b=B.NEW, **more):
    return Expect(Ends.COMPLETE, A.NEW, b, again=Again.NONE, **more)


def fails(a, *alerts, **more):
    return Expect(Ends.FAILED, a, B.UNTOUCHED, alerts=alerts, **more)


def refused(*alerts, again=Again.NONE, **more):
    return fails(A.UNTOUCHED, *alerts, again=again, sent_nothing=True, **more)


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


def check_screenshots(rig, run):
    """The window saved its idle, running and finished pictures, none of them all one colour."""
    saved = {os.path.basename(l.split(": ", 1)[1]) for l in run.lines if l.startswith("SCREENSHOT: ")}
    blank = [l for l in run.lines if l.startswith("SCREENSHOT BLANK: ")]
    expect(saved == {"idle.png", "running.png", "finished.png"} and not blank, f"screenshots {saved}, blank {blank}")


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
LISTING_SILENT = r"The converters plugged in could not be listed: tavik ports got no answer in time\. Nothing was sent\."
SEVERAL = r"Several converters are plugged in \(USB ports 1-1, 1-2\)\. Unplug all but the one to update, or choose one with --port PORT\."
CANNOT_START = r"Cannot start tavik \(PATH/Quillmere_V100_0x[0-9a-f]{4}\.app/Contents/Resources/tavik\): .+"
UNPLUGGED_A200 = r"the converter was unplugged during A packet 200 of 536"
BURN_UNCONFIRMED = r"the burn was not confirmed by the converter \(no status D0 after 6 tries\)"

CASES = {
    "clean-a": Case(Converter(BOTH), Front(tick=False), completes(B.UNTOUCHED)),
    "clean-ab": Case(Converter(BOTH), completes(replay=Replay.SAME_TGZ)),
    # A recording replayed with line 12 (A packet 4) of its tmpa.hex changed; a state folder that
    # cannot be written.
    "replay-changed-tmpa": Case(Front(tick=False), completes(B.UNTOUCHED, replay=Replay.CHANGED_TMPA)),
    "state-unwritable": Case(Front(tick=False, state=State.A_FILE), completes(B.UNTOUCHED)),
    # A record that could not be written whole says so; the update goes on to its end.
    "state-full": Case(Front(state=State.TINY), completes()),
    # Files made by the recipes of docs/firmware-files.md (srec_cat, objcopy).
    "foreign-files": Case(Release(foreign=0), completes()),
    "foreign-files-objcopy": Case(Release(foreign=1), completes()),
    # Read once: files replaced once the update runs (before the A transfer) change nothing in it.
    "read-once": Case(completes(during=replace_during_a, check=check_read_once)),
    # A clock that went back: 22 update folders stamped in the future (one Failed), and a decoy.
    "rotation": Case(Release(prepare=future_folders), Front(tick=False), completes(B.UNTOUCHED, check=check_rotation)),
    # Faults of the converter.
    "silent-loader": Case(Converter(BOTH, ["silent-loader"]), fails(A.UNTOUCHED, LOADER_NEVER, again=Again.RESTART)),
    # tavik waits 1 s for a second reply after a wrong one: packet runs need a limit above that.
    "bad-ack-first": Case(Converter(SOCKET, ["bad-ack@1"]), Front(scale="0.25"),
                          fails(A.INCOMPLETE, cause=r"A packet 1 of 536 was not acknowledged \(uafail ckSum\)")),
    "bad-ack-mid": Case(Converter(BOTH, ["bad-ack@40"]), Front(scale="0.25"), fails(A.INCOMPLETE, replay=Replay.SAME)),
    "unplug-mid-a": Case(Converter(BOTH, ["unplug@200"]),
                         fails(A.INCOMPLETE, replay=Replay.SAME, cause=UNPLUGGED_A200)),
    # Between two packets: the next packet's run finds no loader and the transfer stops there.
    "unplug-between-a": Case(Converter(BOTH, ["unplug-before@200"]),
                             fails(A.INCOMPLETE, again=Again.RESTART, cause=UNPLUGGED_A200)),
    # Gone on the burn frame: the converter never confirms the burn, and nothing claims it did.
    "unplug-at-burn": Case(Converter(BOTH, ["unplug-burn"]),
                           fails(A.NEW, D0_FIXED, again=Again.RESTART, cause=BURN_UNCONFIRMED)),
    # A B line that is not confirmed fails the transfer; an incomplete B code is never burned.
    "unplug-mid-b": Case(Converter(BOTH, ["unplug-b@160"]),
                         fails(A.NEW, cause=r"the converter was unplugged during B line 160 of 320")),
    # Socket only: hidraw-run waits for a first node, and with no converter none comes. START stops
    # at once, nothing sent, rather than waiting for the loader.
    "no-converter": Case(Converter(SOCKET, ["absent"]), refused(NO_CONVERTER, again=Again.RESTART, within=5,
                         cause=r"no converter was plugged in: tavik ports listed none; nothing was sent")),
    # A logout or shutdown in the middle of the A code: the record says so and replays that far.
    "sigterm-mid-a": Case(Converter(BOTH), Front(interrupt=signal.SIGTERM), Expect(Ends.INTERRUPTED, A.INCOMPLETE,
                          B.UNTOUCHED, replay=Replay.SAME, cause=r"interrupted by SIGTERM during A packet \d+ of 536")),
    # Ctrl-\ (or any signal that would end it by default) ends it as SIGTERM does, its record closed.
    "sigquit-mid-a": Case(Front(interrupt=signal.SIGQUIT), Expect(Ends.INTERRUPTED, A.INCOMPLETE, B.UNTOUCHED,
                          cause=r"interrupted by SIGQUIT during A packet \d+ of 536")),
    "bad-echo": Case(Converter(SOCKET, ["bad-echo@50"]), fails(A.NEW)),
    "no-c4": Case(Converter(SOCKET, ["no-c4"]), fails(A.NEW, C4_NEVER, again=Again.RESTART, replay=Replay.SAME)),
    # A burn the converter does not confirm is no success; the next update writes the B code again.
    "no-d0": Case(Converter(SOCKET, ["no-d0"]), fails(A.NEW, D0_FIXED, again=Again.RESTART, cause=BURN_UNCONFIRMED)),
    # Slower than usual but inside the 3 s pause after "runaprom" (1.5 s at this scale).
    "slow-reenum": Case(Converter(BOTH, ["slow-reenum=1000"]), Front(scale="0.5"), completes()),
    # At real time: every re-enumeration takes 3.5 s, or 10 s; after "runaprom" the update waits
    # until the converter is back (up to 20 s) before its next burst.
    "slow-reenum-3500": Case(Converter(SOCKET, ["slow-reenum=3500"]), Front(scale="1"), completes()),
    "slow-reenum-10000": Case(Converter(SOCKET, ["slow-reenum=10000"]), Front(scale="1"), completes()),
    "no-return": Case(Converter(SOCKET, ["no-return"]), fails(A.NEW, again=Again.RESTART,
                      cause=r"the converter did not come back after its application started \(20 s\)")),
    "slow-reenum-beyond-wait": Case(Converter(SOCKET, ["slow-reenum=9000"]),
                                    fails(A.UNTOUCHED, LOADER_NEVER, again=Again.RESTART)),
    # Through hidraw the kernel drops normal mode's garbage (no such report number) but passes the
    # loader's on (its reports carry no number).
    "garbage-replies": Case(Converter(BOTH, ["garbage-replies"]), fails(A.INCOMPLETE, again=Again.RESTART)),
    # Replies cut to 4 bytes still carry the packet checksum, but not the final total.
    "short-replies": Case(Converter(SOCKET, ["short-replies"]), fails(A.NEW, FINAL_CHECKSUM, again=Again.RESTART)),
    # Through hidraw a report longer than the interrupt-IN transfer never arrives: the loader is silent.
    "long-replies": Case(Converter(BOTH, ["long-replies"], on_hidraw=fails(A.UNTOUCHED, LOADER_NEVER,
                                                                           again=Again.RESTART)), completes()),
    # Interrupt-OUT writes, counted over the run: the mode frame, start A, the loader's status and
    # sync come first, so write 104 carries A packet 100. A NAKed write is only late; a stalled one
    # fails; one that times out fails after 5 s, inside the packet's run limit at this scale.
    "out-slow": Case(Converter(HIDRAW, ["out-slow@104=200"]), completes()),
    "out-stall": Case(Converter(HIDRAW, ["out-stall@104"]),
                      fails(A.INCOMPLETE, cause=r"the converter stalled the write of A packet 100 of 536")),
    "out-timeout": Case(Converter(HIDRAW, ["out-timeout@14"]), Front(scale="0.75"),
                        fails(A.INCOMPLETE, cause=r"the write of A packet 10 of 536 timed out")),
    # Every echo comes after N status reports queued with it, so no timing moves it: the sixth
    # report is within the ten tavik reads after its write (what came before the write it drops);
    # the thirteenth is beyond them, and line 1 stays unconfirmed. Sent one a frame after the write,
    # none is queued when a prompt write returns, so none passes for one sent before the line.
    "flood-5": Case(Converter(BOTH, ["flood=5"]), completes(replay=Replay.SAME)),
    "flood-12": Case(Converter(BOTH, ["flood=12"]),
                     fails(A.NEW, again=Again.RESTART, replay=Replay.SAME, cause=r"B line 1 of 320 was not echoed")),
    # Each identity stays on the bus 400 ms after it is told to leave, so the "sa" after start A opens
    # normal mode as it leaves and gets the kernel's answer: the open succeeds, the descriptor query
    # fails. Freed memory is filled, so a use after free in the tool cannot pass unseen.
    "slow-leave": Case(Converter(HIDRAW, ["slow-leave=400"]), Front(scale="0.5", env={"MALLOC_PERTURB_": "165"}),
                       completes(check=check_leaving_opens)),
    # A converter this user may not open once udev has finished with it: named at once, nothing sent, Failed.
    "permission": Case(Converter(HIDRAW, node_mode="0600"), Front(as_user=65534), refused(CANNOT_OPEN)),
    # udev grants the user access 2 s, or 8 s, after each node appears, every re-enumeration
    # included: until then the node is not there yet, and each wait for the converter outlasts it
    # (after "runaprom" 20 s at most, the loader 31 tries: at these scales 5 s and 7.75 s, 10 s and 15.5 s).
    "late-permission": Case(Converter(HIDRAW, convsim=("--udev-delay-ms", "2000")),
                            Front(scale="0.25", as_user=65534), completes()),
    "late-permission-8s": Case(Converter(HIDRAW, convsim=("--udev-delay-ms", "8000")),
                               Front(scale="0.5", as_user=65534), completes()),
    # Normal mode shows a gamepad interface before the one that takes the frames.
    "composite": Case(Converter(HIDRAW, convsim=("--composite",)), completes(check=check_composite)),
    # Only the converter START chose is ever opened.
    "two-converters": Case(Converter(BOTH, also=("1-2",)), refused(SEVERAL)),
    # A TAVIK_PORT left in the user's environment chooses nothing: the window decides every run's port.
    "inherited-port": Case(Converter(BOTH, also=("1-2",)), Front(env={"TAVIK_PORT": "1-2"}), refused(SEVERAL)),
    "inherited-port-malformed": Case(Front(env={"TAVIK_PORT": "../1-1"}), completes()),
    # A listing that never answers chooses nothing either: Failed before anything is sent.
    "listing-silent": Case(Release(tool_before='[ "$1" = ports ] && exec sleep 60'), refused(LISTING_SILENT, cause=(
        r"the converters could not be listed \(tavik ports got no answer in time\); nothing was sent"))),
    "second-plugged-during-a": Case(Converter(BOTH, also=("1-2@2500",)), completes()),
    "second-present-slow-reenum": Case(Converter(BOTH, ["slow-reenum=1500"], also=("1-2",)),
                                       Front(scale="0.5", port="1-1"), completes()),
    "two-windows": Case(Converter(BOTH, also=("1-2",)), Front(port="1-1", beside="1-2"), completes()),
    "other-hid": Case(Converter(HIDRAW, convsim=("--other-hid", "30")), completes()),
    # One updater per converter: quillmere-cli beside the window on its port, two unpinned ones at once.
    "cli-beside-window": Case(Converter(BOTH), Front(port="1-1", rival=Rival.CLI), completes()),
    "two-clis-at-once": Case(Converter(BOTH), Front(By.CLI, rival=Rival.CLI_AT_START), completes()),
    # Firmware files, bundle name, tool.
    # One refused file of each kind, refused before the first tool run (every way a file is refused
    # is a row of the unit tables); a FIFO is refused at once, not waited on.
    "tmpa-fifo": Case(Release(prepare=lambda rig: (os.remove(rig.path("tmpa.hex")), os.mkfifo(rig.path("tmpa.hex")))),
                      refused(r"Acode file refused \(PATH/tmpa\.hex\): tmpa\.hex is not a regular file \(a FIFO\)")),
    "corrupt-tmpb": Case(Release(prepare=lambda rig: break_record(rig, "tmpb.hex", 7)),
                         refused(r"Bcode file refused \(PATH/tmpb\.hex\): line 7: .*")),
    "bundle-upper-case": Case(Release(name=Name.UPPER_CASE), completes()),
    "bundle-without-checksum": Case(Release(name=Name.NO_CHECKSUM),
                                    refused(r"The bundle name has no checksum field: .*", again=Again.SAME)),
    "bundle-malformed-checksum": Case(Release(name=Name.MALFORMED_CHECKSUM),
                                      refused(r"The bundle name's checksum field \"0x12\" is malformed: .*")),
    # A stray go setting in the user's environment holds back no run.
    "stray-wait-for-go": Case(Front(env={"TAVIK_WAIT_FOR_GO": "1"}), completes()),
    "bundle-wrong-checksum": Case(Release(name=Name.WRONG_CHECKSUM), fails(A.NEW, FINAL_CHECKSUM)),
    # The same update from the command line: clean, a fault (with --json), a refused file.
    "cli-clean-ab": Case(Converter(BOTH), Front(By.CLI), completes(replay=Replay.SAME_REPORT)),
    "cli-json-unplug-mid-a": Case(Converter(SOCKET, ["unplug@200"]), Front(By.CLI_JSON),
                                  fails(A.INCOMPLETE, replay=Replay.SAME_REPORT_NEWEST)),
    # What a screen reader is told through AT-SPI: each step as drawn, then the outcome and cause.
    "atspi-unplug-mid-a": Case(Converter(SOCKET, ["unplug@200"]), Front(atspi=True),
                               fails(A.INCOMPLETE, again=Again.NONE, cause=UNPLUGGED_A200)),
    # The window as a Wayland desktop shows it: Qt's Wayland back end, a compositor (weston, headless).
    "wayland-window": Case(Front(wayland=True), completes(check=check_screenshots)),
    "cli-tmpa-with-hole": Case(Release(prepare=lambda rig: edit_lines(rig, "tmpa.hex", lambda l: l[:49] + l[50:])),
                               Front(By.CLI), refused(r"Acode file refused \(PATH/tmpa\.hex\): line 50: .*")),
    # A repair bench: the converters listed beside an update, an update once one is plugged in, all at once,
    # a port with none (refused within a second, the ports that have one named), options after the bundle.
    "cli-list-two-converters": Case(Converter(BOTH, also=("1-2",)), Front(By.CLI, port="1-1"),
                                    completes(during=list_during, check=check_listed)),
    "cli-wait": Case(Converter(SOCKET, also=("1-1@2000",)), Front(By.CLI, cli_args=("--wait=30",)),
                     completes(check=check_waited)),
    "cli-all-three": Case(Converter(BOTH, also=("1-2", "1-3")), Front(By.CLI, cli_args=("--all",)),
                          completes(check=check_all_records)),
    "cli-port-without-converter": Case(Converter(BOTH, also=("1-2",)), Front(By.CLI, port="1-3"), refused(
        r"No converter is plugged in at USB port 1-3 \(converters are plugged in at USB ports 1-1, 1-2\)\. "
        r"Nothing was sent\.", within=1, cause=r"no converter was plugged in at USB port 1-3 \(converters were at USB "
                                               r"ports 1-1, 1-2\); nothing was sent")),
    "cli-port-equals": Case(Converter(BOTH, also=("1-2",)), Front(By.CLI, cli_args=("--port=1-1",)), completes()),
    # Its reader gone in the A transfer, the update still ends Complete and its record whole.
    "cli-pipe-closed": Case(Front(By.CLI, close_output="step: A transfer"), completes(check=check_record_whole)),
    "tool-missing": Case(Release(tool=False), fails(A.UNTOUCHED, CANNOT_START, again=Again.NONE)),
}


CLI_OUTCOME = re.compile(r"quillmere-cli: (?:(\d+-[\d.]+): )?(Complete|Failed|interrupted): (.*)")


def cli_run(run, by, all_ports=False):
    """A quillmere-cli run in the window's terms: its alerts, and its end as the end screen. Every
    progress line and event names its port; the outcome comes once (once per converter with
    --all), on standard output. With --json every line must be one event, the outcome's exit
    status the real one, and the record's folder the last event."""
    if by is By.CLI_JSON:
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
               front=by, seconds=run.seconds)


def check_run(run, ends, alert_patterns, rig, failed_status=1):
    """failed_status: the exit status of a failure, or of an interruption (128 + its signal)."""
    screens = run.screens
    expect(screens, "Quillmere printed no screen")
    if ends is Ends.COMPLETE:
        expect(screens[-1] == COMPLETE, f"expected the Completed screen, last screen: {screens[-1]!r}")
        expect(run.status == 0, f"Quillmere exit status {run.status} after FINISH")
    elif ends is Ends.INTERRUPTED:
        expect(not any(SUCCESS_TEXT in s for s in screens), "an interrupted update showed the success text")
        expect(run.status == failed_status, f"Quillmere exit status {run.status} after a signal, expected {failed_status}")
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


def check_device(device, before, firmware, a, b):
    """Compares what convsim --show reports with the images (or with the flash before the run)."""
    new = flash_fields(firmware.a_image, firmware.b_data)
    held_a, old_a, new_a = ({k: f.get(k) for k in new if k.startswith("application")} for f in (device, before, new))
    if a is A.INCOMPLETE:
        expect(held_a["application"].startswith("incomplete"), f"device A {held_a['application']!r}, not interrupted")
    else:
        wanted = new_a if a is A.NEW else old_a
        expect(held_a == wanted, f"device holds A {held_a}, expected {wanted} ({a.name.lower()})")
    held_b, old_b, new_b = ({k: f.get(k) for k in new if k.startswith("b-code")} for f in (device, before, new))
    wanted = new_b if b is B.NEW else old_b
    expect(held_b == wanted, f"device holds B {held_b}, expected {wanted} ({b.name.lower()})")


def check_record(rig, run, front, want, state=State.FOLDER):
    """Every update leaves its folder (or, where it cannot, one line on standard error), and the
    recorded update replays as it ran."""
    if front.state is State.A_FILE:
        expect(sum(NO_RECORD in line for line in run.errors) == 1, f"stderr {run.errors[-3:]!r}: one line about the record")
        return
    record = rig.last_record(state)
    for name in ("output.log", "wire.jsonl", "summary.txt"):  # wire.jsonl stays empty when no tool ran
        expect(os.path.exists(os.path.join(record, name)), f"{record}/{name} is missing")
    if run.front is By.WINDOW:
        expect(any(record in line and NO_RECORD not in line for line in run.errors), "the record's folder is not on stderr")
    elif run.front is By.CLI and run.out is not None and not front.close_output:
        expect(any(record in line for line in run.out if CLI_OUTCOME.fullmatch(line)), "no outcome line names the record")
    for name in ("output.log", "summary.txt"):
        with open(os.path.join(record, name), encoding="utf-8", errors="replace") as f:
            expect(rig.dir not in f.read(), f"{name} names the home folder {rig.dir}")
    summary = text_lines(os.path.join(record, "summary.txt"))
    if front.state is State.TINY:
        cut = r"record incomplete: no space left on device \(tmpa\.hex copy cut at \d+ of \d+ bytes\)"
        expect(re.fullmatch(cut, summary[0]), f"summary begins {summary[:1]}, expected {cut}")
        expect(re.search(r"; record incomplete: no space left on device", run.errors[-1]), f"last line {run.errors[-1:]}")
        summary = summary[1:]
    keys = [line.partition(": ")[0] for line in summary[:7]]
    expect(keys == ["program", "os", "kernel", "qt", "hidapi", "transport", "pause scale"], f"summary begins {keys}")
    # Beside an update of all at once, the others may be in the loader, or between the two, when a record begins.
    first = r"1-\d \((0e7b:0bf2|0416:a316)\)" if "--all" in front.cli_args else r"1-1 \(0e7b:0bf2\)"
    transport = rf"hidraw /dev/hidraw\d+ on USB port {first}.*" if rig.namespace else r"emulator \(socket ~/conv\.sock\).*"
    expect(re.fullmatch("transport: " + transport, summary[5]), f"summary says {summary[5]!r}")
    expect(re.fullmatch(r"started: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4} \(\S+\)", summary[7]), f"summary says {summary[7]!r}")
    pinned = re.search(r", pinned to USB port (\S+)$", summary[5])
    converter = rf"USB port {pinned.group(1)}, serial number EMU-CNV-{'0001' if pinned.group(1) == '1-1' else pinned.group(1)}" \
        if pinned else "none chosen"
    expect(summary[8] == "converter: " + converter, f"summary says {summary[8]!r}, expected the converter {converter}")
    if want.cause:
        summary = dict(line.split(": ", 1) for line in text_lines(os.path.join(record, "summary.txt")) if ": " in line)
        outcome = want.ends.value
        expect(summary.get("outcome") == outcome and re.fullmatch(want.cause, summary.get("cause", "")),
               f"summary says {summary.get('outcome')!r}: {summary.get('cause')!r}, expected {outcome}: {want.cause!r}")
        if run.front is By.WINDOW:
            last = rf"Quillmere: {outcome}: {want.cause} \(record: {re.escape(record)}\)"
            expect(run.errors and re.fullmatch(last, run.errors[-1]), f"last line {run.errors[-1:]!r}, expected {last!r}")
        elif run.front is By.CLI:
            last = rf"quillmere-cli: (\S+: )?{outcome}: {want.cause} \(record: {re.escape(record)}\)"
            expect(any(re.fullmatch(last, line) for line in run.out), f"no outcome line {last!r} in {run.out[-2:]!r}")
    if not want.replay:
        return
    expected = 0
    if want.replay is Replay.CHANGED_TMPA:
        packets = fwgen("alines", os.path.join(record, "tmpa.hex")).split()
        alter_byte(os.path.join(record, "tmpa.hex"), 12)
        expected = 1
    build = os.path.dirname(os.path.dirname(os.environ["QM_E2E_BUNDLE"]))
    if want.replay is Replay.SAME_TGZ:
        subprocess.run(["tar", "czf", rig.path("update.tgz"), "-C", os.path.dirname(record), os.path.basename(record)],
                       check=True)
        record = rig.path("update.tgz")
    elif want.replay in (Replay.SAME_REPORT, Replay.SAME_REPORT_NEWEST):
        newest = want.replay is Replay.SAME_REPORT_NEWEST
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
    if want.replay is Replay.CHANGED_TMPA:
        expect(re.search(rf"replay diverged at report \d+ \(run {packets[3]}\): expected [0-9a-f]+, got [0-9a-f]+",
                         replay.stdout), "the divergence does not name A packet 4")
        expect(re.search(r"^outcome +Complete +!= Failed$", replay.stdout, re.M), "the replay update did not fail")


def check_refused(rig, run, by, state, holder, holder_pid):
    """The updater that met the lock of `holder` ("Quillmere" or "quillmere-cli") on port 1-1:
    Failed with the alert and the cause naming it, and not one tool run of its own (the listing
    of an unpinned one aside)."""
    who = rf"{holder}, process {holder_pid}"
    check_run(run, Ends.FAILED, [rf"Another update is running on the converter at USB port 1-1 \({who}\)\. "
                                 r"Wait until it has finished\."], rig, 1 if by is By.WINDOW else 3)
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


def run_case(case, rig):
    converter, release, front, want = case.converter, case.release, case.front, case.expect
    if release.foreign is not None:
        foreign_firmware(rig, release.foreign)
        with open(rig.path("a.bin"), "rb") as a, open(rig.path("b.bin"), "rb") as b:
            good = Firmware(a.read(), b.read())
    else:
        rig.write_sample_firmware()
        good = Firmware(data_by_address(rig.path("tmpa.hex")), data_by_address(rig.path("tmpb.hex")))
    # The release is named after its A image, the checksum computed by the project's own tool.
    checksum = fwgen("checksum", rig.path("tmpa.hex")).strip()
    expect(checksum == f"{good.a_total:04x}", f"fwgen checksum {checksum}, the image sums to {good.a_total:04x}")
    if release.prepare:
        release.prepare(rig)
    exe = rig.make_bundle(release, checksum)
    rig.bundle = os.path.dirname(os.path.dirname(os.path.dirname(exe)))

    rig.start_device(converter.faults, converter.node_mode, want.sent_nothing, converter.also, converter.convsim)
    before = rig.show()
    others = {c.partition("@")[0]: rig.path(c.partition("@")[0] + ".state") for c in converter.also
              if not c.startswith("1-1@")}
    others_before = {port: rig.show(state) for port, state in others.items()}
    if "--udev-delay-ms" in converter.convsim:  # the converter was plugged in a moment before START
        time.sleep(int(converter.convsim[converter.convsim.index("--udev-delay-ms") + 1]) / 1000 + 0.2)
    if front.state is State.A_FILE:
        open(rig.path(front.state.value), "w").close()
    elif front.as_user is not None:
        os.makedirs(rig.path(front.state.value), mode=0o777, exist_ok=True)
        os.chmod(rig.path(front.state.value), 0o777)  # the record folder of a run as another user
    if want.during:
        threading.Thread(target=want.during, args=(rig,), daemon=True).start()
    if front.beside or front.rival:  # a second window meanwhile on the other converter, or a rival on the same one
        second_by, together = front.rival.value if front.rival else (By.WINDOW, True)
        second = {}

        def run_second():
            second["waited"] = together or first_run_log(rig)
            second["run"] = rig.update(exe, Front(second_by, front.tick, front.scale, state=State.SECOND,
                                                  port=front.beside or front.port))
            second["ended"] = time.monotonic()

        second_thread = threading.Thread(target=run_second)
        second_thread.start()
    first = rig.update(exe, front)
    expect(want.within is None or first.seconds < want.within, f"the update took {first.seconds:.2f} s")
    first_state = front.state
    if front.rival:
        first_ended = time.monotonic()
        second_thread.join()
        expect(second["waited"], "the first update ran no tool")
        refused, refused_state = second["run"], State.SECOND
        if together and first.status != 0:  # the one started beside it won
            first, refused, first_state, refused_state = refused, first, refused_state, first_state
        expect(second["ended"] < first_ended if refused_state is State.SECOND else first_ended < second["ended"],
               "the refused update waited for the other to end")
        holder = "Quillmere" if front.by is By.WINDOW else "quillmere-cli"
        check_refused(rig, refused, second_by, refused_state, holder, first.pid)
    if front.beside:  # both windows end before any check: a failed first must not cut the second off
        second_thread.join()
    # quillmere-cli tells a refusal before the first tool run (3) from a failed update (1).
    check_run(first, want.ends, want.alerts, rig, 128 + front.interrupt if want.ends is Ends.INTERRUPTED else
              3 if front.by is not By.WINDOW and want.sent_nothing else 1)
    if "--all" in front.cli_args:  # each converter updated, each exactly
        for port, state in others.items():
            check_device(rig.show(state), others_before[port], good, A.NEW, B.NEW if front.tick else B.UNTOUCHED)
        others = {}
    if front.beside:
        check_run(second["run"], Ends.COMPLETE, [], rig)
        check_device(rig.show(others[front.beside]), others_before[front.beside], good, A.NEW, B.NEW)
        check_only_port(rig.last_record(State.SECOND), front.beside)
        others = {}
    check_device(rig.show(), before, good, want.a, want.b)
    if want.sent_nothing:
        expect(rig.writes_seen() == 0, f"the converter got {rig.writes_seen()} reports from a refused update")
    check_record(rig, first, front, want, first_state)
    if want.cause and front.by is By.WINDOW and want.ends is Ends.FAILED:
        check_cause_line(first, want.cause)
    if front.atspi:
        check_screen_reader(first, want.cause)
    if want.check:
        want.check(rig, first)
    if (converter.also or converter.convsim) and "--all" not in front.cli_args:
        check_only_first_converter(rig, others, others_before)  # the window beside it checked above
    if want.again is Again.NONE:
        return
    # The converter is still reachable: with sound files and name, a second update succeeds.
    if want.again is Again.RESTART:
        rig.stop_device()
        rig.start_device()
    if release.prepare:
        rig.write_sample_firmware()
    exe = rig.make_bundle(Release(), checksum)
    check_run(rig.update(exe, Front()), Ends.COMPLETE, [], rig)
    check_device(rig.show(), before, good, A.NEW, B.NEW)


def run_named(rig, name):
    case, hidraw = CASES[name], rig.transport == "hidraw" and CASES[name].converter.on_hidraw
    run_case(Case(hidraw, case.converter, case.release, case.front) if hidraw else case, rig)


if __name__ == "__main__":
    sys.exit(harness.main(sys.argv, lambda transport: [n for n, c in CASES.items()
                                                       if transport in c.converter.transports], Rig, run_named))
