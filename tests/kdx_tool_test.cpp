// The kdx companion tool, run as its users run it.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

class KdxTool : public ::testing::Test {
protected:
    void SetUp() override { folder = MakeTempFolder(); }
    void TearDown() override { RemoveTree(folder); }
    ProgramResult Kdx(const std::vector<std::string> &arguments) { return RunProgram(KDX_PROGRAM, arguments, {}); }
    std::string folder;
};

TEST_F(KdxTool, WritesTheBytesTheUpdaterReads)
{
    ProgramResult settings = Kdx({"settings", "/games/orvo", "player"});
    EXPECT_EQ(settings.exitCode, 0);
    EXPECT_EQ(settings.output, KdxFile(SettingsPayload("/games/orvo", "player")));
    EXPECT_EQ(Kdx({"settings", "C:\\Games"}).output, KdxFile(SettingsPayload("C:\\Games")));

    ProgramResult list = Kdx({"filelist", "-o", folder + "/FileList.kdx", "a.txtXXXX", "--", "-o.binXXXX"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(ReadFile(folder + "/FileList.kdx"), KdxFile(FileListPayload({"a.txtXXXX", "-o.binXXXX"})));
    EXPECT_EQ(Kdx({"filelist"}).output, KdxFile(std::string("\x00", 1)));
}

TEST_F(KdxTool, DumpsWhatTheUpdaterWouldDo)
{
    WriteFile(folder + "/FileList.kdx",
              KdxFile(FileListPayload({"Data.pakXXXX", "../x.dllXXXX", std::string("z.bin1234\0tail", 14)}) + "\x09"));
    ProgramResult list = Kdx({"dump", "--game-folder", "/g", folder + "/FileList.kdx"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.output.find("file list: 3 entries"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("1: \"Data.pakXXXX\" (12 bytes) installs as \"Data.pak\""), std::string::npos);
    EXPECT_NE(list.output.find("2: \"../x.dllXXXX\" (12 bytes) refused: the name reaches outside"), std::string::npos);
    EXPECT_NE(list.output.find("3: \"z.bin1234\\x00tail\" (14 bytes, text ends at the zero byte after 9) "
                               "installs as \"z.bin\""),
              std::string::npos);
    EXPECT_NE(list.output.find("1 bytes after the last entry (ignored)"), std::string::npos);
    EXPECT_NE(list.output.find("status: KDX_OK"), std::string::npos);

    WriteFile(folder + "/cut.kdx", KdxFile("\x02" + LenString("a.txtXXXX") + "\x05"));
    ProgramResult cut = Kdx({"dump", "--as", "filelist", "--game-folder", "/g", folder + "/cut.kdx"});
    EXPECT_NE(cut.output.find("2: cut short by the end of the file"), std::string::npos) << cut.output;

    WriteFile(folder + "/Settings.kdx", KdxFile(SettingsPayload(std::string(260, 'h'), "who")));
    ProgramResult settings = Kdx({"dump", folder + "/Settings.kdx"});
    EXPECT_EQ(settings.exitCode, 0);
    EXPECT_NE(settings.output.find("first string: \"who\" (3 bytes)"), std::string::npos) << settings.output;
    EXPECT_NE(settings.output.find("game folder the updater uses: none (longer than 259 bytes)"), std::string::npos);

    WriteFile(folder + "/Settings.kdx", KdxFile(SettingsPayload("/x"), 2, 0));
    ProgramResult rejected = Kdx({"dump", folder + "/Settings.kdx"});
    EXPECT_EQ(rejected.exitCode, 1);
    EXPECT_NE(rejected.output.find("status: KDX_BAD_VERSION"), std::string::npos);
}

TEST_F(KdxTool, RefusesBadArgumentsAndUnreadableFiles)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"dump"},
        {"dump", folder + "/unknown-kind.bin"},
        {"dump", folder + "/missing/FileList.kdx"},
        {"dump", "--as", "nonsense", folder + "/x"},
        {"settings"},
        {"settings", "a", "b", "c"},
        {"settings", std::string(70000, 'x')},
        {"filelist", "-o"},
        {"filelist", "-o", folder + "/no/such/folder/FileList.kdx", "a.txtXXXX"},
    };
    for (const auto &arguments : bad) {
        SCOPED_TRACE(arguments.empty() ? "(none)" : arguments[0] + " " + std::to_string(arguments.size()));
        ProgramResult result = Kdx(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.output, "") << "errors go to standard error";
    }
    std::vector<std::string> tooMany = {"filelist"};
    for (int i = 0; i < 256; ++i)
        tooMany.push_back("n" + std::to_string(i) + ".txtXXXX");
    EXPECT_EQ(Kdx(tooMany).exitCode, 2);
}

} // namespace
