// Keeps a screen reader from hanging the program in a line edit. Qt 6.4.2's accessible for
// QLineEdit answers word and sentence queries at the end of the text (Orca asks for them on
// Ctrl+Left with the caret at the end) by spinning forever in QTextBoundaryFinder. The factory
// installed here wraps that accessible: the wrapper passes everything on to it except the three
// text-boundary queries, which it answers itself.
#pragma once

class QAccessibleInterface;
class QObject;

namespace tessun {

// Installs the wrapping factory once; later calls do nothing. Call it after the QApplication
// exists (the factories installed last are asked first, so it must come after Qt's own).
void InstallLineEditAccessibleFix();

// Whether `iface` is such a wrapper (for tests).
bool IsWrappedLineEditAccessible(QAccessibleInterface* iface);

}  // namespace tessun
