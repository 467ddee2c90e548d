"""keycrate's entries in the file manager's menu of files: lock, back up."""

import subprocess
import threading

import gi

try:
    gi.require_version("Nautilus", "4.0")
except ValueError:
    gi.require_version("Nautilus", "3.0")
from gi.repository import GObject, Nautilus  # noqa: E402


def _local_files(files):
    return [
        f.get_location().get_path()
        for f in files
        if f.get_uri_scheme() == "file" and not f.is_directory()
    ]


def _send(command, paths):
    # One after another: a lock waits until keycrate's confirmation is closed.
    def run():
        for path in paths:
            subprocess.run(["keycrate-send", command, path], check=False)

    threading.Thread(target=run, daemon=True).start()


class KeycrateMenu(GObject.GObject, Nautilus.MenuProvider):
    def get_file_items(self, *args):
        # The older interface passes the window first.
        paths = _local_files(args[-1])
        if not paths:
            return []
        items = []
        for name, label, command in (
            ("Keycrate::lock", "Lock with keycrate", "lock"),
            ("Keycrate::backup", "Back up with keycrate", "upload"),
        ):
            item = Nautilus.MenuItem(name=name, label=label, icon="keycrate")
            item.connect("activate", lambda _item, c=command: _send(c, paths))
            items.append(item)
        return items
