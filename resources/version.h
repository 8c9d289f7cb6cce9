// The product's version, shared by the control module and the bridge host:
// both front doors of one release carry the same number. The build reads it
// (the top CMakeLists.txt) into generated/product_version.h, which the
// resource scripts include, unless configured with ZARN_VERSION; the MSIs'
// product version is made from it (docs/administrators.md, "Versions").
#pragma once

#define ZARN_VERSION_NUMBERS 1,0,0,6
#define ZARN_VERSION_TEXT "1.0.0.6"
