#!/usr/bin/python3
"""The running program as a screen reader sees it over AT-SPI (run by a11y_test.sh).

    a11y_check.py PRINTOUT   (the file the simulated console sends as its stored data)

Presses "Get Data", "Write File" and "Clear Data" through the buttons' actions and checks: the
roles of the windows, the status bar and the data view; that the view's text holds the lines the
console sent, announced whole in few insertions, and that "Clear Data" removes them; that every
text query on the view and on the file-name box answers within a second; that every control that
can take the focus has a name; the file-name box's label; and that one control says it has the
focus. Exits 1 with the reasons when a check fails.
"""
import sys
import time

import pyatspi
from gi.repository import GLib

MAIN_TITLE = "Tessun Timing Interface Window"
BOUNDARIES = ["CHAR", "WORD_START", "WORD_END", "SENTENCE_START", "SENTENCE_END", "LINE_START",
              "LINE_END"]
# Generous for a loaded machine; a query that hangs fails after the call time-out.
START_SECONDS = 60
WAIT_SECONDS = 30
ANSWER_SECONDS = 1.0

failures = []


class Unanswered(Exception):
    """A query got no answer: the program no longer answers at all."""


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def descendants(node):
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield child
            yield from descendants(child)


def find(root, role, name=None):
    for node in descendants(root):
        if node.getRoleName() == role and (name is None or node.name == name):
            return node
    return None


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == "tessun":
            return app
    return None


def run_until(condition, seconds):
    """Runs the event loop (so that events arrive) until `condition` holds or time is up."""
    deadline = time.monotonic() + seconds

    def poll():
        if condition() or time.monotonic() > deadline:
            pyatspi.Registry.stop()
            return False
        return True

    GLib.timeout_add(100, poll)
    pyatspi.Registry.start()
    return condition()


def safely(read):
    try:
        return read()
    except Exception:  # the node is not there yet, or went away
        return None


def press(app, name):
    button = find(app, "push button", name)
    actions = button.queryAction()
    for i in range(actions.nActions):
        if actions.getName(i) == "Press":
            actions.doAction(i)
            return
    failures.append("%r has no Press action" % name)


def check_queries(node, what):
    """Every boundary query at the start, the middle and the end answers, and in time."""
    text = node.queryText()
    length = text.characterCount
    for offset in sorted({0, length // 2, length}):
        for boundary in BOUNDARIES:
            kind = getattr(pyatspi, "TEXT_BOUNDARY_" + boundary)
            for query in (text.getTextAtOffset, text.getTextBeforeOffset,
                          text.getTextAfterOffset):
                started = time.monotonic()
                try:
                    query(offset, kind)
                except Exception as error:
                    raise Unanswered("%s: %s(%d, %s): %s" % (
                        what, query.__name__, offset, boundary, error)) from error
                took = time.monotonic() - started
                check(took < ANSWER_SECONDS, "%s: %s(%d, %s) took %.2f s" % (
                    what, query.__name__, offset, boundary, took))


def check_focusable_named(window):
    for node in descendants(window):
        if node.getState().contains(pyatspi.STATE_FOCUSABLE):
            check(node.name, "a %s in %r has no name" % (node.getRoleName(), window.name))


def focused_nodes(app):
    return [node for node in descendants(app) if node.getState().contains(pyatspi.STATE_FOCUSED)]


def main():
    with open(sys.argv[1], encoding="ascii") as printout:
        # Line 0 (up to the first line feed) is never shown.
        expected = printout.read().split("\n", 1)[1]
    # A call without an answer fails after this long (also while the program is young).
    timeout = int(2 * ANSWER_SECONDS * 1000)
    pyatspi.setTimeout(timeout, timeout)

    run_until(lambda: safely(lambda: find(application(), "frame", MAIN_TITLE)), START_SECONDS)
    app = application()
    main_window = app and find(app, "frame", MAIN_TITLE)
    if not check(main_window, "no frame %r" % MAIN_TITLE):
        return
    view = find(main_window, "terminal", "Received lines")
    status = find(main_window, "status bar")
    if not check(view, "no terminal 'Received lines'") or not check(status, "no status bar"):
        return
    check(status.name.startswith("USB"), "the status bar reads %r" % status.name)
    check(find(status, "notification") is not None, "the status bar has no notification")

    # "Get Data": the lines arrive; complete lines are announced as insertions at the end.
    inserted = []
    deleted = []

    def on_text(event):
        if safely(lambda: event.source.getRoleName()) == "terminal":
            (inserted if event.type.endswith("insert") else deleted).append(
                (event.detail1, event.any_data))

    pyatspi.Registry.registerEventListener(on_text, "object:text-changed")
    press(app, "Get Data")
    text = view.queryText()
    run_until(lambda: "".join(piece for _, piece in inserted) == expected, WAIT_SECONDS)
    check(text.getText(0, -1) == expected,
          "the view's text is %r, not the printout" % text.getText(0, -1)[:200])
    position = 0
    for at, piece in inserted:
        check(at == position and piece.endswith("\n"),
              "an insertion of %r at %d, not whole lines at %d" % (piece[:80], at, position))
        position = at + len(piece)
    check(position == len(expected), "the insertions end at %d of %d" % (position, len(expected)))
    check(len(inserted) < expected.count("\n") // 4,
          "%d insertions for %d lines" % (len(inserted), expected.count("\n")))
    check(text.getTextAtOffset(0, pyatspi.TEXT_BOUNDARY_LINE_START)[0] ==
          expected.split("\n")[0] + "\n", "the first line of the view's text is not the printout's")
    check_queries(view, "data view")

    # The save window.
    press(app, "Write File")
    run_until(lambda: safely(lambda: find(app, "dialog", "Write File")), WAIT_SECONDS)
    save_window = find(app, "dialog", "Write File")
    if not check(save_window, "no dialog 'Write File'"):
        return
    name_box = find(save_window, "text", "File name")
    if check(name_box, "no text 'File name'"):
        labels = [relation.getTarget(i).name for relation in name_box.getRelationSet()
                  if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY
                  for i in range(relation.getNTargets())]
        check(labels == ["FILE NAME"], "the file-name box is labelled by %r" % labels)
        check_queries(name_box, "file-name box")
    for window in (main_window, save_window):
        check_focusable_named(window)
    # The save window takes the focus on "Write"; no list item claims it as well.
    run_until(lambda: len(focused_nodes(app)) == 1, WAIT_SECONDS)
    focused = [(node.getRoleName(), node.name) for node in focused_nodes(app)]
    check(focused == [("push button", "Write")], "focused: %r" % focused)

    # "Clear Data" replaces the text with nothing.
    press(app, "Clear Data")
    run_until(lambda: deleted and text.characterCount == 0, WAIT_SECONDS)
    check(text.characterCount == 0, "the view's text stays after Clear Data")
    check([piece for _, piece in deleted] == [expected],
          "Clear Data removed %r" % [piece[:80] for _, piece in deleted])


if __name__ == "__main__":
    try:
        main()
    except Unanswered as error:
        failures.append("no answer (a hang?): %s" % error)
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    if not failures:
        print("PASS: roles, text, announcements, queries, names, label and focus")
    sys.exit(1 if failures else 0)
