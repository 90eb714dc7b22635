"""The windowed program under a private Xvfb (xcb, accessibility bus on), measured with zel-load.

    windowed.py --build DIR --odbc DIR --dsn NAME --rows N --seconds S --warmup S --runs N --out DIR

For each run: handheld throughput (16 handhelds selecting by key) with the client monitor on
screen and with the settings view on screen; one handheld's p50 with no idle handhelds and with
1,000 idle ones (the monitor on screen). Prints "kv" lines for bench/run.sh:
    kv name=monitor.rps value=...   kv name=settings.rps value=...
    kv name=idle0.p50 value=...     kv name=idle1000.p50 value=...
"""

import argparse
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "xcb"))
import xcbdriver  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def kv(text, kind, key):
    for line in text.splitlines():
        fields = line.split()
        if fields and fields[0] == "kv" and f"kind={kind}" in fields:
            for field in fields[1:]:
                name, _, value = field.partition("=")
                if name == key:
                    return float(value)
    raise SystemExit(f"windowed: no {kind} {key} in zel-load's output:\n{text}")


def main():
    ap = argparse.ArgumentParser()
    for name in ("--build", "--odbc", "--dsn", "--out"):
        ap.add_argument(name, required=True)
    ap.add_argument("--rows", type=int, default=1000000)
    ap.add_argument("--seconds", type=float, default=2)
    ap.add_argument("--warmup", type=float, default=0.5)
    ap.add_argument("--runs", type=int, default=3)
    opts = ap.parse_args()

    folder = xcbdriver.temp_folder("zel-windowed-")
    port = free_port()
    config = os.path.join(folder, "ZelWireless.ini")
    with open(config, "w", newline="") as f:
        f.write(f"[Settings]\r\nServer IP Address=127.0.0.1\r\nServerPort={port}\r\nVerbose=N\r\nMaxClients=2000\r\n"
                f"[Session01]\r\nSessionName=Bench\r\nEnabled=1\r\nDSN={opts.dsn}\r\nTablename=stock\r\n"
                "KeyFieldName=ItemNo\r\nField01=Description\r\nField02=Quantity\r\nField03=Price\r\n"
                "Field04=Location\r\nField05=LastCounted\r\n")
    desktop = xcbdriver.Desktop(folder)
    try:
        desktop.start_program([os.path.join(opts.build, "ZelWireless"), "--config", config],
                              env={"ODBCINI": os.path.join(opts.odbc, "odbc.ini"), "ODBCSYSINI": opts.odbc,
                                   "XDG_CONFIG_HOME": os.path.join(folder, "config"), "HOME": folder})
        desktop.application()
        desktop.wait_for("label", f"Server enabled on 127.0.0.1:{port}", timeout=30)
        buttons = {n.name: n for n in desktop.walk(desktop.application()) if n.role == "check box"}

        def show(view):
            desktop.click(buttons[view])
            deadline = time.monotonic() + 10
            while "checked" not in desktop.states(buttons[view].ref):
                if time.monotonic() > deadline:
                    raise SystemExit(f"windowed: the view {view} did not show")
                time.sleep(0.05)
            time.sleep(0.5)

        def load(*args):
            done = subprocess.run([os.path.join(opts.build, "zel-load"), "--port", str(port), "--rows",
                                   str(opts.rows), "--session", "1", "--duration", str(opts.seconds),
                                   "--warmup", str(opts.warmup), "--mix", "select=1", "--kv"] + list(args),
                                  capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit("windowed: zel-load reported wrong or missing replies:\n" + done.stdout)
            return done.stdout

        for _ in range(opts.runs):
            for view, name in (("Main Screen", "monitor"), ("Application Settings", "settings")):
                show(view)
                print(f"kv name={name}.rps value={kv(load('--handhelds', '16'), 'select', 'rps')}", flush=True)
            show("Main Screen")
            for idle in (0, 1000):
                out = load("--handhelds", "1", "--idle", str(idle))
                print(f"kv name=idle{idle}.p50 value={kv(out, 'select', 'p50_us')}", flush=True)
        desktop.screenshot(os.path.join(opts.out, "windowed-monitor.png"))
    finally:
        xcbdriver.stop_process(desktop.app)
        desktop.close()


if __name__ == "__main__":
    main()
