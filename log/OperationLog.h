// The operation log: the console-like panel of the main window and the one function that
// writes to it.
#pragma once

#include <QString>

class QPlainTextEdit;

// Appends `text` as a new last line of the log panel, first emptying the panel when
// `clearFirst` is set. Does nothing while no panel is attached.
void AddLog(const QString& text, bool clearFirst = false);

namespace ari {
// Attaches the panel that AddLog writes to (the main window's log); nullptr detaches it.
void SetLogPanel(QPlainTextEdit* panel);
}  // namespace ari
