# The manifest and version block of updater.exe, read back through the Windows API.
source "$(dirname "$0")/wine_harness.sh"

check "resource_check passes" run_wine "$WINE_TEST_BIN/resource_check.exe" "$(winepath -w "$UPDATER_EXE" 2>/dev/null)"
check "updater.exe imports only Windows DLLs" bash -c \
  "x86_64-w64-mingw32-objdump -p '$UPDATER_EXE' | grep 'DLL Name' | grep -v -i -E 'kernel32|msvcrt|shell32|user32|advapi32|ole32|oleaut32' | (! grep .)"
# Every file call goes through the wide path layer: no 8-bit file call is imported.
for exe in "$UPDATER_EXE" "$KDX_EXE"; do
  check "$(basename "$exe") imports no 8-bit file call" bash -c "x86_64-w64-mingw32-objdump -p '$exe' |
    grep -E '^\s+[0-9a-f]+\s+[0-9]+\s+' | grep -w -E '(CreateFile|GetFileAttributes|GetFileAttributesEx|SetFileAttributes|MoveFile|MoveFileEx|DeleteFile|FindFirstFile|FindFirstFileEx|CopyFile|ReplaceFile|CreateHardLink|GetFullPathName|GetFinalPathNameByHandle|CreateDirectory|RemoveDirectory)A|fopen|_open|remove|rename' | (! grep .)"
done
# The shipped updater reads no fault setting; only its test build does.
check "updater.exe has no fault seam, updater_faults.exe has" bash -c \
  "! grep -a -q UPDATER_FAULT '$UPDATER_EXE' && grep -a -q UPDATER_FAULT '${UPDATER_FAULTS_EXE:-}'"
finish
