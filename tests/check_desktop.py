#!/usr/bin/python3
"""The installed program on the compositors of real desktops, headless, driven through each
compositor's own input as a user drives it:

- gnome: GNOME's compositor (mutter, with a virtual monitor and Xwayland) and PipeWire, as
  Debian's default desktop runs them. Input and screenshots go through mutter's remote desktop
  and screen cast interfaces. The program runs through XWayland there: GNOME's title bar, only
  a close button, centred; its error box a modal dialog of the window, also with another window in
  front; a tone heard; Tab and Return; closed by the title bar's close button.
- sway: a compositor that draws the title bars itself, run as an unprivileged user (it refuses
  root), with PulseAudio. Input through a virtual pointer, screenshots with grim. The program
  stays a Wayland client there, although an X display is at hand; its error box is over the
  window, and stays on top when the blocked window is clicked; a tone heard.

    check_desktop.py <installation prefix> --desktop gnome|sway [--screenshots FOLDER]
"""
import json
import os
import pwd
import re
import resource
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

from Xlib import X, display as xdisplay, protocol

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_installed_program as e2e  # noqa: E402
import program_session as cp  # noqa: E402

SCREEN = (1280, 1024)
WINDOW = (536, 694)
APP_ID = "example.pitchwarden.EarCheck"


def button_centre(row):
    """A tone button's centre in the window's client area."""
    return 268, 8 + 62 * (row - 1) + 33


def inside(inner, outer):
    """Whether rectangle `inner` (x, y, width, height) lies within `outer`."""
    return (outer[0] <= inner[0] and outer[1] <= inner[1] and
            inner[0] + inner[2] <= outer[0] + outer[2] and inner[1] + inner[3] <= outer[1] + outer[3])


def centred(rect, within=(0, 0) + SCREEN, tolerance=2):
    return all(abs((rect[i] + rect[i + 2] / 2) - (within[i] + within[i + 2] / 2)) <= tolerance for i in (0, 1))


class Program:
    """The installed program started through its launcher, its standard error kept: each error
    box is also written there."""

    def __init__(self, session, launcher, env):
        self.log = os.path.join(session.work, "program-stderr.txt")
        with open(self.log, "w") as log:
            self.process = subprocess.Popen([launcher], env=env, stderr=log)
        session.processes.append(self.process)

    def reports(self):
        return e2e.error_reports(self.log)

    def ended(self, within=10):
        try:
            return self.process.wait(within)
        except subprocess.TimeoutExpired:
            return None


def start(session, command, env, log):
    """A process of the session with an environment of its own, ended with the session. Xwayland,
    started by mutter with -core, dumps core when mutter ends first: not here."""
    process = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT, cwd=session.work,
                               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
    session.processes.append(process)
    return process


# --- GNOME ---------------------------------------------------------------------------------

class Mutter:
    """mutter --headless with a virtual monitor on the session's bus; it starts Xwayland, whose
    display and cookie then serve the session's X clients. Its remote desktop session moves the
    pointer and types through the compositor's input; the screen cast of the same session gives
    the screenshots (a PipeWire stream)."""

    REMOTE, CAST = "org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast"

    def __init__(self, session):
        from gi.repository import Gio
        self.session = session
        log_path = os.path.join(session.work, "mutter.log")
        env = {k: v for k, v in session.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        start(session, ["mutter", "--headless", "--wayland", "--virtual-monitor", "%dx%d" % SCREEN,
                        "--wayland-display", "pitchwarden-gnome"], env, open(log_path, "w"))

        def x_display():
            found = re.search(r"Using public X11 display (:\d+)", open(log_path).read())
            return found.group(1) if found else None

        cp.check(cp.wait_for(x_display, 30, step=0.1), "gnome: mutter starts with Xwayland")
        runtime = session.env["XDG_RUNTIME_DIR"]
        cookie = next(name for name in os.listdir(runtime) if name.startswith(".mutter-Xwaylandauth"))
        # The session's X clients (and this script's Xlib) use Xwayland from now on.
        session.env.update(DISPLAY=x_display(), XAUTHORITY=os.path.join(runtime, cookie),
                           WAYLAND_DISPLAY="pitchwarden-gnome")
        os.environ["XAUTHORITY"] = session.env["XAUTHORITY"]
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = session.env["DBUS_SESSION_BUS_ADDRESS"]
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        # Xwayland can be up before mutter has taken its names on the bus.
        cp.wait_for(lambda: all(self.owned(f"org.gnome.Mutter.{name}")
                                for name in ("DisplayConfig", "RemoteDesktop", "ScreenCast")), 30, step=0.1)
        self.start_remote_session()

    def owned(self, name):
        from gi.repository import GLib
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", GLib.Variant("(s)", (name,)))[0]

    def call(self, name, path, interface, method, args=None):
        return self.bus.call_sync(name, path, interface, method, args, None, 0, 10000, None).unpack()

    def start_remote_session(self):
        from gi.repository import GLib
        monitors = self.call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                             "org.gnome.Mutter.DisplayConfig", "GetCurrentState")[1]
        connector = monitors[0][0][0]
        self.remote = self.call(self.REMOTE, "/org/gnome/Mutter/RemoteDesktop", self.REMOTE, "CreateSession")[0]
        remote_id = self.call(self.REMOTE, self.remote, "org.freedesktop.DBus.Properties", "Get",
                              GLib.Variant("(ss)", (self.REMOTE + ".Session", "SessionId")))[0]
        cast = self.call(self.CAST, "/org/gnome/Mutter/ScreenCast", self.CAST, "CreateSession",
                         GLib.Variant("(a{sv})", ({"remote-desktop-session-id": GLib.Variant("s", remote_id)},)))[0]
        self.stream = self.call(self.CAST, cast, self.CAST + ".Session", "RecordMonitor",
                                GLib.Variant("(sa{sv})", (connector, {"cursor-mode": GLib.Variant("u", 1)})))[0]
        self.node = None

        def added(_bus, _sender, _path, _interface, _signal, parameters):
            self.node = parameters.unpack()[0]

        self.bus.signal_subscribe(None, self.CAST + ".Stream", "PipeWireStreamAdded", self.stream, None, 0, added)
        self.remote_call("Start")
        context = GLib.MainContext.default()
        cp.wait_for(lambda: context.iteration(False) or self.node is not None, 10, step=0.01)
        # The first key of a session makes mutter's virtual keyboard and is lost: a Shift first.
        self.key(0xFFE1)

    def remote_call(self, method, signature=None, *args):
        from gi.repository import GLib
        self.call(self.REMOTE, self.remote, self.REMOTE + ".Session", method,
                  GLib.Variant(signature, args) if signature else None)

    def click(self, x, y):
        self.remote_call("NotifyPointerMotionAbsolute", "(sdd)", self.stream, float(x), float(y))
        for pressed in (True, False):
            time.sleep(0.05)
            self.remote_call("NotifyPointerButton", "(ib)", 272, pressed)  # BTN_LEFT

    def key(self, keysym):
        for pressed in (True, False):
            self.remote_call("NotifyKeyboardKeysym", "(ub)", keysym, pressed)

    def screenshot(self, path):
        subprocess.run(["gst-launch-1.0", "-q", "pipewiresrc", f"path={self.node}", "num-buffers=2", "!",
                        "videoconvert", "!", "pngenc", "snapshot=true", "!", "filesink", f"location={path}"],
                       env=self.session.env, timeout=30, check=True)


class XView:
    """What a window manager's X11 side shows of a window: where it is on the screen (root
    coordinates of its client area) and its properties."""

    def __init__(self, session):
        self.d = xdisplay.Display(session.env["DISPLAY"])
        self.root = self.d.screen().root

    def window(self, wid):
        return self.d.create_resource_object("window", int(wid))

    def rect(self, wid):
        window = self.window(wid)
        at = self.root.translate_coords(window, 0, 0)
        size = window.get_geometry()
        return at.x, at.y, size.width, size.height

    def atoms(self, wid, name):
        prop = self.window(wid).get_full_property(self.d.intern_atom(name), X.AnyPropertyType)
        return [self.d.get_atom_name(atom) for atom in prop.value] if prop else []

    def cardinals(self, wid, name):
        prop = self.window(wid).get_full_property(self.d.intern_atom(name), X.AnyPropertyType)
        return list(prop.value) if prop else []

    def transient_for(self, wid):
        parent = self.window(wid).get_wm_transient_for()
        return parent.id if parent else None

    def active(self):
        return (self.cardinals(self.root.id, "_NET_ACTIVE_WINDOW") or [None])[0]

    def activate(self, wid):
        """What a task bar does to bring a window to the front."""
        event = protocol.event.ClientMessage(window=self.window(wid), client_type=self.d.intern_atom("_NET_ACTIVE_WINDOW"),
                                             data=(32, [2, X.CurrentTime, 0, 0, 0]))
        self.root.send_event(event, event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
        self.d.sync()

    def another_program(self):
        """A plain window of another program, mapped (it comes to the front)."""
        window = self.root.create_window(100, 100, 300, 200, 0, self.d.screen().root_depth,
                                         background_pixel=self.d.screen().white_pixel)
        window.set_wm_name("Another program")
        window.map()
        self.d.sync()
        return window.id


def x_windows(session, title):
    return e2e.boxes_titled(session, title)


def one_x_window(session, title, within=15):
    cp.wait_for(lambda: x_windows(session, title), within, step=0.05)
    found = x_windows(session, title)
    return int(found[0]) if len(found) == 1 else None


def check_gnome_box(session, view, main, label):
    """The error box up now: modal over the program's window, inside it, centred on it."""
    box = one_x_window(session, "Application Error", 10)
    cp.check(box is not None, f"gnome, {label}: one error box")
    if box is None:
        return None
    cp.check(view.transient_for(box) == main, f"gnome, {label}: the box belongs to the program's window "
             f"(transient for {view.transient_for(box)}, window {main})")
    cp.check("_NET_WM_STATE_MODAL" in view.atoms(box, "_NET_WM_STATE"), f"gnome, {label}: the box is modal")
    box_rect, window_rect = view.rect(box), view.rect(main)
    cp.check(inside(box_rect, window_rect) and centred(box_rect, window_rect),
             f"gnome, {label}: the box {box_rect} centred inside the window {window_rect}")
    return box


def tone_heard(session, press, temp, khz, desktop):
    """A click plays a tone, heard at the sink for two seconds, and a second click stops it."""
    label, tone_file = f"{desktop}, {khz} kHz", os.path.join(temp, f"{khz}kHz.mp3")
    before = len(session.samples())
    press(e2e.ROWS[khz])
    cp.check(cp.wait_for(lambda: os.path.exists(tone_file), 5), f"{label}: a click plays it")
    cp.wait_for(lambda: False, 2.0)
    press(e2e.ROWS[khz])
    cp.check(cp.wait_for(lambda: not os.path.exists(tone_file), 5), f"{label}: a second click stops it")
    cp.wait_for(lambda: False, 0.3)
    e2e.check_segment(session.samples()[before:], khz, label, session.rate)


def gnome(session, launcher, temp, shots):
    mutter = Mutter(session)
    env = dict(session.env, TEMP=temp, XDG_CURRENT_DESKTOP="GNOME", XDG_SESSION_TYPE="wayland")
    program = Program(session, launcher, env)
    main = one_x_window(session, cp.TITLE, 30)
    cp.check(main is not None, "gnome: the window opens through XWayland (an X11 window on Xwayland)")
    if main is None:
        return
    view = XView(session)
    cp.wait_for(lambda: view.cardinals(main, "_NET_FRAME_EXTENTS"), 5, step=0.05)
    extents = view.cardinals(main, "_NET_FRAME_EXTENTS")
    cp.check(len(extents) == 4 and extents[2] > 0, f"gnome: GNOME draws the title bar (frame extents {extents})")
    allowed = view.atoms(main, "_NET_WM_ALLOWED_ACTIONS")
    offered = [a for a in allowed if re.search("MAXIMIZE|RESIZE|FULLSCREEN", a)]
    cp.check("_NET_WM_ACTION_CLOSE" in allowed and not offered,
             f"gnome: the title bar offers no maximize or resize ({offered or 'none'})")
    window_rect = view.rect(main)
    cp.check(window_rect[2:] == WINDOW and centred(window_rect),
             f"gnome: the window {window_rect} is centred on the {SCREEN[0]}x{SCREEN[1]} screen")
    if shots:
        mutter.screenshot(os.path.join(shots, "gnome-window.png"))

    def press(row):
        x, y = button_centre(row)
        mutter.click(window_rect[0] + x, window_rect[1] + y)

    # A press at a muted sink.
    session.pactl("set-sink-mute", "nullsink", "1")
    press(e2e.ROWS[8])
    box = check_gnome_box(session, view, main, "a press at a muted sink")
    if shots and box:
        mutter.screenshot(os.path.join(shots, "gnome-box.png"))
    for found in [box] if box else []:
        cp.ask_to_close(session, found)
    cp.wait_for(lambda: not x_windows(session, "Application Error"), 5, step=0.05)
    session.pactl("set-sink-mute", "nullsink", "0")

    # Another program in front when the sink is muted during a tone.
    press(e2e.ROWS[15])
    cp.wait_for(lambda: os.path.exists(os.path.join(temp, "15kHz.mp3")), 5)
    other = view.another_program()
    view.activate(other)
    cp.check(cp.wait_for(lambda: view.active() == other, 5, step=0.05),
             f"gnome: another program in front (active window {view.active()}, ours {main})")
    cp.wait_for(lambda: False, 1.5)
    session.pactl("set-sink-mute", "nullsink", "1")
    box = check_gnome_box(session, view, main, "muted during a tone, another program in front")
    if shots and box:
        mutter.screenshot(os.path.join(shots, "gnome-box-other-in-front.png"))
    for found in [box] if box else []:
        cp.ask_to_close(session, found)
    cp.check(cp.wait_for(lambda: not os.path.exists(os.path.join(temp, "15kHz.mp3")), 5),
             "gnome: the tone is cleaned up after the box")
    session.pactl("set-sink-mute", "nullsink", "0")

    # A tone heard, then Tab and Return on the compositor's keyboard.
    view.activate(main)
    cp.wait_for(lambda: view.active() == main, 5, step=0.05)
    tone_heard(session, press, temp, 10, "gnome")
    mutter.key(0xFF09)  # Tab: from the clicked 10 kHz button on to 12 kHz
    mutter.key(0xFF0D)  # Return
    tone_file = os.path.join(temp, "12kHz.mp3")
    cp.check(cp.wait_for(lambda: os.path.exists(tone_file), 5), "gnome: Tab, then Return plays 12 kHz")
    cp.wait_for(lambda: False, 1.0)
    mutter.key(0xFF0D)
    cp.check(cp.wait_for(lambda: not os.path.exists(tone_file), 5), "gnome: Return again stops it")
    cp.check(not program.reports()[2:], f"gnome: no error box besides the two asked for ({program.reports()})")

    # GNOME's close button, at the right end of its title bar.
    mutter.click(window_rect[0] + window_rect[2] - extents[2] // 2, window_rect[1] - extents[2] // 2)
    status = program.ended()
    cp.check(status == 0, f"gnome: the title bar's close button ends the program with status 0 ({status})")


# --- sway ----------------------------------------------------------------------------------

class WaylandWire:
    """A minimal Wayland client speaking the wire protocol: enough to bind a global and send
    requests (no file descriptors)."""

    def __init__(self, path):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.connect(path)
        self.next_id, self.buffer, self.globals = 2, b"", {}
        self.registry = self.new_id()
        self.send(1, 1, struct.pack("<I", self.registry))  # wl_display.get_registry
        self.roundtrip()

    def new_id(self):
        self.next_id += 1
        return self.next_id - 1

    def send(self, target, opcode, payload=b""):
        self.socket.sendall(struct.pack("<II", target, (8 + len(payload)) << 16 | opcode) + payload)

    def roundtrip(self):
        """Sends wl_display.sync and reads events until its callback is done."""
        callback = self.new_id()
        self.send(1, 0, struct.pack("<I", callback))
        while True:
            while len(self.buffer) < 8 or len(self.buffer) < struct.unpack_from("<II", self.buffer)[1] >> 16:
                self.buffer += self.socket.recv(65536)
            target, size_opcode = struct.unpack_from("<II", self.buffer)
            body, self.buffer = self.buffer[8:size_opcode >> 16], self.buffer[size_opcode >> 16:]
            if target == callback:
                return
            if target == self.registry and size_opcode & 0xFFFF == 0:  # wl_registry.global
                name, length = struct.unpack_from("<II", body)
                interface = body[8:8 + length - 1].decode()
                self.globals[interface] = (name, struct.unpack_from("<I", body, 8 + length + (-length % 4))[0])

    def bind(self, interface, version):
        name = self.globals[interface][0]
        text = interface.encode() + b"\0"
        new = self.new_id()
        self.send(self.registry, 0, struct.pack("<II", name, len(text)) + text + b"\0" * (-len(text) % 4) +
                  struct.pack("<II", version, new))
        return new


class VirtualPointer:
    """A pointer of the compositor's own seat, through wlr-virtual-pointer: its motion and
    clicks reach the clients as any pointer's do."""

    def __init__(self, wayland_socket):
        self.wire = WaylandWire(wayland_socket)
        manager = self.wire.bind("zwlr_virtual_pointer_manager_v1", 1)
        self.pointer = self.wire.new_id()
        self.wire.send(manager, 0, struct.pack("<II", 0, self.pointer))  # create_virtual_pointer(default seat)

    def frame(self, opcode, *values):
        now = int(time.monotonic() * 1000) & 0xFFFFFFFF
        self.wire.send(self.pointer, opcode, struct.pack("<I" + "I" * len(values), now, *values))
        self.wire.send(self.pointer, 4, struct.pack("<I", now))  # frame

    def click(self, x, y):
        self.frame(1, x, y, *SCREEN)  # motion_absolute
        for state in (1, 0):
            time.sleep(0.05)
            self.frame(2, 0x110, state)  # button BTN_LEFT
        self.wire.roundtrip()


class Sway:
    """sway on a headless output, run as the unprivileged user nobody in a runtime folder of its
    own; its Wayland socket is given to the program by path."""

    def __init__(self, session):
        self.session = session
        nobody = pwd.getpwnam("nobody")
        self.runtime = tempfile.mkdtemp(prefix="pitchwarden-sway-")
        os.chown(self.runtime, nobody.pw_uid, nobody.pw_gid)
        config = os.path.join(self.runtime, "config")
        with open(config, "w") as f:
            f.write("output HEADLESS-1 resolution %dx%d position 0 0\nxwayland disable\n" % SCREEN)
        env = {"PATH": os.environ["PATH"], "HOME": self.runtime, "XDG_RUNTIME_DIR": self.runtime,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        start(session, ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}", "--clear-groups",
                        "sway", "-c", config], env, subprocess.DEVNULL)

        def sockets():
            names = os.listdir(self.runtime)
            wayland = [n for n in names if n.startswith("wayland-") and not n.endswith(".lock")]
            ipc = [n for n in names if n.startswith("sway-ipc")]
            return (wayland[0], ipc[0]) if wayland and ipc else None

        cp.check(cp.wait_for(sockets, 20, step=0.05), "sway: starts as the unprivileged user nobody")
        wayland, ipc = sockets()
        self.wayland = os.path.join(self.runtime, wayland)
        self.ipc = os.path.join(self.runtime, ipc)
        self.pointer = VirtualPointer(self.wayland)

    def msg(self, *args):
        return subprocess.run(["swaymsg", "-s", self.ipc, *args], capture_output=True, text=True).stdout

    def windows(self):
        """The floating windows from bottom to top, each as (name, node)."""
        found = []

        def walk(node):
            for child in node.get("floating_nodes", []):
                found.append((child.get("name"), child))
            for child in node.get("nodes", []):
                walk(child)

        walk(json.loads(self.msg("-t", "get_tree") or "{}"))
        return found

    def window(self, name):
        return next((node for title, node in self.windows() if title == name), None)

    @staticmethod
    def content(node):
        """The client's own surface on the screen: the window less the compositor's decorations."""
        outer, inner = node["rect"], node["window_rect"]
        return outer["x"] + inner["x"], outer["y"] + inner["y"], inner["width"], inner["height"]

    def screenshot(self, path):
        subprocess.run(["grim", path], env=dict(self.session.env, WAYLAND_DISPLAY=self.wayland), check=True)

    def close(self):
        shutil.rmtree(self.runtime, ignore_errors=True)


def sway(session, launcher, temp, shots):
    compositor = Sway(session)
    try:
        sway_checks(session, compositor, launcher, temp, shots)
    finally:
        compositor.close()


def sway_checks(session, compositor, launcher, temp, shots):
    env = dict(session.env, TEMP=temp, WAYLAND_DISPLAY=compositor.wayland, XDG_CURRENT_DESKTOP="sway",
               XDG_SESSION_TYPE="wayland")
    program = Program(session, launcher, env)
    cp.check(cp.wait_for(lambda: compositor.window(cp.TITLE), 30, step=0.05),
             f"sway: the window opens as a Wayland client although an X display is at hand ({env['DISPLAY']})")
    main = compositor.window(cp.TITLE)
    if main is None:
        return
    cp.check(main.get("app_id") == APP_ID and main.get("shell") == "xdg_shell",
             f"sway: a native window ({main.get('shell')}, app id {main.get('app_id')})")
    # The window asks for sway's title bar once it is up.
    cp.wait_for(lambda: compositor.window(cp.TITLE).get("border") == "normal", 5, step=0.05)
    main = compositor.window(cp.TITLE)
    content = compositor.content(main)
    cp.check(main.get("border") == "normal" and content[2:] == WINDOW,
             f"sway: sway draws the title bar ({main.get('border')}), the window draws none ({content})")
    cp.check(centred(content), f"sway: the window {content} is centred on the {SCREEN[0]}x{SCREEN[1]} screen "
             "(by sway)")
    if shots:
        compositor.screenshot(os.path.join(shots, "sway-window.png"))

    def press(row):
        x, y = button_centre(row)
        compositor.pointer.click(content[0] + x, content[1] + y)

    def box_on_top(label):
        def top():
            windows = compositor.windows()
            return windows and windows[-1][0] == "Application Error" and windows[-1][1].get("focused")

        cp.check(cp.wait_for(top, 5, step=0.05), f"sway, {label}: the box is on top, with the focus "
                 f"(bottom to top: {[name for name, _ in compositor.windows()]})")
        box = compositor.window("Application Error")
        if box:
            rect = compositor.content(box)
            cp.check(inside(rect, content) and centred(rect, content),
                     f"sway, {label}: the box {rect} centred inside the window {content}")

    session.pactl("set-sink-mute", "nullsink", "1")
    press(e2e.ROWS[8])
    box_on_top("a press at a muted sink")
    if shots:
        compositor.screenshot(os.path.join(shots, "sway-box.png"))
    # A click on the window the box blocks, beside the box.
    compositor.pointer.click(content[0] + 268, content[1] + content[3] - 20)
    cp.wait_for(lambda: False, 0.5)
    box_on_top("after a click on the blocked window")
    if shots:
        compositor.screenshot(os.path.join(shots, "sway-box-after-click.png"))
    compositor.msg('[title="^Application Error$"]', "kill")
    cp.check(cp.wait_for(lambda: compositor.window("Application Error") is None, 5, step=0.05),
             "sway: the box closes")
    session.pactl("set-sink-mute", "nullsink", "0")

    tone_heard(session, press, temp, 12, "sway")
    cp.check(len(program.reports()) == 1, f"sway: one error box in all ({program.reports()})")

    compositor.msg(f'[app_id="{APP_ID}"]', "kill")
    status = program.ended()
    cp.check(status == 0, f"sway: closed by the compositor, the program ends with status 0 ({status})")


def main():
    prefix = sys.argv[1]
    desktop = sys.argv[sys.argv.index("--desktop") + 1]
    shots = sys.argv[sys.argv.index("--screenshots") + 1] if "--screenshots" in sys.argv else None
    if shots:
        os.makedirs(shots, exist_ok=True)
    launcher = os.path.join(prefix, "bin", "pitchwarden-ear-check")
    work = tempfile.mkdtemp(prefix=f"pitchwarden-{desktop}-")
    temp = os.path.join(work, "temp")
    os.makedirs(temp)
    # GNOME on Debian plays through PipeWire; sway here through PulseAudio.
    session = cp.Session(work, "pipewire" if desktop == "gnome" else "pulse44")
    if desktop == "gnome":
        session.start_session_bus()
    try:
        {"gnome": gnome, "sway": sway}[desktop](session, launcher, temp, shots)
    finally:
        session.close()
        shutil.rmtree(work, ignore_errors=True)
    return cp.outcome()


if __name__ == "__main__":
    sys.exit(main())
