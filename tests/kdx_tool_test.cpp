// The kdx companion tool, run as its users run it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "datafiles/kdx_container.h"
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

// A plan over real folders with an entry of each outcome, line by line; and nothing changed.
TEST_F(KdxTool, PlanShowsWhatTheUpdaterWouldDoAndChangesNothing)
{
    const std::string data = folder + "/data";
    const std::string staging = data + "/Brackmoor Games/Temp";
    const std::string game = folder + "/game";
    MakeFolders(staging + "/sub");
    MakeFolders(game + "/Dir.dat");
    WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(game)));
    const struct {
        std::string name;
        std::string outcome; // after "STAGED -> INSTALLED: ", or the whole line for a refused name
    } entries[] = {
        {"New.datNEW1", "would install (4 bytes)"},
        {"Old.datNEW1", "would replace (old 4 bytes, new 6 bytes); the installed file is read-only, and is "
                        "replaced all the same"},
        {"Missing.datNEW1", "would not install: the staged file is missing"},
        {"Pipe.datNEW1",
         "would not install: the staged file is not a regular file (a folder, link, FIFO, socket or device): "
         "it stays staged"},
        {"sub/x.datNEW1", "would not install: the target's folder " + game + "/sub is missing"},
        {"Dir.datNEW1", "would not install: the target is a folder"},
        {"../x.datNEW1", "\"../x.datNEW1\" (12 bytes): refused: the name reaches outside its folder (a \"..\" "
                         "component)"},
        {"CON.txtNEW1", "\"CON.txtNEW1\" (11 bytes): refused: the name names a Windows device (CON, NUL, COM1, "
                        "LPT1...)"},
        {"Twice.datAAAA", "would install, then entry 10 names the same target and replaces it"},
        {"Twice.datBBBB", "would install (2 bytes)"},
        {"Same.datNEW1", "would replace: the staged file is the installed file itself, only its staged name goes"},
        {"Run.shNEW1", "would replace (old 3 bytes, new 3 bytes); the installed file is executable and the staged "
                       "file is not: it would no longer run"},
        {"Line\n  99: fake.datNEW1",
         "\"Line\\x0A  99: fake.datNEW1\" (23 bytes): refused: the name has a character "
         "Windows does not read as part of a name (\":\", which names a data stream, or < > "
         "\" | ? * or a control byte)"},
    };
    WriteFile(staging + "/New.datNEW1", "new\n");
    WriteFile(staging + "/Old.datNEW1", "newer\n");
    WriteFile(game + "/Old.dat", "old\n");
    chmod((game + "/Old.dat").c_str(), 0444);
    ASSERT_EQ(mkfifo((staging + "/Pipe.datNEW1").c_str(), 0644), 0);
    WriteFile(staging + "/sub/x.datNEW1", "x");
    WriteFile(staging + "/Dir.datNEW1", "y");
    WriteFile(staging + "/Twice.datAAAA", "a\n");
    WriteFile(staging + "/Twice.datBBBB", "b\n");
    WriteFile(game + "/Same.dat", "one file");
    ASSERT_EQ(link((game + "/Same.dat").c_str(), (staging + "/Same.datNEW1").c_str()), 0);
    WriteFile(staging + "/Run.shNEW1", "new");
    WriteFile(game + "/Run.sh", "old");
    chmod((game + "/Run.sh").c_str(), 0755);
    WriteFile(staging + "/Line\n  99: fake.datNEW1", "x");
    std::vector<std::string> names;
    for (const auto &entry : entries)
        names.push_back(entry.name);
    WriteFile(staging + "/FileList.kdx", KdxFile(FileListPayload(names)));
    auto before = SnapshotTree(folder);

    ProgramResult plan = Kdx({"plan", "--data-folder", data});

    EXPECT_EQ(plan.exitCode, 1) << "some entries would not install";
    std::vector<std::string> expected = {"data folder: " + data, "game folder: " + game,
                                         "file list: " + staging + "/FileList.kdx, 13 entries"};
    for (size_t i = 0; i < names.size(); ++i) {
        std::string number = "  " + std::to_string(i + 1) + ": ";
        // A refused name is quoted, a control byte in it as \xNN: it cannot print a row of its own.
        if (entries[i].outcome[0] == '"')
            expected.push_back(number + entries[i].outcome);
        else
            expected.push_back(number + staging + "/" + names[i] + " -> " + game + "/" +
                               names[i].substr(0, names[i].size() - 4) + ": " + entries[i].outcome);
    }
    expected.push_back("plan: 2 would install, 3 would replace, 1 replaced by a later entry, 7 would not install");
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < plan.output.size(); start = end + 1) {
        end = plan.output.find('\n', start);
        lines.push_back(plan.output.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), expected.size()) << plan.output;
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], expected[i]);
    EXPECT_EQ(SnapshotTree(folder), before) << "plan changed the folders";

    // The same plan as records: one a line, tab-separated, a newline in a name escaped.
    const char *records[] = {
        "New.datNEW1\tinstallable\tcreates\t4\t\t0",
        "Old.datNEW1\tinstallable\treplaces\t6\t4\t0",
        "Missing.datNEW1\tinstallable\tstaged-missing\t\t\t0",
        "Pipe.datNEW1\tinstallable\tstaged-not-regular\t\t\t0",
        "sub/x.datNEW1\tinstallable\ttarget-folder-missing\t\t\t0",
        "Dir.datNEW1\tinstallable\ttarget-not-a-file\t\t\t0",
        "../x.datNEW1\tname-parent\tnone\t\t\t0",
        "CON.txtNEW1\tname-device\tnone\t\t\t0",
        "Twice.datAAAA\tinstallable\tcreates\t2\t\t10",
        "Twice.datBBBB\tinstallable\tcreates\t2\t\t0",
        "Same.datNEW1\tinstallable\tdrops-staged-name\t8\t\t0",
        "Run.shNEW1\tinstallable\treplaces\t3\t3\t0",
        "Line\\n  99: fake.datNEW1\tname-windows-character\tnone\t\t\t0",
    };
    std::string expectedRecords =
        "data-folder\t" + data + "\ngame-folder\t" + game + "\tset\nlist\t" + staging + "/FileList.kdx\tread\t13\n";
    for (size_t i = 0; i < names.size(); ++i)
        expectedRecords += "entry\t" + std::to_string(i + 1) + "\t" + records[i] + "\n";
    ProgramResult recorded = Kdx({"plan", "--records", "--data-folder", data});
    EXPECT_EQ(recorded.exitCode, 1);
    EXPECT_EQ(recorded.output, expectedRecords + "summary\t2\t3\t1\t7\t0\t0\n");

    // Where the game folder comes from, and a list that would install everything.
    const struct {
        std::string settings;
        std::string line;
    } settings[] = {
        {KdxFile(SettingsPayload(game), 2), "game folder: none (the settings file " + data +
                                                "/Brackmoor Games/Settings.kdx is rejected: KDX_BAD_VERSION)"},
        {KdxFile(SettingsPayload(std::string(260, 'g'))), "game folder: none (longer than 259 bytes)"},
        {KdxFile(LenString("x")), "game folder: none (the settings record is cut short)"},
    };
    for (const auto &c : settings) {
        WriteFile(data + "/Brackmoor Games/Settings.kdx", c.settings);
        ProgramResult result = Kdx({"plan", "--data-folder", data});
        EXPECT_NE(result.output.find("\n" + c.line + "\n"), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("installs none of them"), std::string::npos) << result.output;
        EXPECT_EQ(result.exitCode, 1);
    }
    // A relative game folder: the plan cannot know the updater's current folder, and says so.
    WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload("games/orvo")));
    EXPECT_NE(Kdx({"plan", "--data-folder", data})
                  .output.find("\ngame folder: games/orvo (relative: the updater "
                               "resolves it against its own current folder"),
              std::string::npos);
    WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(game)));
    WriteFile(staging + "/FileList.kdx", KdxFile(FileListPayload({"New.datNEW1"})));
    EXPECT_EQ(Kdx({"plan", "--data-folder", data}).exitCode, 0);
    // A data folder reached through a link, which an elevated run on Windows may not follow.
    ASSERT_EQ(symlink(data.c_str(), (folder + "/linked").c_str()), 0);
    EXPECT_NE(Kdx({"plan", "--data-folder", folder + "/linked"})
                  .output.find("\n(the way to the file list goes through a link or junction: an elevated run on "
                               "Windows follows only one that an elevated process made, and otherwise keeps the list "
                               "unread)\n"),
              std::string::npos);
}

// Layouts that a hostile or careless program could leave: for each, the plan's line and what the
// real updater then does agree, and nothing outside the two folders is touched.
TEST_F(KdxTool, PlanAndRunAgreeOnHostileLayouts)
{
    const std::string data = folder + "/data", staging = data + "/Brackmoor Games/Temp", game = folder + "/game";
    const std::string outside = folder + "/outside";
    MakeFolders(staging);
    MakeFolders(game + "/Music");
    MakeFolders(outside + "/Music");
    MakeFolders(outside + "/Relocated");
    WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(game)));
    // Temp/Music leads to the user's own music; game/Maps to a folder the player moved.
    WriteFile(outside + "/Music/song.mp3abcd", "the user's song");
    ASSERT_EQ(symlink((outside + "/Music").c_str(), (staging + "/Music").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/Relocated").c_str(), (game + "/Maps").c_str()), 0);
    MakeFolders(staging + "/Maps");
    WriteFile(staging + "/Maps/one.mapNEW1", "new map");
    WriteFile(staging + "/MapsNEW1", "not a folder");
    WriteFile(outside + "/victim", "not the game's");
    ASSERT_EQ(symlink((outside + "/victim").c_str(), (game + "/Link.dat").c_str()), 0);
    WriteFile(staging + "/Link.datNEW1", "new link");
    WriteFile(staging + "/.~upd-1-1.tmp.new", "reserved");
    const std::string leftover = game + "/.~upd-" + std::to_string(EndedProcessId()) + "-3.tmp";
    WriteFile(leftover, "left by a killed run");
    WriteFile(staging + "/.abcd", "the game folder itself");
    WriteFile(staging + "/Twice.datNEW1", "twice");
    const struct {
        std::string name;
        std::string outcome; // after "STAGED -> INSTALLED: ", or the whole line for a refused name
    } rows[] = {
        {"Music/song.mp3abcd", "would not install: the staged path goes through a link below the staging folder"},
        {"MapsNEW1", "would not install: the target is a folder"}, // the player's link to a folder
        {"Maps/one.mapNEW1", "would install (7 bytes); through a link inside the game folder, which an elevated run "
                             "on Windows follows only when an elevated process made it"},
        {"Link.datNEW1", "would replace the link itself (new 8 bytes); what it points to is not touched"},
        {".~upd-1-1.tmp.new", "\".~upd-1-1.tmp.new\" (17 bytes): refused: the name has the form of the updater's own "
                              "files (\".~upd-...\")"},
        {".abcd", "\".abcd\" (5 bytes): refused: the name has an empty or \".\" component"},
        {"Twice.datNEW1", "would install (5 bytes)"},
        {"Twice.datNEW1", "would not install: entry 7 moves this staged file first"},
    };
    std::vector<std::string> names;
    for (const auto &row : rows)
        names.push_back(row.name);
    WriteFile(staging + "/FileList.kdx", KdxFile(FileListPayload(names)));

    ProgramResult plan = Kdx({"plan", "--data-folder", data});
    for (size_t i = 0; i < names.size(); ++i) {
        std::string line = "\n  " + std::to_string(i + 1) + ": " + rows[i].outcome + "\n";
        if (rows[i].outcome[0] != '"')
            line = "\n  " + std::to_string(i + 1) + ": " + staging + "/" + names[i] + " -> " + game + "/" +
                   names[i].substr(0, names[i].size() - 4) + ": " + rows[i].outcome + "\n";
        EXPECT_NE(plan.output.find(line), std::string::npos) << line << "\nin:\n" << plan.output;
    }
    ProgramResult run = RunProgram(UPDATER_PROGRAM, {}, {"XDG_DATA_HOME=" + data, "DISPLAY"});

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(run.seconds, 3.0) << "a refused or failed entry must not wait as if its file were in use";
    EXPECT_EQ(ReadFile(outside + "/Music/song.mp3abcd"), "the user's song");
    EXPECT_FALSE(PathExists(game + "/Music/song.mp3"));
    EXPECT_EQ(ReadFile(outside + "/Relocated/one.map"), "new map") << "installed through the player's link";
    EXPECT_EQ(ReadFile(staging + "/MapsNEW1"), "not a folder");
    EXPECT_EQ(ReadFile(game + "/Link.dat"), "new link");
    EXPECT_EQ(ReadFile(outside + "/victim"), "not the game's");
    EXPECT_EQ(ReadFile(staging + "/.~upd-1-1.tmp.new"), "reserved");
    EXPECT_FALSE(PathExists(game + "/.~upd-1-1.tmp"));
    EXPECT_FALSE(PathExists(leftover)) << "a killed run's leftover goes";
    EXPECT_EQ(ReadFile(staging + "/.abcd"), "the game folder itself");
    EXPECT_EQ(ReadFile(game + "/Twice.dat"), "twice");
    EXPECT_FALSE(PathExists(staging + "/FileList.kdx"));

    // A FIFO in place of either data file: read as no file, so nothing waits for a writer.
    ASSERT_EQ(mkfifo((staging + "/FileList.kdx").c_str(), 0644), 0);
    RemoveTree(data + "/Brackmoor Games/Settings.kdx");
    ASSERT_EQ(mkfifo((data + "/Brackmoor Games/Settings.kdx").c_str(), 0644), 0);
    ProgramResult fifoPlan = RunProgram("/usr/bin/timeout", {"20", KDX_PROGRAM, "plan", "--data-folder", data}, {});
    EXPECT_EQ(fifoPlan.exitCode, 1) << "it ends, telling what the run above left staged: " << fifoPlan.output;
    EXPECT_NE(fifoPlan.output.find("FileList.kdx is not a regular file"), std::string::npos) << fifoPlan.output;
    ProgramResult fifoRun =
        RunProgram("/usr/bin/timeout", {"20", UPDATER_PROGRAM}, {"XDG_DATA_HOME=" + data, "DISPLAY"});
    EXPECT_EQ(fifoRun.exitCode, 0) << "the updater must end (timeout says 124)";

    // A settings name that cannot be read leaves the game folder unknown: a list is kept.
    RemoveTree(staging + "/FileList.kdx");
    WriteFile(staging + "/FileList.kdx", KdxFile(FileListPayload({"Twice.datNEW1"})));
    ProgramResult keptPlan = Kdx({"plan", "--data-folder", data});
    EXPECT_NE(keptPlan.output.find("game folder: unknown"), std::string::npos) << keptPlan.output;
    EXPECT_NE(keptPlan.output.find("kept unread"), std::string::npos) << keptPlan.output;
    RunProgram("/usr/bin/timeout", {"20", UPDATER_PROGRAM}, {"XDG_DATA_HOME=" + data, "DISPLAY"});
    EXPECT_TRUE(PathExists(staging + "/FileList.kdx")) << "the list went while the game folder was unknown";
}

// What permissions refuse, for a player's run (under root: as "nobody"): the plan names it, and
// the run fails such an entry at once, changing nothing.
TEST_F(KdxTool, PlanAndRunAgreeOnWhatPermissionsRefuse)
{
    const std::string data = folder + "/data", staging = data + "/Brackmoor Games/Temp", game = folder + "/game";
    for (const char *sub : {"/Shut", "/Open", "/Walled"})
        MakeFolders(staging + sub), MakeFolders(game + sub);
    WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(game)));
    WriteFile(game + "/Kept.dat", "old");
    WriteFile(game + "/Open/Stone.dat", "carved");
    bool immutable = RunProgram("/usr/bin/chattr", {"+i", game + "/Open/Stone.dat"}, {}).exitCode == 0;
    auto refused = [&](const std::string &where) {
        return "no permission: this user may not write in " + game + where +
               ", or the target is immutable; the run fails it at once";
    };
    const struct {
        std::string name, outcome; // outcome: after "STAGED -> INSTALLED: would not install: "
    } rows[] = {
        {"Unread.datNEW1", "the staged file is unreadable for this user: it stays staged"},
        {"Shut/Hidden.datNEW1", "a folder on the staged file's path cannot be searched by this user"},
        {"Walled/Behind.datNEW1", "the target's folder " + game + "/Walled cannot be searched by this user"},
        {"Root.datNEW1", refused("")}, // a game folder of root's, nothing at the target
        {"Kept.datNEW1", refused("")}, // the same, a file at the target
        {"Open/Stone.datNEW1", refused("/Open")},
    };
    std::vector<std::string> names;
    for (const auto &row : rows)
        names.push_back(row.name), WriteFile(staging + "/" + row.name, "new");
    WriteFile(staging + "/FileList.kdx", KdxFile(FileListPayload(names)));
    // Modes that refuse their owner as well, so that a test run as a player shows the same.
    const std::pair<std::string, mode_t> modes[] = {{folder, 0755},
                                                    {staging + "/Unread.datNEW1", 0},
                                                    {staging + "/Shut", 0600},
                                                    {game + "/Walled", 0600},
                                                    {game, 0555},
                                                    {game + "/Open", 0777}};
    for (const auto &mode : modes)
        chmod(mode.first.c_str(), mode.second);
    auto before = SnapshotTree(game);
    std::vector<std::string> player = {"/usr/bin/env"};
    if (geteuid() == 0)
        player = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    auto asPlayer = [&](std::vector<std::string> command, const std::vector<std::string> &environment) {
        command.insert(command.begin(), player.begin() + 1, player.end());
        return RunProgram(player[0], command, environment);
    };

    ProgramResult plan = asPlayer({KDX_PROGRAM, "plan", "--data-folder", data}, {});
    for (size_t i = 0; i < names.size(); ++i) {
        std::string line = "\n  " + std::to_string(i + 1) + ": " + staging + "/" + names[i] + " -> " + game + "/" +
                           names[i].substr(0, names[i].size() - 4) + ": would not install: " + rows[i].outcome + "\n";
        EXPECT_TRUE(plan.output.find(line) != std::string::npos || (i == 5 && !immutable)) << line << plan.output;
    }
    if (!immutable)
        std::cout << "not shown here: an immutable target (setting the flag needs CAP_LINUX_IMMUTABLE)\n";
    ProgramResult run = asPlayer({UPDATER_PROGRAM}, {"XDG_DATA_HOME=" + data, "DISPLAY"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(run.seconds, 3.0) << "a permission refused is not a file in use";
    for (const auto &mode : modes)
        chmod(mode.first.c_str(), 0755);
    EXPECT_EQ(SnapshotTree(game), before);
    for (const std::string &name : names)
        EXPECT_TRUE(PathExists(staging + "/" + name)) << name << " must stay staged";
    RunProgram("/usr/bin/chattr", {"-i", game + "/Open/Stone.dat"}, {});
}

// A game folder inside the staging folder: an entry whose staged path is its installed path
// is left alone, and a staged second name of a file that an earlier entry replaces only loses
// that name; the plan says so.
TEST_F(KdxTool, PlanAndRunAgreeOnAGameFolderInsideTheStagingFolder)
{
    const std::string data = folder + "/data", staging = data + "/Brackmoor Games/Temp", game = staging + "/abc";
    MakeFolders(game);
    WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(game)));
    WriteFile(game + "/abc", "in place");
    WriteFile(game + "/h.dat", "old");
    WriteFile(staging + "/h.datNEW1", "newer");
    ASSERT_EQ(link((game + "/h.dat").c_str(), (staging + "/h.datOLD1").c_str()), 0);
    WriteFile(staging + "/FileList.kdx", KdxFile(FileListPayload({"abc/abc", "h.datNEW1", "h.datOLD1"})));
    const std::string lines[] = {
        "\n  1: " + staging + "/abc/abc -> " + game +
            "/abc: would not install: the staged file is the installed "
            "file, under the same path (the game folder is inside the staging folder): left alone\n",
        "\n  2: " + staging + "/h.datNEW1 -> " + game + "/h.dat: would replace (old 3 bytes, new 5 bytes)\n",
        "\n  3: " + staging + "/h.datOLD1 -> " + game +
            "/h.dat: would replace: the staged file is the installed file "
            "itself, only its staged name goes\n",
    };
    ProgramResult plan = Kdx({"plan", "--data-folder", data});
    for (const std::string &line : lines)
        EXPECT_NE(plan.output.find(line), std::string::npos) << line << "\nin:\n" << plan.output;
    ProgramResult run = RunProgram(UPDATER_PROGRAM, {}, {"XDG_DATA_HOME=" + data, "DISPLAY"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadFile(game + "/abc"), "in place") << "the one name of an installed file was removed";
    EXPECT_EQ(ReadFile(game + "/h.dat"), "newer") << "a second name of the replaced file put it back";
    EXPECT_FALSE(PathExists(staging + "/h.datNEW1"));
    EXPECT_FALSE(PathExists(staging + "/h.datOLD1"));
}

// A list made from a staging folder installs byte for byte; a run that could not install an
// entry leaves its staged file, and the plan names it and why.
TEST_F(KdxTool, ListsAStagingFolderAndTellsWhatARunLeft)
{
    const std::string data = folder + "/data", staging = data + "/Brackmoor Games/Temp", game = folder + "/game";
    MakeFolders(staging + "/Maps");
    MakeFolders(staging + "/Sub");
    MakeFolders(game + "/Maps");
    WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(game)));
    const std::string binary("\x00\xFF\r\n\x1A data", 10);
    WriteFile(staging + "/Data.pakNEW1", binary);
    WriteFile(staging + "/Maps/one.mapNEW1", "map");
    WriteFile(staging + "/Sub/x.datNEW1", "no such game folder");
    WriteFile(game + "/Data.pak", "old");

    ProgramResult list = Kdx({"filelist", "--from", staging, "-o", staging + "/../FileList.part"});
    ASSERT_EQ(list.exitCode, 0);
    ASSERT_EQ(rename((staging + "/../FileList.part").c_str(), (staging + "/FileList.kdx").c_str()), 0);
    EXPECT_EQ(ReadFile(staging + "/FileList.kdx"),
              KdxFile(FileListPayload({"Data.pakNEW1", "Maps/one.mapNEW1", "Sub/x.datNEW1"})));
    EXPECT_EQ(RunProgram(UPDATER_PROGRAM, {}, {"XDG_DATA_HOME=" + data, "DISPLAY"}).exitCode, 0);
    EXPECT_EQ(ReadFile(game + "/Data.pak"), binary);
    EXPECT_EQ(ReadFile(game + "/Maps/one.map"), "map");

    ProgramResult plan = Kdx({"plan", "--data-folder", data});
    EXPECT_EQ(plan.exitCode, 1);
    EXPECT_NE(
        plan.output.find("\n  left: " + staging + "/Sub/x.datNEW1: the target's folder " + game + "/Sub is missing\n"),
        std::string::npos)
        << plan.output;
    EXPECT_NE(plan.output.find("plan: nothing to install; 1 staged file(s) left, 0 leftover(s)"), std::string::npos);
    // Only the updater's own forms are its leftovers; a Windows run's set-aside file is named as such.
    WriteFile(game + "/.~upd-notes.txt", "the player's own");
    WriteFile(game + "/.~upd-01dc5f0e8a2b3c4d-0~Orvo.exe", "set aside on Windows");
    WriteFile(staging + "/Line\n  left: fake.datNEW1", "a name that cannot print a row of its own");
    plan = Kdx({"plan", "--data-folder", data});
    EXPECT_NE(plan.output.find("\n  left: " + staging +
                               "/Line\\x0A  left: fake.datNEW1: the name is refused: the name "
                               "has a character Windows"),
              std::string::npos)
        << plan.output;
    EXPECT_EQ(plan.output.find(".~upd-notes.txt"), std::string::npos) << plan.output;
    EXPECT_NE(plan.output.find("leftover of the updater: " + game +
                               "/.~upd-01dc5f0e8a2b3c4d-0~Orvo.exe (set aside while in use: only a run on Windows "
                               "settles it)\n"),
              std::string::npos)
        << plan.output;
    ProgramResult records = Kdx({"plan", "--records", "--data-folder", data});
    EXPECT_EQ(records.exitCode, 1);
    for (const std::string &record : {"list\t" + staging + "/FileList.kdx\tmissing\t0",
                                      "left\t" + staging + "/Sub/x.datNEW1\ttarget-folder-missing",
                                      "left\t" + staging + "/Line\\n  left: fake.datNEW1\tname-windows-character",
                                      "leftover\t" + game + "/.~upd-01dc5f0e8a2b3c4d-0~Orvo.exe\tset-aside",
                                      std::string("summary\t0\t0\t0\t0\t2\t1")})
        EXPECT_NE(records.output.find("\n" + record + "\n"), std::string::npos) << record << "\n" << records.output;

    // Refused: a name the updater refuses, and more files than a list holds.
    MakeFolders(folder + "/refused/Maps/Old");
    WriteFile(folder + "/refused/CON.txtNEW1", "x");
    MakeFolders(folder + "/trailing/Maps ");
    WriteFile(folder + "/trailing/Maps /x.datNEW1", "a folder Windows would read as \"Maps\"");
    MakeFolders(folder + "/alias");
    WriteFile(folder + "/alias/PROGRA~1.EXENEW1", "installs under a short name");
    MakeFolders(folder + "/short/Maps/Old");
    WriteFile(folder + "/short/Maps/Old/x", "its suffix would cut into its folder");
    MakeFolders(folder + "/stream");
    WriteFile(folder + "/stream/Orvo.exe:Zone.IdentifierNEW1", "a data stream of Orvo.exe on Windows");
    MakeFolders(folder + "/many");
    for (int i = 0; i < 256; ++i)
        WriteFile(folder + "/many/f" + std::to_string(i) + ".datNEW1", "");
    MakeFolders(folder + "/clash");
    WriteFile(folder + "/clash/Orvo.exeNEW1", "new download");
    WriteFile(folder + "/clash/Orvo.exeOLD1", "an old update's leftover");
    std::string clash = std::string(KDX_PROGRAM) + " filelist --from '" + folder + "/clash' -o /dev/null 2>&1";
    EXPECT_NE(RunProgram("/bin/sh", {"-c", clash}, {})
                  .output.find("Orvo.exeNEW1 and Orvo.exeOLD1 both install as "
                               "Orvo.exe"),
              std::string::npos);
    MakeFolders(folder + "/fifo");
    ASSERT_EQ(mkfifo((folder + "/fifo/Pipe.datNEW1").c_str(), 0644), 0);
    const std::pair<const char *, const char *> refusals[] = {
        {"/refused", "CON.txtNEW1: the updater refuses it: the name names a Windows device"},
        {"/trailing", "the updater refuses it"},
        {"/alias", "the updater refuses it"},
        {"/short", "Maps/Old/x: its file name has four bytes or fewer"},
        {"/stream", "the updater refuses it"},
        {"/many", "256 files: a file list holds at most 255"},
        {"/clash", "both install as"},
        {"/fifo", "Pipe.datNEW1 is not a regular file"},
    };
    for (const auto &row : refusals) {
        ProgramResult result = RunProgram("/bin/sh",
                                          {"-c", std::string(KDX_PROGRAM) + " filelist --from '" + folder + row.first +
                                                     "' -o '" + folder + "/out.kdx' 2>&1"},
                                          {});
        EXPECT_EQ(result.exitCode, 2) << row.first;
        EXPECT_NE(result.output.find(row.second), std::string::npos) << row.first << ": " << result.output;
        EXPECT_FALSE(PathExists(folder + "/out.kdx")) << row.first;
    }
}

// Data files padded after their records to 1.5 GiB (sparse) are read as far as a record can
// reach: under a memory limit far below the padding, kdx reads what the updater reads.
TEST_F(KdxTool, ReadsAPaddedDataFileOnlyAsFarAsItsRecordCanReach)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under the limit";
#endif
    const std::string data = folder + "/data", staging = data + "/Brackmoor Games/Temp", game = folder + "/game";
    MakeFolders(staging);
    MakeFolders(game);
    const std::string settings = data + "/Brackmoor Games/Settings.kdx", list = staging + "/FileList.kdx";
    WriteFile(settings, KdxFile(SettingsPayload(game)));
    WriteFile(list, KdxFile(FileListPayload({"New.datNEW1"})));
    WriteFile(staging + "/New.datNEW1", "new\n");
    const long long padded = 3LL << 29;
    ASSERT_EQ(truncate(settings.c_str(), padded), 0);
    ASSERT_EQ(truncate(list.c_str(), padded), 0);
    auto limited = [&](const std::string &program, const std::string &arguments) {
        return RunProgram("/bin/sh", {"-c", "ulimit -v 262144 && exec '" + program + "' " + arguments},
                          {"XDG_DATA_HOME=" + data, "DISPLAY"});
    };
    ProgramResult plan = limited(KDX_PROGRAM, "plan");
    EXPECT_EQ(plan.exitCode, 0) << plan.output;
    EXPECT_NE(plan.output.find("\ngame folder: " + game + "\n"), std::string::npos) << plan.output;
    EXPECT_NE(plan.output.find(" -> " + game + "/New.dat: would install (4 bytes)\n"), std::string::npos);
    std::string after = std::to_string(padded - KDX_HEADER_SIZE - (1 + 2 + 11)) + " bytes after the last entry";
    EXPECT_NE(limited(KDX_PROGRAM, "dump '" + list + "'").output.find(after), std::string::npos);
    after = std::to_string(padded - KDX_HEADER_SIZE - (2 + 2 + game.size())) + " bytes after the record";
    EXPECT_NE(limited(KDX_PROGRAM, "dump '" + settings + "'").output.find(after), std::string::npos);
    EXPECT_EQ(limited(UPDATER_PROGRAM, "").exitCode, 0);
    EXPECT_EQ(ReadFile(game + "/New.dat"), "new\n");
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
        {"plan", "--data-folder"},
        {"plan", "extra"},
        {"plan", "--data-folder", std::string(260, 'd')},
        {"plan", "--records", "extra"},
        {"settings", "--short"},
    };
    for (const auto &arguments : bad) {
        SCOPED_TRACE(arguments.empty() ? "(none)" : arguments[0] + " " + std::to_string(arguments.size()));
        ProgramResult result = Kdx(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.output, "") << "errors go to standard error";
    }
    // The reason comes from the call that failed, or is the platform's own: never a success text.
    ASSERT_EQ(mkfifo((folder + "/fifo.kdx").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((folder + "/FileList.kdx").c_str(), 0755), 0);
    const std::vector<std::pair<std::string, std::string>> reasons = {
        {"dump --as filelist " + folder + "/fifo.kdx", "fifo.kdx as a regular file: not a regular file"},
        {"dump " + folder + "/FileList.kdx", "FileList.kdx as a regular file: not a regular file"},
        {"dump " + folder + "/missing/FileList.kdx", "FileList.kdx as a regular file: No such file or directory"},
        {"filelist -o " + folder + "/FileList.kdx", "FileList.kdx: Is a directory"},
    };
    for (const auto &row : reasons) {
        ProgramResult result = RunProgram("/bin/sh", {"-c", std::string(KDX_PROGRAM) + " " + row.first + " 2>&1"}, {});
        EXPECT_EQ(result.exitCode, 2) << row.first;
        EXPECT_NE(result.output.find(row.second), std::string::npos) << row.first << ": " << result.output;
        EXPECT_EQ(result.output.find("Success"), std::string::npos) << row.first << ": " << result.output;
    }
    std::vector<std::string> tooMany = {"filelist"};
    for (int i = 0; i < 256; ++i)
        tooMany.push_back("n" + std::to_string(i) + ".txtXXXX");
    EXPECT_EQ(Kdx(tooMany).exitCode, 2);
}

} // namespace
