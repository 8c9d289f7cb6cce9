#include "control/web_control.h"

#include "framework/handle.h"

SCODE CWebControlCtrl::SelectComplete(BSTR strPath, BSTR strSize, BSTR strMode) {
    FireUpSelectComplete(strPath, strSize, strMode);
    return 0;
}

void CWebControlCtrl::FireUpSelectComplete(const wchar_t* path, const wchar_t* size,
                                           const wchar_t* mode) {
    zfw::Bstr texts[3] = {zfw::Bstr(path ? path : L""), zfw::Bstr(size ? size : L""),
                          zfw::Bstr(mode ? mode : L"")};
    VARIANT args[3];
    for (int i = 0; i < 3; ++i) {
        ::VariantInit(&args[i]);
        V_VT(&args[i]) = VT_BSTR;
        V_BSTR(&args[i]) = texts[i].get();
    }
    FireEvent(kEventUpSelectComplete, args, 3);
}
