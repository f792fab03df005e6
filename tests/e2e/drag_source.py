#!/usr/bin/python3
# A small drag source, as a file manager would be: a window at a fixed
# position that offers the given files as text/uri-list when dragged.
#   drag_source.py X Y PATH...
import sys
from urllib.parse import quote

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, Gtk  # noqa: E402

x, y, paths = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
uris = ["file://" + quote(p) for p in paths]

win = Gtk.Window(title="morvik-drag-source")
win.set_default_size(160, 80)
win.move(x, y)
box = Gtk.EventBox()
box.add(Gtk.Label(label="drag me"))
win.add(box)
box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [], Gdk.DragAction.COPY)
box.drag_source_add_uri_targets()
box.connect("drag-data-get", lambda w, ctx, data, info, t: data.set_uris(uris))
win.connect("destroy", Gtk.main_quit)
win.show_all()
Gtk.main()
