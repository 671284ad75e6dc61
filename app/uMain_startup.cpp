// PLACEHOLDER: window creation and the settings buttons; replaced by their owner.
#include "app/uMain.h"
void TfMain::FormCreate() {}
void TfMain::BitBtn1Click() {}
void TfMain::BitBtn2Click() {}
void TfMain::BitBtn3Click() {}
