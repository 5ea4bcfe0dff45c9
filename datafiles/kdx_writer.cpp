#include "datafiles/kdx_writer.h"

std::string MakeKdxContainer(const std::string &payload)
{
    static const char header[8] = {'\xFF', '\xFF', 'K', 'D', 'X', '\0', '\x01', '\x00'};
    return std::string(header, sizeof header) + payload;
}

bool AppendLenString(std::string *payload, const std::string &text)
{
    if (text.size() > 0xFFFF)
        return false;
    *payload += (char)(text.size() & 0xFF);
    *payload += (char)(text.size() >> 8);
    *payload += text;
    return true;
}

bool MakeSettingsPayload(const std::string &gameFolder, const std::string &firstString, std::string *payload)
{
    payload->clear();
    return AppendLenString(payload, firstString) && AppendLenString(payload, gameFolder);
}

bool MakeFileListPayload(const std::vector<std::string> &names, std::string *payload)
{
    payload->clear();
    if (names.size() > 255)
        return false;
    *payload += (char)names.size();
    for (const std::string &name : names) {
        if (!AppendLenString(payload, name))
            return false;
    }
    return true;
}
