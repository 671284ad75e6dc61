#include "platform/Dialogs.h"

namespace ari {

DialogHooks& Dialogs() {
    static DialogHooks hooks;
    return hooks;
}

void ShowMessage(const std::string& text) {
    if (Dialogs().showMessage)
        Dialogs().showMessage(text);
}

void ShowErrorBox(const std::string& text) {
    if (Dialogs().showError)
        Dialogs().showError(text);
}

bool PickFolder(std::string& folder) {
    return Dialogs().pickFolder ? Dialogs().pickFolder(folder) : false;
}

}  // namespace ari
