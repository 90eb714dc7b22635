"""The windowed program on the real X11 platform (xcb under a private Xvfb), driven through the
accessibility bus as an operator would drive it, with handhelds from zel-load connected.

Run one case:  /usr/bin/python3 tests/xcb/test_window.py ViewSwitchTest.test_handhelds_idle
Needs ZEL_BUILD_DIR (the build folder with ZelWireless, zel-load and zel-bench-data); CTest sets it.
ZEL_XCB_OUT is where the view-switch latencies (latencies-idle.tsv, latencies-busy.tsv) and the
screenshot go; ZEL_XCB_PAUSE the idle pause between view switches (3 s).
"""

import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dbus  # noqa: E402
import xcbdriver  # noqa: E402

BUILD = os.environ.get("ZEL_BUILD_DIR", "")
OUT = os.environ.get("ZEL_XCB_OUT") or os.path.join(BUILD, "xcb")
ROWS = 1000
# A GUI thread that handles its events answers within milliseconds; one that is stalled never does.
# A checked build (ThreadSanitizer) is several times slower, so its run may widen the bound.
BOUND = float(os.environ.get("ZEL_XCB_BOUND", "2"))
PAUSE = float(os.environ.get("ZEL_XCB_PAUSE", "3"))
MAIN_TITLE = "Zel - Mendrix Wireless Server"

# Each view: its tool-bar button, its item in the Tools menu, and that item's mnemonic.
VIEWS = [
    ("ODBC Configuration", "Session Settings", "s"),
    ("Application Settings", "Application Settings", "a"),
    ("Data Viewer", "Database Viewer", "d"),
    ("Devices", "Devices", "v"),
    ("Main Screen", "Client List", "c"),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def session_section(number, name, dsn):
    return (f"[Session{number:02d}]\r\nSessionName={name}\r\nEnabled=1\r\nDSN={dsn}\r\nTablename=stock\r\n"
            "KeyFieldName=ItemNo\r\nField01=Description\r\nField02=Quantity\r\nField03=Price\r\n"
            "Field04=Location\r\nField05=LastCounted\r\n")


class SilentHost:
    """A PostgreSQL address that accepts connections and never says a word: a host that cannot
    be reached, without depending on the machine's network. Closes them after `hold` seconds."""

    def __init__(self, hold):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.hold, self.accepted, self.stopped = hold, [], False
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while not self.stopped:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.accepted.append(conn)
            threading.Timer(self.hold, conn.close).start()

    def close(self):
        self.stopped = True
        self.listener.close()
        for conn in self.accepted:
            conn.close()


class ProgramTest(unittest.TestCase):
    """A private desktop, a stock table, and the program on both; sessions from sessions()."""

    bound = BOUND

    def sessions(self):
        return session_section(1, "Stock", "ZelXcbStock")

    def setUp(self):
        if not os.path.isfile(os.path.join(BUILD, "ZelWireless")):
            self.fail(f"ZEL_BUILD_DIR={BUILD!r} holds no ZelWireless")
        os.makedirs(OUT, exist_ok=True)
        self.folder = xcbdriver.temp_folder()
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.loads = []
        self.run_tool(["zel-bench-data", "sqlite", self.path("stock.sqlite"), str(ROWS)])
        self.run_tool(["zel-bench-data", "sqlite", self.path("locked.sqlite"), "100"])
        self.silent = SilentHost(hold=8)
        self.addCleanup(self.silent.close)
        # The drivers as installed (by scripts/setup.sh), beside data sources of our own.
        drivers = os.path.join(os.environ.get("ODBCSYSINI") or "/etc", "odbcinst.ini")
        with open(drivers) as src, open(self.path("odbcinst.ini"), "w") as dst:
            dst.write(src.read())
        with open(self.path("odbc.ini"), "w") as f:
            f.write(f"[ZelXcbStock]\nDriver=SQLite3\nDatabase={self.path('stock.sqlite')}\nTimeout=5000\n\n"
                    f"[ZelXcbLocked]\nDriver=SQLite3\nDatabase={self.path('locked.sqlite')}\nTimeout=5000\n\n"
                    f"[ZelXcbSilentPG]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\n"
                    f"Port={self.silent.port}\nDatabase=postgres\nUsername=zel\n")
        self.port = free_port()
        self.config = self.path("ZelWireless.ini")
        with open(self.config, "w", newline="") as f:
            f.write(f"[Settings]\r\nServer IP Address=127.0.0.1\r\nServerPort={self.port}\r\nVerbose=N\r\n"
                    "MaxClients=2000\r\n" + self.sessions())
        self.odbc_env = {"ODBCINI": self.path("odbc.ini"), "ODBCSYSINI": self.folder}
        self.desktop = xcbdriver.Desktop(self.folder)
        self.addCleanup(self.desktop.close)
        self.desktop.start_program(
            [os.path.join(BUILD, "ZelWireless"), "--config", self.config],
            env=dict(self.odbc_env, XDG_CONFIG_HOME=self.path("config"), HOME=self.folder))
        self.app = self.desktop.application()
        # The start-up timer enables the server about 3.2 s after the start.
        self.desktop.wait_for("label", f"Server enabled on 127.0.0.1:{self.port}", timeout=20)
        self.main_frame = next(n for n in map(self.desktop.node, self.desktop.children(self.app))
                               if n.role == "frame" and n.name.startswith(MAIN_TITLE))
        # The main window's own tool bar and menu bar (a view may show bars of its own).
        parts = list(map(self.desktop.node, self.desktop.children(self.main_frame.ref)))
        toolbar = next(n for n in parts if n.role == "tool bar" and n.name == "Actions")
        self.buttons = {n.name: n for n in self.desktop.walk(toolbar.ref) if n.role == "check box"}
        bar = next(n for n in parts if n.role == "menu bar")
        self.menus = {}
        for menu in map(self.desktop.node, self.desktop.children(bar.ref)):
            self.menus[menu.name] = menu
            for item in self.desktop.walk(menu.ref):
                if item.role == "menu item" and item is not menu:
                    self.menus[f"{menu.name}/{item.name}"] = item

    def tearDown(self):
        for load in self.loads:
            xcbdriver.stop_process(load)
        # A stop request ends the program like a confirmed exit; the sanitizer build reports
        # what it found on the way out.
        app = self.desktop.app
        xcbdriver.stop_process(app, grace=15)
        output = self.desktop.program_output()
        self.assertEqual(app.returncode, 0, output)
        for report in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
            self.assertNotIn(report, output)

    def path(self, name):
        return os.path.join(self.folder, name)

    def ini_value(self, section, key):
        with open(self.config, newline="") as f:
            current = None
            for line in f.read().splitlines():
                if line.startswith("["):
                    current = line.strip("[]")
                elif current == section and line.split("=", 1)[0] == key:
                    return line.split("=", 1)[1]
        return None

    def run_tool(self, args, timeout=60):
        done = subprocess.run([os.path.join(BUILD, args[0])] + args[1:], capture_output=True, timeout=timeout,
                              env=dict(os.environ, **getattr(self, "odbc_env", {})))
        self.assertEqual(done.returncode, 0, done.stdout.decode() + done.stderr.decode())
        return done.stdout.decode()

    def start_load(self, *args):
        out = open(self.path(f"load{len(self.loads)}.out"), "wb")
        load = subprocess.Popen([os.path.join(BUILD, "zel-load"), "--port", str(self.port), "--rows", str(ROWS)]
                                + list(args), stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        out.close()
        self.loads.append(load)
        return load

    def finish_load(self, load, timeout):
        try:
            code = load.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            code = "still running"
        with open(self.path(f"load{self.loads.index(load)}.out")) as f:
            self.assertEqual(code, 0, "zel-load: " + f.read()[-2000:])

    def wait_checked(self, button, timeout=None):
        """Seconds until the view's tool-bar button shows it current and no other button is down (a
        clicked button is down at once, before the switch has left the previous view), or None after
        timeout."""
        timeout = self.bound if timeout is None else timeout
        started = time.monotonic()
        while time.monotonic() - started < timeout:
            try:
                if all(("checked" in self.desktop.states(self.buttons[b].ref, timeout=timeout)) == (b == button)
                       for b, *_ in VIEWS if b in self.buttons):
                    return time.monotonic() - started
            except Exception:  # noqa: BLE001 - a stalled program does not answer; keep asking
                pass
            time.sleep(0.005)
        return None

    def switch(self, how, view):
        """Switches to a view (a row of VIEWS) the way an operator does; seconds until handled."""
        button, item, key = view
        started = time.monotonic()
        if how == "toolbar":
            self.desktop.click(self.buttons[button])
        elif how == "menu":
            self.assertIsNotNone(self.desktop.do_action(self.menus["Tools"], "ShowMenu", timeout=self.bound))
            self.assertIsNotNone(self.desktop.do_action(self.menus[f"Tools/{item}"], timeout=self.bound))
        else:
            self.desktop.key("t", ["alt"])
            self.desktop.key(key)
        waited = self.wait_checked(button, self.bound - (time.monotonic() - started))
        self.assertIsNotNone(waited, f"{button} by {how}: not handled within {self.bound} s")
        return time.monotonic() - started

    def find_box(self, text):
        """The buttons of the showing message box that says text, or None."""
        for ref in self.desktop.children(self.app):
            box = self.desktop.node(ref)
            if box.role in ("alert message", "dialog") and "showing" in box.states:
                nodes = self.desktop.walk(ref)
                if any(n.name == text for n in nodes):
                    return {n.name: n for n in nodes if n.role == "push button"}
        return None

    def alert(self, text, timeout=None):
        """The buttons of the message box that says text, once it shows."""
        timeout = self.bound if timeout is None else timeout
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            buttons = self.find_box(text)
            if buttons is not None:
                return buttons
            time.sleep(0.05)
        self.fail(f"no message box says {text!r}")

    def answer(self, text, button):
        buttons = self.alert(text)
        self.assertIn(button, buttons)
        self.desktop.do_action(buttons[button], timeout=self.bound)
        deadline = time.monotonic() + self.bound
        while True:
            try:
                if self.find_box(text) is None:
                    return
            except dbus.DBusException:  # the program may be ending: then its objects go
                if self.desktop.app.poll() is not None:
                    return
            self.assertLess(time.monotonic(), deadline, f"the box {text!r} stayed open after {button}")
            time.sleep(0.05)


class ViewSwitchTest(ProgramTest):
    """Every view from the tool bar, the Tools menu and the keyboard, with idle pauses between."""

    def switch_all(self, mode):
        rows = []
        for how in ("toolbar", "menu", "keyboard"):
            for view in VIEWS:
                time.sleep(PAUSE)
                rows.append((mode, how, view[0], self.switch(how, view)))
                others = [b for b, *_ in VIEWS if b != view[0]]
                checked = [b for b in others if "checked" in self.desktop.states(self.buttons[b].ref)]
                self.assertEqual(checked, [], f"{view[0]} by {how}")
        # For the benchmark: handheld mode, way, view, milliseconds.
        with open(os.path.join(OUT, f"latencies-{mode}.tsv"), "w") as f:
            for mode_, how, view, seconds in rows:
                f.write(f"{mode_}\t{how}\t{view}\t{seconds * 1000:.1f}\n")

    def duration(self):
        return PAUSE * 12 + 15

    def test_handhelds_idle(self):
        # Without active handhelds zel-load keeps the idle ones open for the start delay.
        load = self.start_load("--handhelds", "0", "--idle", "5", "--start-delay", str(self.duration()))
        self.desktop.wait_for("label", "Connected clients: 5", timeout=10)
        # The monitor lists each of them (its list is rebuilt at most every 200 ms).
        clients = self.desktop.find("tree", None)
        deadline = time.monotonic() + self.bound
        while self.desktop.table_rows(clients) != 5 and time.monotonic() < deadline:
            time.sleep(0.05)
        # What the operator sees with the handhelds connected, for a person to look at.
        self.desktop.screenshot(os.path.join(OUT, "monitor-idle.png"))
        self.assertEqual(self.desktop.table_rows(clients), 5)
        self.switch_all("idle")
        self.assertIsNone(load.poll(), "the idle handhelds left early")
        self.finish_load(load, self.duration() + 10)

    def test_handhelds_busy(self):
        load = self.start_load("--handhelds", "4", "--mix", "select=6,window=2,count=2", "--warmup", "0",
                               "--duration", str(self.duration()), "--timeout", str(self.bound))
        self.switch_all("busy")
        self.finish_load(load, self.duration() + 10)


class ToolBarTest(ProgramTest):
    """The left tool bar as a screen reader and a keyboard user reach it, and the keys the
    main menu shares with the monitor's menu."""

    def assert_current(self, button, how):
        self.assertIsNotNone(self.wait_checked(button), f"{button} by {how}: the view did not switch")
        others = [b for b, *_ in VIEWS if b != button and "checked" in self.desktop.states(self.buttons[b].ref)]
        self.assertEqual(others, [], f"{button} by {how}: more than one button down")

    def wait_loaded(self, button):
        """Leaving a view that still waits for its database asks the operator first; the
        toggles here are for views that have loaded."""
        deadline = time.monotonic() + 10
        if button == "Data Viewer":
            grid = self.desktop.wait_for("table", "Table data", timeout=self.bound)
            while self.desktop.table_rows(grid) == 0 and time.monotonic() < deadline:
                time.sleep(0.05)
        elif button == "ODBC Configuration":
            grid = self.desktop.wait_for("table", "Field mapping", timeout=self.bound)
            while not self.desktop.cell(grid, 0, 1).name and time.monotonic() < deadline:
                time.sleep(0.05)

    def test_toggle_view_keys_and_shared_keys(self):
        # The caption stays as it is without a tray; the status bar shows the state.
        self.assertEqual(self.main_frame.name, MAIN_TITLE)
        # A screen reader's action on a tool-bar button is Toggle: it switches the view.
        for button, *_ in VIEWS:
            self.assertIsNotNone(self.desktop.do_action(self.buttons[button], "Toggle", timeout=self.bound),
                                 f"{button} by Toggle: no reply")
            self.assert_current(button, "Toggle")
            self.wait_loaded(button)
        # Toggle on the current view's button leaves it current and down.
        self.desktop.do_action(self.buttons["Main Screen"], "Toggle", timeout=self.bound)
        self.assert_current("Main Screen", "Toggle of the current one")
        # Ctrl+1, Ctrl+2 ... in tool-bar order.
        order = ["Main Screen", "ODBC Configuration", "Application Settings", "Data Viewer", "Devices"]
        for number, button in reversed(list(enumerate(order, 1))):
            self.desktop.key(str(number), ["ctrl"])
            self.assert_current(button, f"Ctrl+{number}")
            self.wait_loaded(button)
        # With the monitor shown (and its own menu with the same keys) Ctrl+E still switches the server.
        self.desktop.key("e", ["ctrl"])
        self.desktop.wait_for("label", "Server disabled", timeout=self.bound)
        self.desktop.key("e", ["ctrl"])
        self.desktop.wait_for("label", f"Server enabled on 127.0.0.1:{self.port}", timeout=self.bound)


class DatabaseWaitTest(ProgramTest):
    """The viewer and the wizard on a data source that keeps them waiting: the handhelds are
    answered meanwhile and the window reacts. Session 1 is the slow source, 2 the stock table."""

    slow_dsn = None

    def sessions(self):
        return session_section(1, "Slow", self.slow_dsn) + session_section(2, "Stock", "ZelXcbStock")

    def hold_sqlite_lock(self):
        lock = sqlite3.connect(self.path("locked.sqlite"), isolation_level=None, check_same_thread=False)
        lock.execute("BEGIN EXCLUSIVE")
        self.addCleanup(lock.close)
        return lock

    def check_waiting(self, button):
        # The view's database work has begun; it waits at least 5 s for the lock or the host.
        self.desktop.click(self.buttons[button])
        time.sleep(1)
        started = time.monotonic()
        load = self.start_load("--session", "2", "--handhelds", "1", "--warmup", "0", "--requests", "3",
                               "--timeout", str(self.bound))
        try:
            load.wait(timeout=self.bound + 1)
        except subprocess.TimeoutExpired:
            pass
        answered = load.poll() == 0
        reacted = True
        try:
            self.desktop.states(self.buttons["Main Screen"].ref, timeout=self.bound)
        except Exception:  # noqa: BLE001 - no reply: the GUI thread is held up
            reacted = False
        waited = time.monotonic() - started
        problems = [text for ok, text in ((answered, "no handheld answer"), (reacted, "the window did not react"))
                    if not ok]
        self.assertEqual(problems, [], f"within {self.bound} s while the {button} waits")
        self.assertLess(waited, 2 * self.bound + 1)

    def settle(self):
        """Once the wait is over the program is still there and switches views again."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.desktop.app.poll() is None:
            try:
                for ref in self.desktop.children(self.app):
                    box = self.desktop.node(ref)
                    if box.role == "alert message" and "showing" in box.states:
                        buttons = [n for n in self.desktop.walk(ref) if n.role == "push button"]
                        self.desktop.do_action(buttons[0], timeout=self.bound)
                if self.wait_checked("Application Settings", timeout=0.1) is not None:
                    break
                self.desktop.click(self.buttons["Application Settings"])
            except dbus.DBusException:
                pass  # still busy
            time.sleep(0.5)
        self.assertIsNone(self.desktop.app.poll(), self.desktop.program_output())
        self.assertIsNotNone(self.wait_checked("Application Settings", timeout=self.bound))


def _waiting_case(view, dsn):
    def test(self):
        lock = self.hold_sqlite_lock() if dsn == "ZelXcbLocked" else None
        try:
            self.check_waiting(view)
        finally:
            if lock is not None:
                lock.execute("ROLLBACK")
            self.silent.close()
            self.settle()
    return test


for _view in ("Data Viewer", "ODBC Configuration"):
    for _dsn, _what in (("ZelXcbLocked", "locked_sqlite"), ("ZelXcbSilentPG", "unreachable_postgresql")):
        _name = f"{'viewer' if _view == 'Data Viewer' else 'wizard'}_{_what}"
        globals()[f"DatabaseWait_{_name}"] = type(f"DatabaseWait_{_name}", (DatabaseWaitTest,), {
            "slow_dsn": _dsn, "test_handhelds_answered": _waiting_case(_view, _dsn)})
del DatabaseWaitTest


class ViewerTest(ProgramTest):
    """The data viewer as a screen reader and a keyboard user meet it."""

    def test_frame_shows_and_ctrl_f_prompts_for_a_filter(self):
        self.switch("toolbar", VIEWS[2])
        frame = self.desktop.wait_for("frame", "Data Viewer", timeout=self.bound)
        self.assertIn("showing", self.desktop.states(frame.ref))
        # Opening the view puts the keyboard in it: Ctrl+F needs no click first.
        self.desktop.wait_for("table", "Table data", timeout=self.bound)
        self.desktop.key("f", ["ctrl"])
        prompt = self.desktop.wait_for("dialog", "Select Filter for: Stock", timeout=self.bound)
        cancel = self.desktop.find("push button", "Cancel", under=prompt.ref)
        self.assertIsNotNone(self.desktop.do_action(cancel, timeout=self.bound))
        self.desktop.wait_for("dialog", "Select Filter for: Stock", gone=True, timeout=self.bound)


class MessageBoxTest(ProgramTest):
    """Each message box the operator reaches from the window, answered through the accessibility bus."""

    bound = max(BOUND, 10.0)  # the boxes are checked here, not the time (this case also runs in the sanitizer build)

    def edit_wizard(self):
        self.switch("toolbar", VIEWS[0])
        enabled = self.desktop.wait_for("check box", "Enabled", timeout=self.bound)
        self.assertIsNotNone(self.desktop.do_action(enabled, "Toggle", timeout=self.bound))

    def test_each_box_is_answered(self):
        # The exit question: No keeps the program running, and its window working.
        self.desktop.click(self.buttons["Exit"])
        self.answer("Are you sure you want to exit Zel Wireless Server?", "No")
        self.assertIsNone(self.desktop.app.poll())
        self.switch("toolbar", VIEWS[1])

        self.desktop.do_action(self.menus["Help/About Zel Wireless"], timeout=self.bound)
        self.desktop.do_action(self.alert("Version 1.0.0.0")["OK"], timeout=self.bound)
        self.desktop.wait_for("dialog", "About Zel Wireless", gone=True, timeout=self.bound)

        self.desktop.do_action(self.menus["File/Automatically Start Server"], timeout=self.bound)
        self.answer("Zel Wireless Server will start automatically the next time you reboot and log on.", "OK")
        self.desktop.do_action(self.menus["File/Automatically Start Server"], timeout=self.bound)  # no box
        self.assertIsNotNone(self.wait_checked("Application Settings"))

        # Leaving the wizard with an edit: No drops it; Yes saves it and asks about the restart.
        self.edit_wizard()
        self.desktop.click(self.buttons["Main Screen"])
        self.answer("Save Settings", "No")
        self.assertIsNotNone(self.wait_checked("Main Screen"))
        self.assertEqual(self.ini_value("Session01", "Enabled"), "1")
        self.edit_wizard()
        self.desktop.click(self.buttons["Main Screen"])
        self.answer("Save Settings", "Yes")
        self.answer("Changes will take effect when you restart the server. Would you like to restart the server "
                    "now?\n\nWarning: This will disconnect all clients!", "No")
        self.assertIsNotNone(self.wait_checked("Main Screen"))
        self.assertEqual(self.ini_value("Session01", "Enabled"), "0")

        # The exit question from the keyboard: Yes ends the program normally. Without a window
        # manager nobody gives the focus back after a box closes: a click does, as for an operator.
        self.desktop.click(self.main_frame, at=(self.desktop.extents(self.main_frame)[2] // 2, -6))
        deadline = time.monotonic() + self.bound
        while "active" not in self.desktop.states(self.main_frame.ref):
            self.assertLess(time.monotonic(), deadline, "the main window did not become active")
            time.sleep(0.05)
        self.desktop.key("q", ["ctrl"])
        self.answer("Are you sure you want to exit Zel Wireless Server?", "Yes")
        self.assertEqual(self.desktop.app.wait(timeout=15), 0)


class WizardGridTest(ProgramTest):
    """The wizard's mapping grid driven with the keyboard and the wheel: rows beyond those in view
    are reached with Tab, the grid scrolls under the open field chooser, and a choice takes."""

    def test_keyboard_and_wheel(self):
        self.switch("toolbar", VIEWS[0])
        view = self.desktop.wait_for("frame", "ODBC Configuration", timeout=self.bound)
        self.assertIn("showing", view.states, "the view's frame reports what is on screen")
        grid = self.desktop.wait_for("table", "Field mapping", timeout=self.bound)
        self.desktop.click(self.desktop.cell(grid, 0, 1))
        time.sleep(0.5)  # the chooser opens on Field01's PC cell
        # To Field20's PC cell: two cells a row.
        for _ in range(38):
            self.desktop.key("tab")
        # The wheel over the grid and over the chooser on it, down and back.
        self.desktop.wheel(grid, 5)
        self.desktop.wheel(grid, -2)
        self.desktop.key("down")  # the chooser offers the table's columns, ItemNo first
        self.desktop.key("return")
        self.assertIsNone(self.desktop.app.poll(), self.desktop.program_output())
        apply = self.desktop.wait_for("push button", "Apply", timeout=self.bound)
        self.assertIn("enabled", apply.states)
        self.assertIsNotNone(self.desktop.do_action(apply, timeout=self.bound))
        deadline = time.monotonic() + self.bound
        while "enabled" in self.desktop.states(apply.ref):  # the press is animated
            self.assertLess(time.monotonic(), deadline, "Apply did not save")
            time.sleep(0.05)
        self.desktop.screenshot(os.path.join(OUT, "wizard-grid.png"))
        self.assertEqual(self.ini_value("Session01", "Field20"), "ItemNo")
        self.assertEqual([self.ini_value("Session01", f"Field{n:02d}") for n in (2, 19, 21)],
                         ["Quantity", "", ""], "the rows passed keep theirs")
        self.assertIsNone(self.desktop.app.poll())


if __name__ == "__main__":
    unittest.main()
