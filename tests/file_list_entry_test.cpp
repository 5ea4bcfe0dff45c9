#include <gtest/gtest.h>
#include <string>

#include "datafiles/file_list.h"

namespace {

struct EntryCase {
    std::string name; // stored bytes
    FileListEntryVerdict verdict;
    const char *target; // when installable, with gamePath "/g"
};

FileListEntryVerdict Prepare(const std::string &stored, const char *appData, const char *game,
                             FileListEntryPaths *paths)
{
    size_t zero = stored.find('\0');
    LenStringView name = {(const unsigned char *)stored.data(), stored.size(),
                          zero == std::string::npos ? stored.size() : zero};
    return PrepareFileListEntry(&name, appData, game, paths);
}

TEST(FileListEntry, ChecksNamesAndComposesBothPaths)
{
    const EntryCase cases[] = {
        {"Data.pakXXXX", ENTRY_INSTALLABLE, "/g/Data.pak"},
        {"abcde", ENTRY_INSTALLABLE, "/g/a"},
        {"sub/dir/file.binXXXX", ENTRY_INSTALLABLE, "/g/sub/dir/file.bin"},
        {"sub\\file.binXXXX", ENTRY_INSTALLABLE, "/g/sub\\file.bin"},
        {"..name.binXXXX", ENTRY_INSTALLABLE, "/g/..name.bin"},
        {"./file.binXXXX", ENTRY_NAME_EMPTY_PART, nullptr},
        {".abcd", ENTRY_NAME_EMPTY_PART, nullptr},      // installs as the game folder itself
        {"sub/. wxyz", ENTRY_NAME_EMPTY_PART, nullptr}, // Windows drops the trailing space
        {"sub//x.binXXXX", ENTRY_NAME_EMPTY_PART, nullptr},
        {"sub/XXXX", ENTRY_NAME_EMPTY_PART, nullptr},
        {".~upd-1-1.tmp.new", ENTRY_NAME_RESERVED, nullptr}, // the cleanup would delete it again
        {"x/.~UPD-9.tmpXXXX", ENTRY_NAME_RESERVED, nullptr},
        {".~upd-staged", ENTRY_NAME_RESERVED, nullptr},
        {".~up.datXXXX", ENTRY_INSTALLABLE, "/g/.~up.dat"},
        {"ab:c.binXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"Orvo.exe:Zone.Identifierabcd", ENTRY_NAME_WINDOWS_CHARACTER, nullptr}, // a stream of Orvo.exe
        {"x.map::$DATA", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},                 // x.map itself
        {"a<b.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"sub/a>b.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"a\"b.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"a|b.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"a?b.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"a*b.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"x.datXXX\x01", ENTRY_NAME_WINDOWS_CHARACTER, nullptr}, // in the suffix too: the staged name
        {"Line\n.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"x\x1F.datXXXX", ENTRY_NAME_WINDOWS_CHARACTER, nullptr},
        {"x\x7F~!#$%&'()+,;=@[]^`{}.datXXXX", ENTRY_INSTALLABLE, "/g/x\x7F~!#$%&'()+,;=@[]^`{}.dat"},
        {std::string("ok.binXXXX\0../../evil", 21), ENTRY_INSTALLABLE, "/g/ok.bin"},
        {"abcd", ENTRY_NAME_TOO_SHORT, nullptr},
        {"", ENTRY_NAME_TOO_SHORT, nullptr},
        {std::string("abc\0efghij", 10), ENTRY_NAME_TOO_SHORT, nullptr},
        {std::string(128, 'n'), ENTRY_NAME_TOO_LONG, nullptr},
        {"/etc/passwdXXXX", ENTRY_NAME_ABSOLUTE, nullptr},
        {"\\\\server\\shareXXXX", ENTRY_NAME_ABSOLUTE, nullptr},
        {"C:\\Windows\\evil.dllXXXX", ENTRY_NAME_DRIVE, nullptr},
        {"c:evil.dllXXXX", ENTRY_NAME_DRIVE, nullptr},
        {"../evil.dllXXXX", ENTRY_NAME_PARENT, nullptr},
        {"a/../../evil.dllXXXX", ENTRY_NAME_PARENT, nullptr},
        {"a\\..\\..\\evil.dllXXXX", ENTRY_NAME_PARENT, nullptr},
        {"a/..", ENTRY_NAME_TOO_SHORT, nullptr},
        {"a/b/..XXXX", ENTRY_NAME_PARENT, nullptr},
        {"a/b/..", ENTRY_NAME_PARENT, nullptr},
        {".../x.dllXXXX", ENTRY_NAME_PARENT, nullptr},
        {".. /x.dllXXXX", ENTRY_NAME_PARENT, nullptr},
        {"CON.txtXXXX", ENTRY_NAME_DEVICE, nullptr},
        {"nulXXXX", ENTRY_NAME_DEVICE, nullptr},
        {"sub/Com1.logXXXX", ENTRY_NAME_DEVICE, nullptr},
        {"lpt9\\x.datXXXX", ENTRY_NAME_DEVICE, nullptr},
        {"aux .datXXXX", ENTRY_NAME_DEVICE, nullptr},
        {"PRN.new", ENTRY_NAME_DEVICE, nullptr},       // the staged name is a device too
        {"Data/AUX.XXXX", ENTRY_NAME_DEVICE, nullptr}, // "AUX." once the suffix is dropped
        {"CONSOLE.txtXXXX", ENTRY_INSTALLABLE, "/g/CONSOLE.txt"},
        {"COM10.txtXXXX", ENTRY_INSTALLABLE, "/g/COM10.txt"},
        {"LPT0.txtXXXX", ENTRY_INSTALLABLE, "/g/LPT0.txt"},
        {"xCON.txtXXXX", ENTRY_INSTALLABLE, "/g/xCON.txt"},
        {"COM\xB9.txtXXXX", ENTRY_NAME_DEVICE, nullptr},      // superscript one, code page 1252
        {"Com\xC2\xB2 .logXXXX", ENTRY_NAME_DEVICE, nullptr}, // superscript two in UTF-8
        {"LPT\xA9\xF6XXXX", ENTRY_NAME_DEVICE, nullptr},      // superscript one, code page 949
        {"COM\xB9\xB9.txtXXXX", ENTRY_INSTALLABLE, "/g/COM\xB9\xB9.txt"},
        {"Maps /x.dat.new", ENTRY_NAME_TRAILING_SPACE_OR_DOT, nullptr}, // Windows keeps the space here
        {"x.dat .new", ENTRY_NAME_TRAILING_SPACE_OR_DOT, nullptr},      // once the suffix is dropped
        {"x.dat.abc.", ENTRY_NAME_TRAILING_SPACE_OR_DOT, nullptr},
        {"PROGRA~1/x.datXXXX", ENTRY_NAME_SHORT_ALIAS, nullptr},
        {"AB12~1.TXT.new", ENTRY_NAME_SHORT_ALIAS, nullptr}, // once the suffix is dropped
        {"name~1a.extXXXX", ENTRY_INSTALLABLE, "/g/name~1a.ext"},
        {"longname~1.extXXXX", ENTRY_INSTALLABLE, "/g/longname~1.ext"},
        {"name~1.text.newXXXX", ENTRY_INSTALLABLE, "/g/name~1.text.new"},
    };
    for (const EntryCase &c : cases) {
        SCOPED_TRACE(c.name);
        FileListEntryPaths paths;
        memset(&paths, 'z', sizeof paths);
        FileListEntryVerdict verdict = Prepare(c.name, "/home/u/.local/share", "/g", &paths);
        EXPECT_EQ(verdict, c.verdict) << DescribeEntryVerdict(verdict);
        if (c.verdict == ENTRY_INSTALLABLE) {
            EXPECT_STREQ(paths.target, c.target);
            size_t zero = c.name.find('\0');
            EXPECT_EQ(std::string(paths.source), "/home/u/.local/share/Brackmoor Games/Temp/" + c.name.substr(0, zero));
            EXPECT_EQ(paths.stagingLength, strlen("/home/u/.local/share/Brackmoor Games/Temp"));
        } else {
            EXPECT_STREQ(paths.source, "");
            EXPECT_STREQ(paths.target, "");
        }
    }
}

TEST(FileListEntry, RefusesPathsBeyondTheirBuffersInsteadOfCutting)
{
    const std::string name = std::string(123, 'q') + ".new";
    const std::string data110(110, 'd'), data111(111, 'd'), game255(255, 'g'), game256(256, 'g');
    FileListEntryPaths paths;
    EXPECT_EQ(Prepare(name, data110.c_str(), "/g", &paths), ENTRY_INSTALLABLE);
    EXPECT_EQ(strlen(paths.source), 259u);
    EXPECT_EQ(Prepare(name, data111.c_str(), "/g", &paths), ENTRY_SOURCE_TOO_LONG);
    EXPECT_EQ(Prepare(name, "/d", game255.c_str(), &paths), ENTRY_INSTALLABLE);
    EXPECT_EQ(std::string(paths.target), game255 + "/" + std::string(123, 'q'));
    EXPECT_EQ(Prepare(name, "/d", game256.c_str(), &paths), ENTRY_TARGET_TOO_LONG);
}

} // namespace
