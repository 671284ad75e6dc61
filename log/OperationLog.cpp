#include "log/OperationLog.h"

#include <QPlainTextEdit>
#include <QPointer>

namespace {
QPointer<QPlainTextEdit>& Panel() {
    static QPointer<QPlainTextEdit> panel;
    return panel;
}
}  // namespace

namespace ari {
void SetLogPanel(QPlainTextEdit* panel) { Panel() = panel; }
}  // namespace ari

void AddLog(const QString& text, bool clearFirst) {
    QPlainTextEdit* panel = Panel();
    if (!panel) return;
    if (clearFirst) panel->clear();
    // appendPlainText adds a line break before the text only when the panel is not empty.
    panel->appendPlainText(text);
}
