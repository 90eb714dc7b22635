"""Runs the windowed program on a private X display and drives it through the accessibility bus.

Each Desktop starts its own Xvfb, session bus and accessibility bus (at-spi-bus-launcher), so that
nothing of the machine's desktop is used. AT-SPI is spoken over D-Bus directly (python3-dbus).
Notes on Qt 6.4's AT-SPI side:
  * Properties.GetAll on a Qt accessible crashes the program: only Properties.Get is used.
  * Action.DoAction runs the action before it replies, so a reply is also the proof that the GUI
    thread handled it; when the action opens a modal box, the reply comes only when the box closes.
Every process is started in a session of its own and ended by its pid.
"""

import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import zlib

import dbus

ACC = "org.a11y.atspi.Accessible"
ACTION = "org.a11y.atspi.Action"
PROPS = "org.freedesktop.DBus.Properties"
REGISTRY = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
DEC = ("org.a11y.atspi.Registry", "/org/a11y/atspi/registry/deviceeventcontroller")
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

# Bits of AT-SPI's state set that the tests look at.
STATES = {"active": 1, "enabled": 8, "checked": 4, "showing": 25, "visible": 30}
# Key synthesis types and modifier masks of the device event controller.
KEY_SYM, KEY_LOCKMODIFIERS, KEY_UNLOCKMODIFIERS = 3, 5, 6
MODIFIERS = {"shift": 1, "ctrl": 4, "alt": 8}
KEYSYMS = {"delete": 0xFFFF, "return": 0xFF0D, "escape": 0xFF1B, "tab": 0xFF09, "up": 0xFF52, "down": 0xFF54}


class DriverError(AssertionError):
    pass


class Node:
    """One accessible object (its bus name and path) with what was read of it."""

    def __init__(self, ref, role, name, states):
        self.ref, self.role, self.name, self.states = ref, role, name, states

    def __repr__(self):
        return f"<{self.role} {self.name!r}>"


def _decode_states(words):
    bits = 0
    for i, word in enumerate(words):
        bits |= int(word) << (32 * i)
    return {name for name, bit in STATES.items() if bits >> bit & 1}


def _read_line(fd, timeout, what):
    import select
    deadline = time.monotonic() + timeout
    data = b""
    while b"\n" not in data:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise DriverError(f"{what} did not start within {timeout} s")
        chunk = os.read(fd, 4096)
        if not chunk:
            raise DriverError(f"{what} exited while starting")
        data += chunk
    os.close(fd)
    return data.split(b"\n", 1)[0].decode().strip()


def stop_process(proc, grace=5.0):
    """SIGTERM, then SIGKILL, to proc (and its session, which it leads), by pid."""
    if proc is None or proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            pass


class Desktop:
    """A private X display with a session bus and the accessibility bus on it."""

    def __init__(self, folder, size="1280x800"):
        self.folder = folder
        self.processes = []
        self.logs = []
        self.app = self.bus = self.session = None
        try:
            self._set_up(size)
        except BaseException:
            self.close()  # what started before the failure
            raise

    def _set_up(self, size):
        folder = self.folder
        runtime = os.path.join(folder, "run")
        fbdir = os.path.join(folder, "fb")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        os.makedirs(fbdir, exist_ok=True)
        self.framebuffer = os.path.join(fbdir, "Xvfb_screen0")
        for program in ("Xvfb", "dbus-daemon", LAUNCHER):
            if not shutil.which(program):
                raise DriverError(f"{program} is missing: run scripts/setup.sh")
        r, w = os.pipe()
        self._start(["Xvfb", "-displayfd", str(w), "-screen", "0", f"{size}x24", "-fbdir", fbdir,
                     "-nolisten", "tcp", "-noreset"], "xvfb.log", pass_fds=(w,))
        os.close(w)
        self.display = ":" + _read_line(r, 15, "Xvfb")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS",
                                 "NO_AT_BRIDGE", "QT_QPA_PLATFORM", "DISPLAY", "XDG_RUNTIME_DIR",
                                 "QT_ACCESSIBILITY")}
        self.env.update(DISPLAY=self.display, XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8")
        r, w = os.pipe()
        self._start(["dbus-daemon", "--session", "--nofork", f"--print-address={w}",
                     f"--address=unix:dir={folder}"], "dbus.log", env=self.env, pass_fds=(w,))
        os.close(w)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = _read_line(r, 15, "dbus-daemon")
        launcher = self._start([LAUNCHER, "--launch-immediately", "--a11y=1"], "at-spi.log", env=self.env)
        self.session = session = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        deadline = time.monotonic() + 15
        # Asking org.a11y.Bus before the launcher owns it would activate a second launcher.
        while not session.name_has_owner("org.a11y.Bus"):
            if time.monotonic() > deadline or launcher.poll() is not None:
                raise DriverError("the accessibility bus did not come up: " + self.log("at-spi.log"))
            time.sleep(0.05)
        address = session.call_blocking("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                        "GetAddress", "", (), timeout=5)
        self.bus = dbus.bus.BusConnection(str(address))

    def _start(self, command, log, env=None, pass_fds=()):
        out = open(os.path.join(self.folder, log), "wb")
        self.logs.append(out)
        proc = subprocess.Popen(command, env=env, pass_fds=pass_fds, start_new_session=True,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.processes.append(proc)
        return proc

    def log(self, name, limit=3000):
        try:
            with open(os.path.join(self.folder, name), "rb") as f:
                return f.read()[-limit:].decode(errors="replace")
        except OSError:
            return ""

    def close(self):
        for conn in (self.bus, self.session):
            if conn is not None:
                conn.close()
        self.bus = self.session = None
        for proc in reversed(self.processes):
            stop_process(proc)
        for out in self.logs:
            out.close()

    # -- the program
    def start_program(self, command, env=None, timeout=30):
        """Starts the program on the display with the accessibility bridge on; returns when it
        shows its main window (a frame whose name starts with main_title)."""
        full = dict(self.env, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
        full.update(env or {})
        self.app = self._start(command, "program.log", env=full)
        return self.app

    def program_output(self):
        for out in self.logs:
            out.flush()
        return self.log("program.log", limit=20000)

    def application(self, timeout=30):
        """The program's application object on the accessibility bus, once it shows a window."""
        deadline = time.monotonic() + timeout
        while True:
            if self.app.poll() is not None:
                raise DriverError(f"the program ended ({self.app.returncode}): {self.program_output()}")
            try:
                for ref in self.children(REGISTRY):
                    pid = int(self.bus.call_blocking(
                        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "GetConnectionUnixProcessID", "s", (ref[0],), timeout=2))
                    if pid == self.app.pid and any("showing" in self.states(w) for w in self.children(ref)):
                        return ref
            except dbus.DBusException:
                pass
            if time.monotonic() > deadline:
                raise DriverError(f"no window within {timeout} s: {self.program_output()}")
            time.sleep(0.1)

    # -- AT-SPI
    def call(self, ref, iface, method, sig="", args=(), timeout=5.0):
        return self.bus.call_blocking(ref[0], ref[1], iface, method, sig, args, timeout=timeout)

    def children(self, ref, timeout=5.0):
        return [(str(b), str(p)) for b, p in self.call(ref, ACC, "GetChildren", timeout=timeout)
                if not str(p).endswith("/null")]

    def states(self, ref, timeout=5.0):
        return _decode_states(self.call(ref, ACC, "GetState", timeout=timeout))

    def node(self, ref, timeout=5.0):
        role = str(self.call(ref, ACC, "GetRoleName", timeout=timeout))
        name = str(self.call(ref, PROPS, "Get", "ss", (ACC, "Name"), timeout=timeout))
        return Node(ref, role, name, self.states(ref, timeout))

    def walk(self, ref, skip_roles=("table", "tree", "tree table", "list", "table cell", "list item"), timeout=5.0):
        """Every node under ref, depth first; the contents of tables and lists are left out."""
        out = []
        stack = [ref]
        seen = set()
        while stack:
            current = stack.pop()
            if current in seen:
                continue
            seen.add(current)
            try:
                n = self.node(current, timeout)
            except dbus.DBusException as e:
                if e.get_dbus_name() == "org.freedesktop.DBus.Error.NoReply":
                    raise
                continue  # gone meanwhile
            out.append(n)
            if n.role not in skip_roles:
                try:
                    stack.extend(reversed(self.children(current, timeout)))
                except dbus.DBusException as e:
                    if e.get_dbus_name() == "org.freedesktop.DBus.Error.NoReply":
                        raise
        return out

    def find(self, role, name, under=None, showing=True, timeout=5.0):
        """The first node with this role and name (showing ones only unless showing=False)."""
        for n in self.walk(under or self.application(), timeout=timeout):
            if n.role == role and (name is None or n.name == name) and (not showing or "showing" in n.states):
                return n
        return None

    def wait_for(self, role, name, timeout=10.0, gone=False, under=None):
        deadline = time.monotonic() + timeout
        while True:
            found = self.find(role, name, under)
            if (found is None) == gone:
                return found if not gone else True
            if time.monotonic() > deadline:
                raise DriverError(f"{role} {name!r} {'still showing' if gone else 'not showing'} "
                                  f"after {timeout} s")
            time.sleep(0.1)

    def do_action(self, node, name=None, timeout=2.0):
        """Does the node's action (its first one unless named). Returns the seconds until the
        program replied, or None when it did not reply within timeout (a modal box it opened
        keeps the reply back, and so does a stalled GUI thread)."""
        actions = [str(a[0]) for a in self.call(node.ref, ACTION, "GetActions")]
        if not actions:
            raise DriverError(f"{node} has no action")
        index = actions.index(name) if name else 0
        started = time.monotonic()
        try:
            self.call(node.ref, ACTION, "DoAction", "i", (index,), timeout=timeout)
        except dbus.DBusException as e:
            if e.get_dbus_name() != "org.freedesktop.DBus.Error.NoReply":
                raise
            return None
        return time.monotonic() - started

    def table_rows(self, node):
        return int(self.call(node.ref, PROPS, "Get", "ss", ("org.a11y.atspi.Table", "NRows")))

    def extents(self, node):
        return [int(v) for v in self.call(node.ref, "org.a11y.atspi.Component", "GetExtents", "u", (0,))]

    def click(self, node, at=None):
        """A left click in the node, through the device event controller (XTest): in its middle,
        or at (dx, dy) from its top left corner (negative: from the bottom right)."""
        x, y, w, h = self.extents(node)
        dx, dy = at or (w // 2, h // 2)
        self.call(DEC, "org.a11y.atspi.DeviceEventController", "GenerateMouseEvent", "iis",
                  (x + (dx if dx >= 0 else w + dx), y + (dy if dy >= 0 else h + dy), "b1c"))

    def wheel(self, node, turns):
        """Turns the mouse wheel over the middle of the node (XTest buttons 4 and 5): positive turns
        scroll down, negative up."""
        x, y, w, h = self.extents(node)
        for _ in range(abs(turns)):
            self.call(DEC, "org.a11y.atspi.DeviceEventController", "GenerateMouseEvent", "iis",
                      (x + w // 2, y + h // 2, "b5c" if turns > 0 else "b4c"))

    def cell(self, table, row, column):
        """The accessible of a table's cell (rows counted without the header)."""
        b, p = self.call(table.ref, "org.a11y.atspi.Table", "GetAccessibleAt", "ii", (row, column))
        return self.node((str(b), str(p)))

    def key(self, keysym_name, modifiers=()):
        """Types a key (a letter or a name from KEYSYMS) with modifiers held, through the
        accessibility registry's device event controller (XTest on X11)."""
        mask = sum(MODIFIERS[m] for m in modifiers)
        keysym = KEYSYMS.get(keysym_name, ord(keysym_name) if len(keysym_name) == 1 else None)
        dec = "org.a11y.atspi.DeviceEventController"
        if mask:
            self.call(DEC, dec, "GenerateKeyboardEvent", "isu", (mask, "", KEY_LOCKMODIFIERS))
        try:
            self.call(DEC, dec, "GenerateKeyboardEvent", "isu", (keysym, "", KEY_SYM))
        finally:
            if mask:
                self.call(DEC, dec, "GenerateKeyboardEvent", "isu", (mask, "", KEY_UNLOCKMODIFIERS))

    def screenshot(self, path):
        """The whole display as an RGB PNG, from Xvfb's XWD framebuffer file."""
        with open(self.framebuffer, "rb") as f:
            data = f.read()
        h = struct.unpack(">25I", data[:100])
        header_size, width, height, byte_order, bpp, bpl, ncolors = h[0], h[4], h[5], h[7], h[11], h[12], h[19]
        if bpp != 32:
            raise DriverError(f"unexpected framebuffer: {bpp} bits per pixel")
        pixels = data[header_size + 12 * ncolors:][:bpl * height]
        offsets = []
        for mask in h[14:17]:
            shift = (mask & -mask).bit_length() - 1
            offsets.append(shift // 8 if byte_order == 0 else 3 - shift // 8)
        rows = []
        for y in range(height):
            row = pixels[y * bpl:y * bpl + 4 * width]
            rgb = bytearray(3 * width)
            for c in range(3):
                rgb[c::3] = row[offsets[c]::4]
            rows.append(b"\0" + bytes(rgb))

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                    + chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) + chunk(b"IEND", b""))
        return path


def temp_folder(prefix="zel-xcb-"):
    return tempfile.mkdtemp(prefix=prefix)
