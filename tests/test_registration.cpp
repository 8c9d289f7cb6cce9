// Self-registration through the real regsvr32: the keys it writes, what
// unregistering removes and what it leaves, on Windows 6.1 and on 5.x.
// Every test leaves the module registered, as the other suites expect.
#include <gtest/gtest.h>

#include <comcat.h>
#include <objsafe.h>

#include "common/com_helpers.h"
#include "common/dialog_watcher.h"
#include "common/rig.h"
#include "control/identity.h"
#include "framework/handle.h"

namespace {

std::wstring Guid(const GUID& guid) {
    wchar_t text[64] = {};
    ::StringFromGUID2(guid, text, 64);
    return text;
}

const std::wstring kClassKey = L"CLSID\\" + Guid(CLSID_Web_Control);
const std::wstring kPageKey = L"CLSID\\" + Guid(zarn::CLSID_WebControlPropPage);
const std::wstring kTypeLibKey = L"TypeLib\\" + Guid(LIBID_Web_ControlLib) + L"\\1.0";
const std::wstring kScriptingCategory = L"Component Categories\\" + Guid(CATID_SafeForScripting);
const std::wstring kInitCategory = L"Component Categories\\" + Guid(CATID_SafeForInitializing);

DWORD Regsvr32(const std::wstring& switches) {
    const rig::ProcessResult r =
        rig::Run(L"regsvr32.exe " + switches + L" \"" + rig::ModulePath() + L"\"", 120000);
    EXPECT_FALSE(r.timedOut) << "regsvr32 hung (a message box?): " << r.output;
    return r.exitCode;
}

std::optional<std::wstring> Hkcr(const std::wstring& path, const wchar_t* name = nullptr) {
    return rig::ReadRegString(HKEY_CLASSES_ROOT, path, name);
}

void DeleteCategoryRegistrations() {
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (kClassKey + L"\\Implemented Categories").c_str());
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kScriptingCategory.c_str());
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kInitCategory.c_str());
}

void ExpectCategoriesRegistered() {
    EXPECT_EQ(L"Controls that are safely scriptable", Hkcr(kScriptingCategory, L"409"));
    EXPECT_EQ(L"Controls safely initializable from persistent data", Hkcr(kInitCategory, L"409"));
    EXPECT_TRUE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Implemented Categories\\" +
                                                         Guid(CATID_SafeForScripting)));
    EXPECT_TRUE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Implemented Categories\\" +
                                                         Guid(CATID_SafeForInitializing)));
}

// Sets the Windows version Wine reports to regsvr32.exe for the test's lifetime.
class Regsvr32Version {
public:
    explicit Regsvr32Version(const wchar_t* version) {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                          key_.put(), nullptr);
        ::RegSetValueExW(key_.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                         static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
    }
    ~Regsvr32Version() {
        key_.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
    }

private:
    static constexpr wchar_t kKey[] = L"Software\\Wine\\AppDefaults\\regsvr32.exe";
    zfw::unique_hkey key_;
};

TEST(Registration, WritesTheControlClassTheTypeLibraryAndThePropertyPage) {
    ASSERT_EQ(0u, Regsvr32(L"/s"));
    const std::wstring module = rig::ModulePath();

    EXPECT_EQ(L"Zarn 컨트롤", Hkcr(kClassKey));
    EXPECT_EQ(L"WEB_CONTROL.WebControlCtrl.1", Hkcr(kClassKey + L"\\ProgID"));
    const auto server = Hkcr(kClassKey + L"\\InprocServer32");
    ASSERT_TRUE(server);
    EXPECT_EQ(0, ::lstrcmpiW(module.c_str(), server->c_str())) << rig::Utf8(*server);
    EXPECT_EQ(L"Apartment", Hkcr(kClassKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_TRUE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Control"));
    EXPECT_FALSE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Insertable"));
    EXPECT_EQ(L"131473", Hkcr(kClassKey + L"\\MiscStatus\\1")) << "0x20191 in decimal";
    const auto bitmap = Hkcr(kClassKey + L"\\ToolboxBitmap32");
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(L", 1", bitmap->substr(bitmap->size() - 3));
    EXPECT_EQ(Guid(LIBID_Web_ControlLib), Hkcr(kClassKey + L"\\TypeLib"));
    EXPECT_EQ(L"1.0", Hkcr(kClassKey + L"\\Version"));

    EXPECT_EQ(L"Zarn 컨트롤", Hkcr(L"WEB_CONTROL.WebControlCtrl.1"));
    EXPECT_EQ(Guid(CLSID_Web_Control), Hkcr(L"WEB_CONTROL.WebControlCtrl.1\\CLSID"));

    EXPECT_EQ(L"WebControl 속성 페이지", Hkcr(kPageKey));
    EXPECT_EQ(L"Apartment", Hkcr(kPageKey + L"\\InprocServer32", L"ThreadingModel"));

    EXPECT_TRUE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    // The type library is registered for the module's own platform only.
    const wchar_t* platform = sizeof(void*) == 4 ? L"\\0\\win32" : L"\\0\\win64";
    const wchar_t* other = sizeof(void*) == 4 ? L"\\0\\win64" : L"\\0\\win32";
    EXPECT_FALSE(Hkcr(kTypeLibKey + other)) << "registered for the other platform too";
    const auto typelibPath = Hkcr(kTypeLibKey + platform);
    ASSERT_TRUE(typelibPath);
    EXPECT_EQ(0, ::lstrcmpiW(module.c_str(), typelibPath->c_str()));
    ExpectCategoriesRegistered();
}

// The registration table's text for this module: paths and string resources
// filled in as the module itself fills them.
std::wstring Expand(std::wstring text) {
    const std::wstring module = rig::ModulePath();
    const std::wstring folder = module.substr(0, module.find_last_of(L'\\'));
    zfw::unique_hmodule resources(
        ::LoadLibraryExW(module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const std::pair<std::wstring, std::wstring> fills[] = {
        {L"[module_dir]", folder},
        {L"[module]", module},
        {L"[typelib.platform]", sizeof(void*) == 8 ? L"win64" : L"win32"},
    };
    for (const auto& [from, to] : fills)
        for (size_t at; (at = text.find(from)) != std::wstring::npos;) text.replace(at, from.size(), to);
    for (size_t at; (at = text.find(L"[string:")) != std::wstring::npos;) {
        const size_t end = text.find(L']', at);
        wchar_t loaded[256] = {};
        ::LoadStringW(resources.get(), std::stoul(text.substr(at + 8, end - at - 8)), loaded, 256);
        text.replace(at, end + 1 - at, loaded);
    }
    return text;
}

// The table is also what the MSI packages write, so every row of it, the
// ones the system's type library and category routines write included, must
// be what regsvr32 leaves behind.
TEST(Registration, WritesEveryRowOfTheRegistrationTable) {
    ASSERT_EQ(0u, Regsvr32(L"/s"));
    for (const RegistryRow& row : kRegistryRows) {
        const std::wstring key = Expand(row.key);
        ASSERT_TRUE(rig::RegKeyExists(HKEY_CLASSES_ROOT, key)) << rig::Utf8(key);
        if (!row.value) continue;
        const auto value = Hkcr(key, row.name);
        ASSERT_TRUE(value) << rig::Utf8(key) << " " << (row.name ? rig::Utf8(row.name) : "@");
        EXPECT_EQ(0, ::lstrcmpiW(Expand(row.value).c_str(), value->c_str()))
            << rig::Utf8(key) << ": table " << rig::Utf8(Expand(row.value)) << ", got "
            << rig::Utf8(*value);
    }
}

TEST(Registration, UnregisteringRemovesClassesAndTypeLibraryButKeepsCategories) {
    ASSERT_EQ(0u, Regsvr32(L"/s"));
    ASSERT_EQ(0u, Regsvr32(L"/s /u"));

    EXPECT_FALSE(Hkcr(kClassKey + L"\\InprocServer32"));
    EXPECT_FALSE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Control"));
    EXPECT_FALSE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\MiscStatus"));
    EXPECT_FALSE(Hkcr(kClassKey)) << "the class's name goes with it";
    EXPECT_FALSE(rig::RegKeyExists(HKEY_CLASSES_ROOT, L"WEB_CONTROL.WebControlCtrl.1"));
    EXPECT_FALSE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kPageKey));
    EXPECT_FALSE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    ExpectCategoriesRegistered();

    CLSID clsid{};
    EXPECT_NE(S_OK, ::CLSIDFromProgID(L"WEB_CONTROL.WebControlCtrl.1", &clsid));

    ASSERT_EQ(0u, Regsvr32(L"/s"));
    EXPECT_EQ(S_OK, ::CLSIDFromProgID(L"WEB_CONTROL.WebControlCtrl.1", &clsid));
}

TEST(Registration, CategoriesAreRegisteredOnWindows5AndWindows6) {
    {
        Regsvr32Version xp(L"winxp64");
        DeleteCategoryRegistrations();
        ASSERT_EQ(0u, Regsvr32(L"/s"));
        ExpectCategoriesRegistered();
    }
    DeleteCategoryRegistrations();
    ASSERT_EQ(0u, Regsvr32(L"/s"));
    ExpectCategoriesRegistered();
}

TEST(Registration, TheRegisteredClassCreatesAndReportsItsCategories) {
    rig::ComApartment apartment;
    Microsoft::WRL::ComPtr<ICatInformation> info;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr,
                                       CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&info)));
    CATID wanted[2] = {CATID_SafeForScripting, CATID_SafeForInitializing};
    EXPECT_EQ(S_OK, info->IsClassOfCategories(CLSID_Web_Control, 2, wanted, 0, nullptr));
    Microsoft::WRL::ComPtr<IUnknown> control;
    EXPECT_EQ(S_OK, ::CoCreateInstance(CLSID_Web_Control, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(&control)));
}

}  // namespace

namespace {

// Points the category manager's class at a server that does not exist, so
// neither the elevation moniker nor in-process creation can make it.
class BrokenCategoryManager {
public:
    BrokenCategoryManager() {
        saved_ = Hkcr(kServerKey).value_or(L"");
        Set(L"C:\\windows\\system32\\zarn_no_such_server.dll");
    }
    ~BrokenCategoryManager() { Set(saved_); }

private:
    static void Set(const std::wstring& value) {
        zfw::unique_hkey key;
        ::RegOpenKeyExW(HKEY_CLASSES_ROOT, kServerKey.c_str(), 0, KEY_SET_VALUE, key.put());
        ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    inline static const std::wstring kServerKey =
        L"CLSID\\" + Guid(CLSID_StdComponentCategoriesMgr) + L"\\InprocServer32";
    std::wstring saved_;
};

TEST(Registration, WithoutACategoryManagerTheClassIsRegisteredAndTheFailureShownThreeTimes) {
    std::vector<std::wstring> texts;
    DWORD exitCode = 0;
    {
        BrokenCategoryManager broken;
        const zfw::unique_handle process =
            rig::Start(L"regsvr32.exe /s \"" + rig::ModulePath() + L"\"");
        ASSERT_TRUE(process) << ::GetLastError();
        // Presses OK on every message box regsvr32 shows and keeps their texts.
        rig::DialogWatcher boxes;
        boxes
            .On(L"",
                [&texts, pid = ::GetProcessId(process.get())](HWND box) {
                    DWORD owner = 0;
                    ::GetWindowThreadProcessId(box, &owner);
                    if (owner != pid) return;
                    wchar_t text[512] = {};
                    ::GetDlgItemTextW(box, 0xFFFF, text, 512);  // a message box's static text
                    texts.push_back(text);
                    rig::Click(box, IDOK);
                },
                rig::Owner::AnyProcess)
            .Start();
        if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.get(), 1);
            FAIL() << "regsvr32 did not end";
        }
        boxes.Stop();
        ::GetExitCodeProcess(process.get(), &exitCode);
    }
    EXPECT_NE(0u, exitCode) << "registration must report the failure";
    ASSERT_EQ(3u, texts.size());
    for (const auto& text : texts)
        EXPECT_EQ(L"Fail to CreateComponentCategory::CoCreateInstance", text);
    // The type library and the class were registered before the categories failed.
    EXPECT_TRUE(Hkcr(kClassKey + L"\\InprocServer32"));
    EXPECT_TRUE(rig::RegKeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));

    ASSERT_EQ(0u, Regsvr32(L"/s"));
    ExpectCategoriesRegistered();
}

}  // namespace
