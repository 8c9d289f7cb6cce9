// Starts made from inside a job, as a browser runs the bridge host: the
// transfer program is started by a copy of this program outside the job,
// and must get the ID and password exactly as a start made here gives them.
// This suite puts its own process into a job that lets programs break away,
// and its main answers the copy's start as the host's main does.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/rig.h"
#include "common/transfer.h"
#include "framework/failure.h"
#include "framework/handle.h"
#include "launch/program_starter.h"
#include "support/text.h"
#include "support/transfer_program.h"
#include "update/outliving_start.h"

namespace {

using rig::transfer::RecordLine;

// The stand-in's record of an argument: backslashes doubled, CR and LF as \r
// and \n.
std::string Recorded(const std::wstring& argument) {
    std::string out;
    for (const char c : rig::Utf8(argument))
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

class OutsideTheJob : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        job_ = zfw::unique_handle(::CreateJobObjectW(nullptr, nullptr));
        ASSERT_TRUE(job_);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        ASSERT_TRUE(::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation,
                                              &limits, sizeof(limits)));
        ASSERT_TRUE(::AssignProcessToJobObject(job_.get(), ::GetCurrentProcess()))
            << "error " << ::GetLastError();
        zarn::AllowStartsOutsideTheJob();
    }

    void SetUp() override {
        BOOL inJob = FALSE;
        ASSERT_TRUE(::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob) && inJob);
        record_ = rig::ScratchDir(L"outliving") + L"\\record.txt";
        rig::transfer::SetEnv(L"ZARN_TRANSFER_RECORD", record_);
        rig::transfer::SetEnv(L"ZARN_TRANSFER_MODE", L"no-window");
        rig::transfer::SetEnv(L"ZARN_TRANSFER_LIFETIME_MS", L"1");
    }

    // The arguments after the program's path that the upload stand-in
    // recorded for its one start, once it has written them all; empty when
    // it never started.
    std::vector<std::string> Arguments(DWORD waitMs = 30000) const {
        std::vector<std::string> arguments;
        rig::WaitFor(
            [&] {
                const std::vector<RecordLine> record = rig::transfer::ReadRecord(record_);
                const auto starts = rig::transfer::Select(record, "upload", "start");
                const auto args = rig::transfer::Select(record, "upload", "arg");
                // One "arg" line for each of argc, the program's path first.
                if (starts.size() != 1 ||
                    std::to_string(args.size()) != starts[0].fields.at("argc"))
                    return false;
                arguments.clear();
                for (size_t i = 1; i < args.size(); ++i)
                    arguments.push_back(args[i].rest.substr(args[i].rest.find(' ') + 1));
                return true;
            },
            waitMs, 50);
        return arguments;
    }

    static inline zfw::unique_handle job_;
    std::wstring record_;
};

TEST_F(OutsideTheJob, TheProgramGetsTheIdAndPasswordAsGiven) {
    const std::wstring folder = rig::BuildDir() + L"\\";
    // The longest ID that still fits with the password "pw": the line is
    // the quoted program path, a space, the ID, a space and "pw".
    const size_t longest = zarn::kMostCommandLineChars -
                           zarn::CommandLineLength(folder + zarn::kUploadProgram.fileName, L"") -
                           1 - 3;
    const struct {
        const char* what;
        std::wstring id, password;
    } rows[] = {
        {"plain", L"zarnuser", L"pa55word"},
        // Quoted once it is 32,002 characters; quoted again for the copy's
        // own line it was 64,000, cut by Wine with no password.
        {"16,000 quotes", std::wstring(16000, L'"'), L"secret"},
        {"backslashes before quotes and at the end", L"a\\\\\"b c\\", L"\\\\"},
        {"empty, and spaces and a tab", L"", L"pw with space\t tab"},
        {"Korean", L"\uc0ac\uc6a9\uc790", L"\ube44\ubc00 \ubc88\ud638"},
        {"exactly the longest line", std::wstring(longest, L'x'), L"pw"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ::DeleteFileW(record_.c_str());
        zarn::ProgramStarter(folder).Start(zarn::kUploadProgram, row.id, row.password);
        const std::vector<std::string> arguments = Arguments();
        ASSERT_EQ(2u, arguments.size()) << "the upload stand-in recorded no start";
        EXPECT_TRUE(arguments[0] == Recorded(row.id))
            << "ID of " << arguments[0].size() << " bytes recorded, " << Recorded(row.id).size()
            << " given";
        EXPECT_EQ(Recorded(row.password), arguments[1]);
    }
}

TEST_F(OutsideTheJob, ALineTooLongForTheSystemIsRefusedBeforeAnythingStarts) {
    const std::wstring folder = rig::BuildDir() + L"\\";
    const std::wstring program = folder + zarn::kUploadProgram.fileName;
    const size_t longest =
        zarn::kMostCommandLineChars - zarn::CommandLineLength(program, L"") - 1 - 3;
    for (const std::wstring& id : {std::wstring(longest + 1, L'x'), std::wstring(20000, L'"')}) {
        SCOPED_TRACE(id.size());
        ::DeleteFileW(record_.c_str());
        try {
            zarn::ProgramStarter(folder).Start(zarn::kUploadProgram, id, L"pw");
            ADD_FAILURE() << "started";
        } catch (const zfw::CallFailure& failure) {
            EXPECT_NE(std::wstring::npos, failure.description().find(L"too long"))
                << rig::Utf8(failure.description());
        }
        // The start below the job's copy refuses it too, whoever calls it.
        std::wstring parameters;
        zarn::AppendArgument(parameters, id);
        parameters += L" pw";
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpFile = program.c_str();
        info.lpParameters = parameters.c_str();
        info.nShow = SW_SHOW;
        ::SetLastError(0xdeadbeef);
        EXPECT_FALSE(zarn::StartOutliving(info));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), ::GetLastError());
        const zfw::unique_handle started(info.hProcess);
        EXPECT_FALSE(started) << "a process was handed back";
        EXPECT_TRUE(Arguments(3000).empty()) << "a program started";
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The copy this suite starts outside its job makes the start and ends.
    int status = 0;
    if (zarn::RunStartForParent(argc, argv, status)) return status;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
