"""A small Qt desktop window whose actions are decorated with @runtimeguard, run against the
local collector:

    python3 -P -m orlune.demo.qt_app [--binding PySide6|PyQt6]

It runs offscreen unless QT_QPA_PLATFORM says otherwise, clicks its own toolbar action and
button, and prints what the collector received. Qt is optional: without PySide6 or PyQt6 the
demo says so in one line and ends.
"""

import argparse
import importlib
import os
import sys
import tempfile

API_KEY = "qt-demo-key"


def load_binding(preferred):
    """(QtCore, QtGui, QtWidgets) of the first binding that imports, or None."""
    for name in [preferred] if preferred else ["PySide6", "PyQt6"]:
        try:
            return tuple(importlib.import_module(f"{name}.{part}") for part in ("QtCore", "QtGui", "QtWidgets"))
        except ImportError:
            continue
    return None


def build_window(QtCore, QtGui, QtWidgets):
    from orlune.core.runtime_guard import runtimeguard

    class StudyWindow(QtWidgets.QMainWindow):
        """Wired as the README shows: decorated methods connected to Qt signals."""

        def __init__(self):
            super().__init__()
            self.log = []
            self.segment_action = QtGui.QAction("Segment", self)
            self.segment_action.triggered.connect(self.segment)  # triggered(bool): segment takes none
            self.addToolBar("Tools").addAction(self.segment_action)
            self.export_button = QtWidgets.QPushButton("Export")
            self.export_button.clicked.connect(self.export)
            self.setCentralWidget(self.export_button)

        @runtimeguard("Segmentation")
        def segment(self):
            self.log.append("segmented")

        @runtimeguard("Export")
        def export(self, checked=False):
            self.log.append(f"exported (checked={checked})")

    return StudyWindow


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binding", choices=["PySide6", "PyQt6"], help="default: the first installed")
    args = parser.parse_args(argv)
    qt = load_binding(args.binding)
    if qt is None:
        print("Qt demo skipped: neither PySide6 nor PyQt6 is installed (pip install PySide6-Essentials)")
        return 0
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

    from orlune.collector import Collector

    with tempfile.TemporaryDirectory(prefix="orlune-qt-demo-") as home, Collector(api_key=API_KEY) as collector:
        # The host reads its server settings when it starts: before the module is imported.
        os.environ.update(HOME=home, ORLUNE_SERVER_URL=collector.url + "/api/validate",
                          ORLUNE_SERVER_API_KEY=API_KEY)
        from orlune.core.runtime_guard import flush_runtime_guard

        QtCore, QtGui, QtWidgets = qt
        app = QtWidgets.QApplication.instance() or QtWidgets.QApplication(sys.argv[:1])
        window = build_window(QtCore, QtGui, QtWidgets)()
        window.show()
        QtCore.QTimer.singleShot(0, window.segment_action.trigger)
        QtCore.QTimer.singleShot(0, window.export_button.click)
        QtCore.QTimer.singleShot(50, app.quit)
        app.exec()
        flush_runtime_guard(5)
        collector.wait_for(2, timeout=5)
        print(f"{QtCore.__name__.split('.')[0]} window: {', '.join(window.log)}")
        for record in collector.received:
            for session in record.payload["sessions"]:
                print(f"  collector received: {session['log_text'].split(' INFO ', 1)[1]}")
        ok = len(collector.received) == 2 and len(window.log) == 2
        print("Qt demo finished" if ok else "Qt demo finished with missing reports")
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
