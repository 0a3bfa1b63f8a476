#!/usr/bin/python3
"""The running program as a screen reader sees it over AT-SPI: a11y_check.py PRINTOUT.

Presses "Get Data", "Write File" and "Clear Data" through their actions and checks the roles, the
view's text and its announcements, that text queries answer within a second, the names of the
controls that take the focus, the file-name box's label and the one focused control. PRINTOUT is
what the simulated console sends. Exits 1 with the reasons when a check fails.
"""
import itertools
import sys
import time

import pyatspi
from gi.repository import GLib

BOUNDARIES = ["CHAR", "WORD_START", "WORD_END", "SENTENCE_START", "SENTENCE_END", "LINE_START",
              "LINE_END"]
WAIT_SECONDS = 60  # generous, for a loaded machine
ANSWER_SECONDS = 1.0
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def descendants(node):
    for child in (node.getChildAtIndex(i) for i in range(node.childCount)):
        if child is not None:
            yield child
            yield from descendants(child)


def find(root, role, name=None):
    return next((node for node in descendants(root) if node.getRoleName() == role and
                 name in (None, node.name)), None)


def run_until(condition):
    """Runs the event loop, so that events arrive, until `condition` holds or time is up."""
    deadline = time.monotonic() + WAIT_SECONDS

    def poll():
        try:
            done = condition()
        except Exception:  # not there yet
            done = False
        if done or time.monotonic() > deadline:
            pyatspi.Registry.stop()
            return False
        return True

    GLib.timeout_add(100, poll)
    pyatspi.Registry.start()


def press(app, name):
    actions = find(app, "push button", name).queryAction()
    actions.doAction(next(i for i in range(actions.nActions) if actions.getName(i) == "Press"))


def check_queries(node):
    text = node.queryText()
    for offset, boundary, query in itertools.product(
            {0, text.characterCount // 2, text.characterCount}, BOUNDARIES,
            (text.getTextAtOffset, text.getTextBeforeOffset, text.getTextAfterOffset)):
        call = "%s: %s(%d, %s)" % (node.name, query.__name__, offset, boundary)
        started = time.monotonic()
        try:
            query(offset, getattr(pyatspi, "TEXT_BOUNDARY_" + boundary))
        except Exception as error:  # no answer within the time-out: the rest would hang too
            raise RuntimeError("no answer (a hang?): %s: %s" % (call, error)) from error
        check(time.monotonic() - started < ANSWER_SECONDS, call + " was slow")


def main():
    with open(sys.argv[1], encoding="ascii") as printout:
        expected = printout.read().split("\n", 1)[1]  # line 0 is never shown
    timeout = int(2000 * ANSWER_SECONDS)  # also while the program is young
    pyatspi.setTimeout(timeout, timeout)
    desktop = pyatspi.Registry.getDesktop(0)
    app = None

    def started():
        nonlocal app
        app = next(a for a in desktop if a is not None and a.name == "tessun")
        return find(app, "frame", "Tessun Timing Interface Window")

    run_until(started)
    main_window = started()
    view = find(main_window, "terminal", "Received lines")
    status = find(main_window, "status bar")
    check(status.name.startswith("USB") and find(status, "notification"),
          "status bar %r without a notification" % status.name)

    inserted, deleted = [], []

    def on_text(event):
        if event.source.getRoleName() == "terminal":
            (inserted if event.type.endswith("insert") else deleted).append(
                (event.detail1, event.any_data))

    pyatspi.Registry.registerEventListener(on_text, "object:text-changed")
    press(app, "Get Data")
    text = view.queryText()
    run_until(lambda: "".join(piece for _, piece in inserted) == expected)
    check(text.getText(0, -1) == expected, "the view holds %r" % text.getText(0, -1)[:200])
    # All of it, in whole lines, in order, in fewer insertions than lines.
    ends = [at + len(piece) for at, piece in inserted]
    check("".join(piece for _, piece in inserted) == expected and
          [at for at, _ in inserted] == [0] + ends[:-1] and
          all(piece.endswith("\n") for _, piece in inserted) and
          len(inserted) < expected.count("\n") // 4,
          "insertions %r" % [(at, piece[:40]) for at, piece in inserted])
    check_queries(view)

    press(app, "Write File")
    run_until(lambda: find(app, "dialog", "Write File"))
    save_window = find(app, "dialog", "Write File")
    name_box = find(save_window, "text", "File name")
    labels = [relation.getTarget(0).name for relation in name_box.getRelationSet()
              if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY]
    check(labels == ["FILE NAME"], "the file-name box is labelled by %r" % labels)
    check_queries(name_box)
    for window in (main_window, save_window):
        for node in descendants(window):
            check(node.name or not node.getState().contains(pyatspi.STATE_FOCUSABLE),
                  "a %s without a name in %r" % (node.getRoleName(), window.name))

    def focused():
        return [(node.getRoleName(), node.name) for node in descendants(app)
                if node.getState().contains(pyatspi.STATE_FOCUSED)]

    run_until(lambda: focused() == [("push button", "Write")])
    check(focused() == [("push button", "Write")], "focused: %r" % focused())

    press(app, "Clear Data")
    run_until(lambda: deleted and text.characterCount == 0)
    check(text.characterCount == 0 and [piece for _, piece in deleted] == [expected],
          "Clear Data left %d characters and removed %r" % (text.characterCount, deleted))


if __name__ == "__main__":
    try:
        main()
    except Exception as error:  # a node that is not there
        failures.append("%s: %s" % (type(error).__name__, error))
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    print("PASS" if not failures else "FAILED")
    sys.exit(1 if failures else 0)
