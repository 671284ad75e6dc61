// PLACEHOLDER: the maintenance run; replaced by its owner.
#include "app/uMain.h"
bool TfMain::ReindexProccess() { return false; }
