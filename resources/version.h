// The product's version, shared by the control module and the bridge host:
// both front doors of one release carry the same number.
#pragma once

#define ZARN_VERSION_NUMBERS 1,0,0,6
#define ZARN_VERSION_TEXT "1.0.0.6"
