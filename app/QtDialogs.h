// The window toolkit's boxes behind the dialog hooks of platform/Dialogs.h: the message box, the
// error box and the folder picker that the program shows.
#pragma once

namespace ari {

// Installs the real message box, error box and folder picker of the window toolkit.
void InstallQtDialogs();

}  // namespace ari
