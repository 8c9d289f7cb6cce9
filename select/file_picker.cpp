#include "control/web_control.h"

// Not built yet: returns as a cancelled picker does.
SCODE CWebControlCtrl::ShowDlgFile() { return 0; }
