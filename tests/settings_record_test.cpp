#include "datafiles/settings_record.h"

#include <gtest/gtest.h>
#include <string>

#include "tests/support/test_support.h"
#include "updater/updater_state.h"

namespace {

std::string GamePathAfter(const std::string &payload)
{
    ResetUpdaterState();
    // An exact-size copy on the heap, so that AddressSanitizer sees any read past the view.
    unsigned char *view = new unsigned char[payload.size() + 1];
    std::copy(payload.begin(), payload.end(), view);
    ApplySettings(view, payload.size());
    delete[] view;
    EXPECT_EQ(g_UpdaterState.GamePath[259], '\0');
    return g_UpdaterState.GamePath;
}

struct SettingsCase {
    const char *what;
    std::string payload;
    std::string gamePath;
};

TEST(SettingsRecord, TakesTheSecondStringAsGamePath)
{
    const std::string folder259(259, 'g');
    const std::string folder260(260, 'h');
    const std::string withZero = std::string("C:/Games/X") + '\0' + "tail";
    const SettingsCase cases[] = {
        {"plain folder", SettingsPayload("/games/orvo", "user"), "/games/orvo"},
        {"first string stepped over by its length", SettingsPayload("D:\\Orvo", std::string(260, '\0')), "D:\\Orvo"},
        {"first string longer than 260 bytes", SettingsPayload("/g", std::string(1000, 'f')), "/g"},
        {"empty second string", SettingsPayload(""), ""},
        {"zero byte as eleventh byte", SettingsPayload(withZero), "C:/Games/X"},
        {"zero byte first", SettingsPayload(std::string("\0abc", 4)), ""},
        {"259 bytes taken whole", SettingsPayload(folder259), folder259},
        {"260 bytes with a zero byte last", SettingsPayload(folder259 + '\0'), folder259},
        {"260 bytes without a zero byte refused", SettingsPayload(folder260), ""},
        {"long string cut by a zero byte early", SettingsPayload("/ok" + std::string(1, '\0') + folder260), "/ok"},
        {"bytes after the record ignored", SettingsPayload("/a", "b") + "trailing", "/a"},
        {"empty payload", "", ""},
        {"one byte of the first length", std::string("\x05", 1), ""},
        {"first string cut short",
         std::string("\x05\x00"
                     "ab",
                     4),
         ""},
        {"second length missing", LenString("ab"), ""},
        {"second length cut to one byte", LenString("ab") + "\x03", ""},
        {"second string cut short",
         LenString("ab") + std::string("\x04\x00"
                                       "/ga",
                                       5),
         ""},
        {"length field says 65535",
         LenString("") + std::string("\xFF\xFF"
                                     "abc",
                                     5),
         ""},
    };
    for (const SettingsCase &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(GamePathAfter(c.payload), c.gamePath);
    }
}

} // namespace
