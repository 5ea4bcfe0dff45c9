// A throw-away user for runs of the real updater: its own HOME with the per-user data folder,
// the "Brackmoor Games" folder with its staging folder, and a game folder beside them.
#ifndef TESTS_SUPPORT_UPDATER_FIXTURE_H
#define TESTS_SUPPORT_UPDATER_FIXTURE_H

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

class UpdaterFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes Settings.kdx naming `gameFolder` (the fixture's game folder by default).
    void WriteSettings(const std::string &gameFolder);
    void WriteFileList(const std::vector<std::string> &names);
    void Stage(const std::string &name, const std::string &content);
    void Install(const std::string &name, const std::string &content);

    // Runs build/<preset>/bin/updater with HOME pointing at the throw-away user.
    ProgramResult RunUpdaterProgram(const std::vector<std::string> &arguments = {},
                                    const std::vector<std::string> &environment = {});

    std::string root;      // everything the test makes lies below it
    std::string home;      // $HOME of the run
    std::string brackmoor; // home + "/.local/share/Brackmoor Games"
    std::string staging;   // brackmoor + "/Temp"
    std::string fileList;  // staging + "/FileList.kdx"
    std::string game;      // the game folder
};

#endif
