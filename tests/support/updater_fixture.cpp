#include "tests/support/updater_fixture.h"

void UpdaterFixture::SetUp()
{
    root = MakeTempFolder();
    home = root + "/home";
    brackmoor = home + "/.local/share/Brackmoor Games";
    staging = brackmoor + "/Temp";
    fileList = staging + "/FileList.kdx";
    game = root + "/game";
    MakeFolders(staging);
    MakeFolders(game);
}

void UpdaterFixture::TearDown()
{
    RemoveTree(root);
}

void UpdaterFixture::WriteSettings(const std::string &gameFolder)
{
    WriteFile(brackmoor + "/Settings.kdx", KdxFile(SettingsPayload(gameFolder, "player")));
}

void UpdaterFixture::WriteFileList(const std::vector<std::string> &names)
{
    WriteFile(fileList, KdxFile(FileListPayload(names)));
}

void UpdaterFixture::Stage(const std::string &name, const std::string &content)
{
    WriteFile(staging + "/" + name, content);
}

void UpdaterFixture::Install(const std::string &name, const std::string &content)
{
    WriteFile(game + "/" + name, content);
}

ProgramResult UpdaterFixture::RunUpdaterProgram(const std::vector<std::string> &arguments,
                                                const std::vector<std::string> &environment)
{
    std::vector<std::string> settings = {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"};
    settings.insert(settings.end(), environment.begin(), environment.end());
    return RunProgram(UPDATER_PROGRAM, arguments, settings, root);
}
