#!/usr/bin/env python3
"""What the e2e matrix and the tavik session cases share: convsim on either transport, programs
run against it, the case's folder and command line, and the flash check, which
`harness.py flash-check [--a-total 0xNNNN] CONVSIM STATE A_HEX B_HEX` prints field by field
(status 1 on any difference). Programs come from QM_E2E_CONVSIM, QM_E2E_FWGEN, QM_E2E_HIDRAW_RUN.
"""
import argparse
import contextlib
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


class CaseFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise CaseFailed(what)


def text_lines(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace").splitlines()


def fwgen(*args):
    return subprocess.run([os.environ["QM_E2E_FWGEN"], *args], check=True, capture_output=True, text=True).stdout


# ---- firmware as the device should end up holding it ----------------------------------------

def hex_records(path):
    """(address, type, data) of every record, read independently of the project's own code."""
    records = []
    with open(path, "rb") as f:
        for raw in f:
            line = raw.strip()
            if line.startswith(b":"):
                body = bytes.fromhex(line[1:].decode())
                records.append(((body[1] << 8) | body[2], body[3], body[4:4 + body[0]]))
    return records


def data_by_address(path):
    return b"".join(data for _, _, data in sorted(r for r in hex_records(path) if r[1] == 0))


def flash_fields(a_image, b_data):
    """What convsim --show reports for a flash holding exactly this A image and these 16-byte B
    lines, stored from address 0."""
    lines = len(b_data) // 16
    return {"application": "complete", "application size": f"{len(a_image)} bytes",
            "application total": f"0x{sum(a_image) & 0xFFFF:04x}",
            "application sha256": hashlib.sha256(a_image).hexdigest(),
            "b-code lines": str(lines), "b-code lowest address": "0x0000",
            "b-code highest address": f"0x{(lines - 1) * 16:04x}", "b-code sha256": hashlib.sha256(b_data).hexdigest()}


def show(state, convsim=None):
    """convsim --show STATE as a dictionary of its fields."""
    out = subprocess.run([convsim or os.environ["QM_E2E_CONVSIM"], "--show", state], check=True, capture_output=True,
                         text=True).stdout
    return dict(line.split(": ", 1) for line in out.splitlines())


def flash_check(argv):
    parser = argparse.ArgumentParser(prog="harness.py flash-check")
    parser.add_argument("--a-total", help="the A total once more (as the bundle's name carries it)")
    for name in ("convsim", "state", "a_hex", "b_hex"):
        parser.add_argument(name)
    given = parser.parse_args(argv)
    held = show(given.state, given.convsim)
    rows = [(field, field, sent) for field, sent in flash_fields(data_by_address(given.a_hex),
                                                                 data_by_address(given.b_hex)).items()]
    if given.a_total:
        rows.append(("A total in the name", "application total", given.a_total))
    differences = 0
    for label, field, sent in rows:
        device = held.get(field, "(none)")
        differences += device != sent
        print(f"  {label:24} sent:   {sent}\n  {'':24} device: {device}   {'match' if device == sent else 'MISMATCH'}")
    return 1 if differences else 0


# ---- one case's folder and emulated converter ------------------------------------------------

class Emulator:
    """A folder of its own and a convsim with its flash file, on the case's transport."""

    def __init__(self, kind, case_name, transport="socket"):
        self.transport = transport
        # hidraw: (pid, LD_PRELOAD, mount namespace id, ASAN_OPTIONS, descriptor holding the
        # namespace) of the process keeping it alive
        self.namespace = None
        # No "_" in the path: the front end reads the "_" fields of its whole bundle path.
        self.dir = os.path.join(tempfile.gettempdir(), f"{kind}-{case_name}-{os.getpid()}-{time.monotonic_ns()}")
        os.makedirs(self.dir)
        self.socket = os.path.join(self.dir, "conv.sock")
        self.state = os.path.join(self.dir, "conv.state")
        self.convsim = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def start_device(self, faults=(), node_mode=None, verbose=False, converters=(), more=()):
        """converters: more converters beside the one on 1-1, "PORT" or "PORT@MS" (plugged in
        MS after the start), each with its flash file PORT.state ("1-1@MS": the one on 1-1, in
        its usual flash file, plugged in late); more: further convsim options."""
        # Identities come back 50 ms after they leave, which keeps each case short.
        options = ["--reenum-ms", "50"] + (["-v"] if verbose else []) + list(more)
        if not converters:
            options += ["--state", self.state]
        elif not any(c.startswith("1-1@") for c in converters):
            options += ["--converter", f"1-1:{self.state}"]
        for converter in converters:
            port, _, at = converter.partition("@")
            state = self.state if port == "1-1" else self.path(port + ".state")
            options += ["--converter", f"{port}:{state}" + (f"@{at}" if at else "")]
        for fault in faults:
            options += ["--fault", fault]
        self.serve(options, ["--node-mode", node_mode] if node_mode else [])

    def serve(self, options, hidraw_options=()):
        """convsim with exactly these options; hidraw_options go to scripts/hidraw-run."""
        log = open(self.path("convsim.log"), "a")
        if self.transport == "hidraw":
            # hidraw-run's command only holds the namespace open and says where it is.
            ready = self.path("namespace")
            if os.path.exists(ready):
                os.remove(ready)  # left by the hidraw-run before a restart
            holder = 'echo "$$ $LD_PRELOAD $ASAN_OPTIONS" >"$0~" && mv "$0~" "$0" && exec sleep 3600'
            args = [os.environ["QM_E2E_HIDRAW_RUN"], "--convsim", os.environ["QM_E2E_CONVSIM"], *hidraw_options] + \
                options + ["--", "bash", "-c", holder, ready]
            self.convsim = subprocess.Popen(args, stderr=log, stdout=log)
            self.wait_started(lambda: os.path.exists(ready), "hidraw-run did not start")
            with open(ready) as f:
                pid, preload, asan = f.read().split()
            # The open descriptor keeps the namespace's id from going to another namespace (a
            # parallel case's) before expect_no_leftovers compares against it.
            self.namespace = (int(pid), preload, os.readlink(f"/proc/{pid}/ns/mnt"), asan,
                              os.open(f"/proc/{pid}/ns/mnt", os.O_RDONLY))
            return
        self.convsim = subprocess.Popen([os.environ["QM_E2E_CONVSIM"], "--socket", self.socket] + options,
                                        stderr=log, stdout=log)
        self.wait_started(lambda: os.path.exists(self.socket), "convsim did not open its socket")

    def wait_started(self, condition, what):
        deadline = time.monotonic() + 10
        while not condition():
            expect(self.convsim.poll() is None, f"convsim exited at start: {self.tail('convsim.log')}")
            expect(time.monotonic() < deadline, what)
            time.sleep(0.02)

    def stop_device(self, check=True):
        """Ends convsim; check: it ends cleanly and leaves nothing behind."""
        if self.convsim is None:
            return
        if self.namespace:
            # Ending hidraw-run's command makes it stop convsim and end with that command's status.
            with contextlib.suppress(ProcessLookupError):  # ended already: the status says how
                os.kill(self.namespace[0], signal.SIGTERM)
            status = self.convsim.wait(timeout=30)
            self.convsim = None
            try:
                if check:
                    expect(status == 128 + signal.SIGTERM, f"hidraw-run ended with status {status}")
                    self.expect_no_leftovers(self.namespace[2])
            finally:
                os.close(self.namespace[4])
                self.namespace = None
            return
        self.convsim.send_signal(signal.SIGTERM)
        status = self.convsim.wait(timeout=10)  # past it, close() kills convsim and the case fails
        self.convsim = None
        expect(not check or status == 0, f"convsim ended with status {status}")
        expect(not check or not os.path.exists(self.socket), "the socket was left behind")

    @staticmethod
    def expect_no_leftovers(namespace_id):
        """After hidraw-run: no process left in its namespace, no node or mount of it on the host."""
        for entry in os.listdir("/proc"):
            try:
                same = entry.isdigit() and os.readlink(f"/proc/{entry}/ns/mnt") == namespace_id
            except OSError:
                same = False
            expect(not same, f"process {entry} outlived hidraw-run")
        expect(not any(n.startswith("hidraw") for n in os.listdir("/dev")), "a hidraw node is left on the host")
        mounts = subprocess.run(["findmnt", "-rn", "-o", "SOURCE"], capture_output=True, text=True).stdout
        expect("convsim-hidraw" not in mounts and "hidraw-run" not in mounts, "a mount is left on the host")

    def command(self, args, env):
        """args and env made to reach this converter: through the socket, or run in hidraw-run's
        namespace with the settings its command would get (nsenter and env exec the program)."""
        env = dict(env, TAVIK_EMULATOR=self.socket)
        if not self.namespace:
            return args, env
        del env["TAVIK_EMULATOR"]
        pid, preload, _, asan, _ = self.namespace
        return ["nsenter", "-t", str(pid), "-m", f"--wd={os.getcwd()}", "env", f"LD_PRELOAD={preload}",
                f"ASAN_OPTIONS={asan}"] + args, env

    def show(self, state=None):
        return show(state or self.state)

    def tail(self, name, n=15):
        try:
            return "\n".join(text_lines(self.path(name))[-n:])
        except OSError:
            return "(none)"

    def close(self, keep):
        if self.namespace:
            with contextlib.suppress(OSError):
                os.kill(self.namespace[0], signal.SIGTERM)
        if self.convsim is not None:
            self.convsim.kill()
            self.convsim.wait()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)


def main(argv, names, make_rig, run):
    """A case script's command line: CASE [TRANSPORT] runs one case in a new rig (status 0: it
    passed, 77: skipped), --list [TRANSPORT] prints the names(TRANSPORT). TRANSPORT is "socket"
    (the default) or "hidraw"; QM_HIDRAW_TESTS=skip, set by hand, skips the hidraw ones."""
    transport = argv[2] if len(argv) == 3 else "socket"
    cases = names(transport)
    if len(argv) in (2, 3) and argv[1] == "--list":
        print(";".join(cases))
        return 0
    if len(argv) not in (2, 3) or argv[1] not in cases:
        print(f"usage: {argv[0]} CASE [socket|hidraw] | --list [socket|hidraw]\ncases: {', '.join(cases)}",
              file=sys.stderr)
        return 2
    if transport == "hidraw" and os.environ.get("QM_HIDRAW_TESTS") == "skip":
        print("skipped: QM_HIDRAW_TESTS=skip")
        return 77
    name = argv[1]
    rig = make_rig(name, transport)
    ok = False
    try:
        run(rig, name)
        rig.stop_device()
        ok = True
        print(f"{name}: passed")
    except CaseFailed as failure:
        print(f"{name}: FAILED: {failure}")
        print(f"--- files kept in {rig.dir}; convsim log tail:\n{rig.tail('convsim.log')}")
    finally:
        rig.close(keep=not ok)
    return 0 if ok else 1


if __name__ == "__main__":
    if sys.argv[1:2] != ["flash-check"]:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(flash_check(sys.argv[2:]))
