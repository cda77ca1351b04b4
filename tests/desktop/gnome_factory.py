#!/usr/bin/python3
# Asks GNOME's own thumbnail factory, which runs the installed .thumbnailer
# line inside bubblewrap as GNOME Files does, for thumbnails at the NORMAL
# (128) and LARGE (256) sizes, and checks each picture; a broken file must
# fail. Run with the system python3 and XDG_DATA_DIRS pointing at the
# install's share folder first.
#   gnome_factory.py BROKEN_FILE MIME=FILE...
import sys

import gi

gi.require_version("GnomeDesktop", "3.0")
from gi.repository import Gio, GLib, GnomeDesktop  # noqa: E402

SIZES = [(GnomeDesktop.DesktopThumbnailSize.NORMAL, 128),
         (GnomeDesktop.DesktopThumbnailSize.LARGE, 256)]


def coverage(pixbuf):
    """Share of pixels with alpha above 0, and whether the corners are clear."""
    w, h = pixbuf.get_width(), pixbuf.get_height()
    n, stride = pixbuf.get_n_channels(), pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    drawn = 0
    for y in range(h):
        row = y * stride
        for x in range(w):
            if data[row + x * n + 3] > 0:
                drawn += 1
    corners = [data[y * stride + x * n + 3] for x in (0, w - 1) for y in (0, h - 1)]
    return drawn / (w * h), max(corners) == 0


def main():
    broken = sys.argv[1]
    cases = [arg.split("=", 1) for arg in sys.argv[2:]]
    failures = 0
    for size_enum, edge in SIZES:
        factory = GnomeDesktop.DesktopThumbnailFactory.new(size_enum)
        for mime, path in cases:
            name = f"{path.rsplit('/', 1)[-1]} ({mime}) at {edge}"
            uri = Gio.File.new_for_path(path).get_uri()
            try:
                pixbuf = factory.generate_thumbnail(uri, mime, None)
            except GLib.Error as error:
                print(f"FAIL {name}: {error.message}")
                failures += 1
                continue
            w, h = pixbuf.get_width(), pixbuf.get_height()
            share, clear_corners = coverage(pixbuf) if pixbuf.get_has_alpha() else (1.0, False)
            # The model fills part of the picture; the background around it is transparent.
            if (w, h) != (edge, edge) or not pixbuf.get_has_alpha() or not clear_corners or \
                    not 0.02 < share < 0.9:
                print(f"FAIL {name}: {w}x{h}, alpha {pixbuf.get_has_alpha()}, "
                      f"drawn {share:.3f}, clear corners {clear_corners}")
                failures += 1
            else:
                print(f"ok   {name}: {w}x{h}, drawn {share:.3f}")
        uri = Gio.File.new_for_path(broken).get_uri()
        try:
            factory.generate_thumbnail(uri, "model/stl", None)
            print(f"FAIL broken file at {edge}: a thumbnail came back")
            failures += 1
        except GLib.Error as error:
            print(f"ok   broken file at {edge} fails: {error.message}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
