// The window toolkit's boxes behind the dialog hooks of platform/Dialogs.h: the message box, the
// error box and the folder picker that the program shows.
#pragma once

class QMessageBox;

namespace ari {

// Widens `box` so that its title bar holds its whole title (a box sized for its text alone
// would cut the caption).
void FitTitle(QMessageBox& box);

// Installs the real message box, error box and folder picker of the window toolkit.
void InstallQtDialogs();

}  // namespace ari
