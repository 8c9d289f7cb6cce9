#include "control/web_control.h"

// Not built yet.
SCODE CWebControlCtrl::AllowPopUp(BSTR) { return 0; }
