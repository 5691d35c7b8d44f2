#!/usr/bin/env python3
"""Reads a running program's windows through AT-SPI, as a screen reader does.

  atspi_reader.py tree PID     prints every accessible object of process PID
                               as one JSON object a line: name, role,
                               description and the names it is labelled by
  atspi_reader.py listen PID   prints "ready", then one line for each change
                               of an accessible description in process PID,
                               until the first one of the object "Verbindung"

Either mode gives up after a bounded time and exits with status 2, so that a
hung accessibility bus cannot hang the test.
"""
import json
import signal
import sys

import pyatspi

LIMIT_SECONDS = 30


def give_up(*_):
    print("timeout", flush=True)
    sys.exit(2)


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for index in range(desktop.childCount):
        app = desktop.getChildAtIndex(index)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def labelled_by(node):
    names = []
    try:
        for relation in node.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                for i in range(relation.getNTargets()):
                    names.append(relation.getTarget(i).name)
    except Exception:
        pass
    return names


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    print(json.dumps({"name": node.name, "role": node.getRoleName(), "description": node.description,
                      "labelled_by": labelled_by(node)}, ensure_ascii=False), flush=True)
    for index in range(node.childCount):
        walk(node.getChildAtIndex(index), depth + 1)


def tree(pid):
    app = application(pid)
    if app is None:
        print("no application", flush=True)
        return 1
    walk(app)
    return 0


def listen(pid):
    def heard(event):
        try:
            if event.source.get_process_id() != pid:
                return
            print(json.dumps({"name": event.source.name, "description": event.source.description},
                             ensure_ascii=False), flush=True)
            if event.source.name == "Verbindung":
                pyatspi.Registry.stop()
        except Exception:
            pass

    pyatspi.Registry.registerEventListener(heard, "object:property-change:accessible-description")
    # The main loop does not return to Python for the alarm's handler.
    from gi.repository import GLib
    GLib.timeout_add_seconds(LIMIT_SECONDS, give_up)
    print("ready", flush=True)
    pyatspi.Registry.start()
    return 0


def main():
    signal.signal(signal.SIGALRM, give_up)
    signal.alarm(LIMIT_SECONDS)
    mode, pid = sys.argv[1], int(sys.argv[2])
    return tree(pid) if mode == "tree" else listen(pid)


if __name__ == "__main__":
    sys.exit(main())
