#include "control/web_control.h"

// Not built yet: these return as they do when there is nothing to hand over.
void CWebControlCtrl::DownLoad(BSTR, BSTR, BSTR) {}

SCODE CWebControlCtrl::UpLoad(BSTR, BSTR, BSTR) { return 0; }
