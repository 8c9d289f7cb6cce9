#include "control/web_control.h"

// Not built yet.
SCODE CWebControlCtrl::MakeShortCut(BSTR, BSTR) { return 0; }
