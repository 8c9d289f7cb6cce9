// The module: its entry point, class factories and self-registration.
#include "support/elevation.h"
#include "support/log.h"
#include "support/settings_reader.h"
#include "control/identity.h"
#include "control/prop_page.h"
#include "control/web_control.h"
#include "framework/com.h"
#include "framework/olecontrol.h"
#include "framework/registration.h"
#include "registration_table.h"  // generated from control/registration.table

#include <comcat.h>
#include <objsafe.h>

using zarn::AddClassToCategory;
using zarn::CreateComponentCategory;
using zarn::CWebControlCtrl;
using zarn::CWebControlPropPage;

namespace {

// The two categories that let a browser create and script the control
// without a warning, with their descriptions from the registration table.
struct SafetyCategory {
    const GUID* catid;
    const wchar_t* description;
};
constexpr SafetyCategory kSafetyCategories[] = {
    {&CATID_SafeForScripting, kCategoryDescription_CATID_SafeForScripting},
    {&CATID_SafeForInitializing, kCategoryDescription_CATID_SafeForInitializing},
};

// Writes the rows of one group of the registration table, in table order; the
// MSI packages carry the same rows, generated from the same table.
bool WriteRegistryGroup(RegistryGroup group) {
    for (const RegistryRow& row : kRegistryRows)
        if (row.group == group && FAILED(zfw::WriteRegistryEntry({row.key, row.name, row.value})))
            return false;
    return true;
}

// The control class's registry update, run for registration and removal.
bool UpdateControlRegistry(bool doRegister) {
    if (!doRegister) return SUCCEEDED(zfw::UnregisterClass(CLSID_Web_Control, zarn::kControlProgId));
    const bool registered = WriteRegistryGroup(RegistryGroup::Class);
    // Each category once, and the class added to it when it was made; their
    // results are not part of this step's outcome. DllRegisterServer's own
    // category steps follow, and register the same data once more.
    for (const SafetyCategory& category : kSafetyCategories)
        if (SUCCEEDED(CreateComponentCategory(*category.catid, category.description)))
            AddClassToCategory(CLSID_Web_Control, *category.catid);
    return registered;
}

bool UpdatePropPageRegistry(bool doRegister) {
    return doRegister ? WriteRegistryGroup(RegistryGroup::Page)
                      : SUCCEEDED(zfw::UnregisterClass(zarn::CLSID_WebControlPropPage, nullptr));
}

bool UpdateAllFactories(bool doRegister) {
    bool ok = UpdateControlRegistry(doRegister);
    ok = UpdatePropPageRegistry(doRegister) && ok;
    return ok;
}

HRESULT CreateControl(REFIID iid, void** out) {
    return zfw::MakeComObject<CWebControlCtrl>(iid, out);
}

HRESULT CreatePropPage(REFIID iid, void** out) {
    return zfw::MakeComObject<CWebControlPropPage>(iid, out);
}

// The application object: the framework's module set-up, nothing added.
class CWeb_ControlApp : public zfw::ControlModule {};
CWeb_ControlApp theApp;

struct FactoryEntry {
    const CLSID* clsid;
    zfw::ClassFactory::Creator create;
};

constexpr FactoryEntry kFactories[] = {
    {&CLSID_Web_Control, &CreateControl},
    {&zarn::CLSID_WebControlPropPage, &CreatePropPage},
};

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Failures passed up as HRESULTs (registration) reach the log with
        // the call that failed.
        zfw::SetFailureReporter(&zarn::LogReportedFailure);
        theApp.InitInstance(instance);
    }
    else if (reason == DLL_PROCESS_DETACH)
        theApp.ExitInstance();
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (const FactoryEntry& entry : kFactories)
        if (::IsEqualCLSID(clsid, *entry.clsid))
            return zfw::MakeComObject<zfw::ClassFactory>(iid, out, entry.create);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    if (zfw::ModuleLockCount() != 0) return S_FALSE;
    zfw::ReleaseModuleTypeLib();
    zarn::ReleaseSettingsKey();
    return S_OK;
}

STDAPI DllRegisterServer() {
    if (FAILED(zfw::RegisterModuleTypeLib())) return SELFREG_E_TYPELIB;
    if (!UpdateAllFactories(true)) return SELFREG_E_CLASS;
    // Both categories are made before the class joins either; the first
    // failure ends registration.
    for (const SafetyCategory& category : kSafetyCategories)
        if (FAILED(CreateComponentCategory(*category.catid, category.description)))
            return SELFREG_E_CLASS;
    for (const SafetyCategory& category : kSafetyCategories)
        if (FAILED(AddClassToCategory(CLSID_Web_Control, *category.catid)))
            return SELFREG_E_CLASS;
    return S_OK;
}

STDAPI DllUnregisterServer() {
    if (FAILED(zfw::UnregisterModuleTypeLib(LIBID_Web_ControlLib, zarn::kTypeLibMajor, zarn::kTypeLibMinor)))
        return SELFREG_E_TYPELIB;
    if (!UpdateAllFactories(false)) return SELFREG_E_CLASS;
    return S_OK;
}

}  // extern "C"
