#include "control/web_control.h"

// Not built yet: returns as a cancelled picker does.
SCODE CWebControlCtrl::ShowDlgFolder() { return 0; }
