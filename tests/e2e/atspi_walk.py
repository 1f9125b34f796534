#!/usr/bin/python3
"""What a screen reader finds in the Quillmere window, read through AT-SPI as Orca reads it.

    atspi_walk.py REPORT -- QUILLMERE [ARGS...]

Run inside a D-Bus session (dbus-run-session -- ...). Starts an X server of its own (Xvfb on the
first free display, told back through -displayfd), the accessibility bus, then Quillmere on xcb
with Qt's AT-SPI bridge switched on, its standard output and error passed through. While the update runs it notes what the status region says each time it
is read; once FINISH or EXIT shows it reads the window's tree and presses that button through its
AT-SPI action. REPORT (JSON) gets {"during": [[description, value, focused], ...], "end":
[{"role", "name", "description", "value", "focused"}, ...]}. Exits with Quillmere's status, or 70
when the window never appears on the bus or never reaches its end screen.

System python3 on purpose: pyatspi is a Debian package (python3-pyatspi).
"""
import json
import os
import subprocess
import sys
import time

import pyatspi

BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
DEADLINE_S = 120


def node_facts(node):
    facts = {"role": node.getRoleName(), "name": node.name, "description": node.description,
             "focused": node.getState().contains(pyatspi.STATE_FOCUSED)}
    try:
        facts["value"] = node.queryValue().currentValue
    except NotImplementedError:
        facts["value"] = None
    return facts


def window_nodes(app):
    found = []

    def walk(node):
        found.append(node)
        for child in node:
            if child is not None:
                walk(child)
    walk(app)
    return found


def find_app():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "Quillmere":
            return app
    return None


def main(argv):
    report, command = argv[1], argv[argv.index("--") + 1:]
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as told:
        display = told.readline().strip()  # written once the server takes connections
    if not display:
        print("atspi_walk: Xvfb did not start", file=sys.stderr)
        return 70
    os.environ["DISPLAY"] = ":" + display
    bus = subprocess.Popen([BUS_LAUNCHER, "--launch-immediately"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.3)
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        window = subprocess.Popen(command, env=env)
        during, end, deadline = [], None, time.monotonic() + DEADLINE_S
        while window.poll() is None and time.monotonic() < deadline and end is None:
            time.sleep(0.05)
            try:
                app = find_app()
                nodes = window_nodes(app) if app is not None else []
            except Exception:  # the window may not be on the bus yet, or be changing  # noqa: BLE001
                continue
            for node in nodes:
                facts = node_facts(node)
                if facts["role"] == "progress bar":
                    during.append([facts["description"], facts["value"], facts["focused"]])
                if facts["role"] == "push button" and facts["name"] in ("FINISH", "EXIT"):
                    end = [node_facts(n) for n in nodes]
                    node.queryAction().doAction(0)
        with open(report, "w") as f:
            json.dump({"during": during, "end": end}, f)
        if end is None:
            window.kill()
            window.wait()
            return 70
        return window.wait(timeout=DEADLINE_S)
    finally:
        for server in (bus, xvfb):
            server.terminate()
            server.wait()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
