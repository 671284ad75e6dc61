// The default error handling of the window: an error that escapes a handler is shown in the
// error box and the program goes on.
#pragma once

#include <QString>
#include <functional>

class QMessageBox;

namespace ari {

// The application title: the executable's file name without its folder, cut at its first
// full stop, the first letter upper case and every later letter lower case.
QString ApplicationTitle(const QString& executablePath);

// The text of the default error box: the message, with a full stop appended when its last
// character has a higher code than the full stop.
QString ErrorBoxText(const QString& message);

// Runs `handler`; an exception that escapes it is shown through ShowErrorBox (with the text
// rule above) and goes no further.
void RunGuarded(const std::function<void()>& handler);

}  // namespace ari
