#!/usr/bin/python3
# The toolkit path of the Python GTK clients users pick instead: PyGObject,
# GTK 3, one window of the client's size and place holding one label.
import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402

window = Gtk.Window(title="pygobject")
window.set_decorated(False)
window.set_resizable(False)
window.set_size_request(421, 394)
window.add(Gtk.Label(label="A PyGObject GTK 3 window with one label"))
window.connect("destroy", Gtk.main_quit)
window.move(200, 200)
window.show_all()
Gtk.main()
