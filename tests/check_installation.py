#!/usr/bin/python3
"""Checks an installed tree as a desktop would use it: the launcher, the program's own folder
with its optional files, the desktop entry and AppStream metainfo (validated by the desktop's
own tools), the icon theme images they name, and the manual page and copyright a Debian
system expects. With `--package`, the tree is a Debian package unpacked into <root>/usr, and
the package's Installed-Size must be what that tree takes.

    check_installation.py <installation prefix> [--package <the .deb>]
"""
import configparser
import glob
import os
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def validator(command):
    run = subprocess.run(command, capture_output=True, text=True)
    output = (run.stdout + run.stderr).strip()
    bad = [line for line in output.splitlines() if "error" in line.lower() or "warning" in line.lower()]
    check(run.returncode == 0 and not bad, f"{' '.join(os.path.basename(c) for c in command)}: {output or 'clean'}")


def unpacked_kib(root):
    """What an unpacked tree takes as dpkg-gencontrol reckons Installed-Size: every file and link
    rounded up to whole KiB, one KiB for each folder."""
    kib = 0
    for folder, folders, files in os.walk(root):
        kib += len([name for name in folders if not os.path.islink(os.path.join(folder, name))])
        for name in files + [name for name in folders if os.path.islink(os.path.join(folder, name))]:
            kib += -(-os.lstat(os.path.join(folder, name)).st_size // 1024)
    return kib


def check_installed_size(package, root):
    field = subprocess.run(["dpkg-deb", "--field", package, "Installed-Size"], capture_output=True, text=True)
    declared = int(field.stdout.strip() or -1)
    unpacked = unpacked_kib(root)
    check(declared == unpacked, f"Installed-Size {declared} KiB is what the package unpacks to, {unpacked} KiB")


def main():
    prefix = os.path.abspath(sys.argv[1])
    if "--package" in sys.argv:
        check_installed_size(sys.argv[sys.argv.index("--package") + 1], os.path.dirname(prefix))
    launcher = os.path.join(prefix, "bin", "pitchwarden-ear-check")
    folder = os.path.join(prefix, "lib", "pitchwarden-ear-check")
    program = os.path.join(folder, "pitchwarden-ear-check")

    check(os.path.islink(launcher) and not os.path.isabs(os.readlink(launcher)),
          "bin/pitchwarden-ear-check is a relative link")
    check(os.path.realpath(launcher) == os.path.realpath(program), "the launcher leads to the program in its own folder")
    check(os.access(program, os.X_OK), "the program is executable")
    check(os.path.isfile(os.path.join(folder, "HAND-M.CUR")), "the hand cursor lies beside the program")
    check(os.path.isfile(os.path.join(folder, "media", "libpitchwarden-media.so")),
          "the media library, loaded at the first tone, lies in the program's folder")

    entries = glob.glob(os.path.join(prefix, "share", "applications", "*.desktop"))
    metainfos = glob.glob(os.path.join(prefix, "share", "metainfo", "*.metainfo.xml"))
    check(len(entries) == 1 and len(metainfos) == 1, f"one desktop entry and one metainfo ({len(entries)}, {len(metainfos)})")
    if len(entries) != 1 or len(metainfos) != 1:
        return 1
    entry, metainfo = entries[0], metainfos[0]
    validator(["desktop-file-validate", entry])
    validator(["appstreamcli", "validate", "--no-net", metainfo])

    desktop = configparser.ConfigParser(interpolation=None)
    desktop.optionxform = str
    desktop.read(entry)
    group = desktop["Desktop Entry"]
    check(group.get("Name") == "Pitchwarden Ear Check", f"desktop entry name {group.get('Name')!r}")
    check(os.path.exists(os.path.join(prefix, "bin", group.get("Exec", "").split()[0])), "its Exec is the launcher")

    component = ET.parse(metainfo).getroot()
    app_id = component.findtext("id")
    check(os.path.basename(metainfo) == f"{app_id}.metainfo.xml", f"metainfo named after its id {app_id}")
    check(component.findtext("launchable") == os.path.basename(entry), "metainfo launches the desktop entry")

    icon = group.get("Icon", "")
    sizes = []
    for png in glob.glob(os.path.join(prefix, "share", "icons", "hicolor", "*", "apps", f"{icon}.png")):
        theme_size = os.path.basename(os.path.dirname(os.path.dirname(png)))
        data = open(png, "rb").read(24)
        width, height = struct.unpack(">II", data[16:24])
        check(data.startswith(b"\x89PNG") and theme_size == f"{width}x{height}",
              f"{theme_size}/apps/{icon}.png is a {width}x{height} PNG")
        sizes.append(width)
    check(sorted(sizes) == [32, 48, 128, 256], f"icon {icon!r} at every size of the program's icon ({sorted(sizes)})")

    manual = os.path.join(prefix, "share", "man", "man1", "pitchwarden-ear-check.1.gz")
    header = open(manual, "rb").read(10) if os.path.isfile(manual) else b""
    # gzip -9n: best compression (extra flags 2), no file name (flag bit 3) and no time stamp.
    check(header[:3] == b"\x1f\x8b\x08" and not header[3] & 0x08 and header[4:8] == bytes(4) and header[8] == 2,
          "the manual page is compressed with gzip -9n")
    man = subprocess.run(["man", "--warnings", "-l", manual], capture_output=True, text=True,
                         env=dict(os.environ, MANWIDTH="80"))
    check(man.returncode == 0 and not man.stderr.strip() and "pitchwarden-ear-check" in man.stdout,
          f"man renders it without warnings {man.stderr.strip()!r}")
    copyright_file = os.path.join(prefix, "share", "doc", "pitchwarden-ear-check", "copyright")
    first = open(copyright_file).readline() if os.path.isfile(copyright_file) else ""
    check(first.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"),
          "the copyright file is in the machine-readable format")

    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
