// The modal boxes the program shows, behind replaceable hooks so that the platform layer stays
// free of a widget toolkit and tests can answer the boxes themselves. The window layer installs
// the real boxes at start-up.
#pragma once

#include <functional>
#include <string>

namespace ari {

struct DialogHooks {
    // A simple modal message box with one OK button.
    std::function<void(const std::string& text)> showMessage;
    // The default error box: the text as given, the error icon, one OK button.
    std::function<void(const std::string& text)> showError;
    // The folder picker; returns false when cancelled, else the chosen folder's full path.
    std::function<bool(std::string& folder)> pickFolder;
};

// The hooks in force. Unset hooks do nothing (and a picker reports a cancel).
DialogHooks& Dialogs();

void ShowMessage(const std::string& text);
void ShowErrorBox(const std::string& text);
bool PickFolder(std::string& folder);

}  // namespace ari
