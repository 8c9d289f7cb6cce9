// On a Korean system the item list reaches the program in code page 949
// bytes, never as UTF-16.
#include "common/transfer.h"

#include "common/log_receiver.h"

using namespace rig::transfer;

namespace {

class KoreanTransfer : public TransferTest {};

TEST_F(KoreanTransfer, ListArrivesInTheAnsiCodePage) {
    ASSERT_EQ(::GetACP(), 949u) << "this suite needs a Korean system (LC_ALL=ko_KR.UTF-8)";
    InstallStandIns();
    StartRunning(L"Zarn_upload.exe", L"Zarn_class_upload");

    const std::wstring list = L"/\uBB38\uC11C/\uBCF4\uACE0\uC11C.txt|12";  // /문서/보고서.txt|12
    ASSERT_HRESULT_SUCCEEDED(Call(L"DownLoad", L"\uD64D\uAE38\uB3D9", L"pw", list.c_str()).hr);

    const auto all = Record();
    const auto lists = Select(all, "download", "list");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].fields.at("bytes"), "2fb9aebcad2fbab8b0edbcad2e7478747c313200");
    EXPECT_EQ(lists[0].fields.at("cbData"), "20");
    // The program reads it back as the page's text.
    EXPECT_EQ(lists[0].fields.at("text"), rig::Utf8(list));
    // The Korean ID reaches the program intact as its first argument.
    const auto args = Select(all, "download", "arg");
    ASSERT_GE(args.size(), 2u);
    EXPECT_EQ(args[1].rest, "1 " + rig::Utf8(L"\uD64D\uAE38\uB3D9"));
}

// Code page 949 holds the fullwidth '|' and '/' exactly (two bytes each),
// but not the broken bar or the won sign, whose look-alikes would be '|' and
// '\\': those arrive as the default character, with one log line.
TEST_F(KoreanTransfer, LookAlikesArriveAsTheDefaultCharacter) {
    ASSERT_EQ(::GetACP(), 949u);
    rig::LogReceiver log;
    StartRunning(L"Zarn_download.exe", L"Zarn_class_down");

    ASSERT_HRESULT_SUCCEEDED(Call(L"DownLoad", L"id", L"pw", L"a\u00A6b\u20A9c\uFF5Cd\uFF0F|").hr);
    const auto lists = Select(Record(), "download", "list");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].fields.at("bytes"), "613f623f63a3fc64a3af7c00");
    size_t logged = 0;
    for (const std::wstring& line : log.Lines(L"ZarnCtrl2"))
        logged += line.find(L"default character") != std::wstring::npos;
    EXPECT_EQ(logged, 1u);
}

}  // namespace
