// The control's one property page ("일반"); it exchanges no data.
#pragma once

#include "framework/property_page.h"
#include "resources/resource.h"

namespace zarn {

class CWebControlPropPage : public zfw::PropertyPage<CWebControlPropPage> {
public:
    static UINT TemplateId() { return IDD_PROPPAGE_WEB_CONTROL; }
    static UINT CaptionId() { return IDS_WEB_CONTROL_PPG_CAPTION; }
};

}  // namespace zarn
