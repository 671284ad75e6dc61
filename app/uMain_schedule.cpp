// PLACEHOLDER: start/stop, schedule tick and session monitor; replaced by their owner.
#include "app/uMain.h"
void TfMain::btnStartClick() {}
void TfMain::tCheckUserTimer() {}
void TfMain::tStartReindexTimer() {}
