// What the kdx commands share: one file per command (kdx_dump.cpp, kdx_settings.cpp,
// kdx_filelist.cpp, kdx_plan.cpp), kdx_main.cpp with the usage text and the dispatch.
#ifndef TOOLS_KDX_KDX_TOOL_H
#define TOOLS_KDX_KDX_TOOL_H

#include <stddef.h>

#include <string>
#include <vector>

#include "datafiles/byte_reader.h"
#include "platform/spelling.h"

// The commands: each takes the arguments after its name and returns kdx's exit status (0 done,
// 1 a rejected file or an entry that would not install, 2 bad arguments or an unreadable file).
int DumpCommand(const std::vector<std::string> &arguments);
int SettingsCommand(std::vector<std::string> arguments);
int FileListCommand(std::vector<std::string> arguments);
int PlanCommand(std::vector<std::string> arguments);

// Prints "kdx: `message`" and the usage text on standard error; returns 2.
int UsageError(const char *message);

// Bytes as a quoted C-like string: printable ASCII as is, everything else as \xNN.
std::string Quote(const unsigned char *bytes, size_t length);

// A name or path for a line of output: control bytes as \xNN, so that a newline or a terminal
// escape in a staged name cannot print a line of its own. Other bytes stay as they are, so that
// the paths the player knows (and Windows' "\\") read as they are.
std::string Shown(const std::string &text);

// A LenString as stored, quoted, with its stored length and where its text ends when a zero
// byte ends it early.
std::string DescribeLenString(const LenStringView &text);

// A field of a plan record: a tab, newline, carriage return and backslash as \t \n \r \\, other
// control bytes as \xNN, so that no name can end a field or a record; other bytes as they are.
std::string RecordField(const std::string &bytes);

// `text`, an argument in the client's form, as the updater reads it (SpellForUpdater), into
// `spelled`; the short form only when `allowShortForm`. Empty when the spelling is impossible.
SpellResult SpellText(const std::string &text, bool allowShortForm, std::string *spelled);

// The path argument `text` in the updater's form, its short form allowed (the path is only read).
// False after a message naming `what` and the path when the code page cannot write it.
bool SpellPathArgument(const std::string &text, const char *what, std::string *spelled);

// The handler sees the payload only during the load: KeepPayload, a PayloadHandler, copies it
// into g_dumpedPayload, to be shown after the status.
extern std::string g_dumpedPayload;
void KeepPayload(const unsigned char *payload, size_t length);

// The files below `folder`, as names relative to it with "/" between components, in byte order;
// in `others` what is there but neither a regular file nor a folder (links included), and in
// `unspellable` what has a name the code page cannot write (Windows; its last component in
// UTF-8, for showing). The file list itself, "FileList.kdx" at the top, is never one of them.
// False when some folder cannot be read; what the others hold is added all the same.
bool WalkFolder(const std::string &folder, std::vector<std::string> *files, std::vector<std::string> *others,
                std::vector<std::string> *unspellable);

// Splits "-o FILE" off the arguments; "--" ends the options. False when "-o" has no FILE.
bool TakeOutputOption(std::vector<std::string> *arguments, std::string *outputPath);

// Writes `payload` in a container to `outputPath` (in the client's form), or to standard output
// (binary) when it is empty. Returns 0, or 2 after a message when it cannot be written whole.
int WriteDataFile(const std::string &payload, const std::string &outputPath);

#endif
