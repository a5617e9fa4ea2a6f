// Stands in for a DLL that someone put beside a program under a system library's name: when
// loaded, it appends its own path and a line end to the file PLANTED_LIBRARY_RECORD names.
#include <windows.h>

#include "../../common/owners.h"

namespace {

void recordLoad(HINSTANCE self)
{
    char record[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("PLANTED_LIBRARY_RECORD", record, sizeof(record)))
        return;
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(self, path, sizeof(path) - 1);
    path[length] = '\n';
    const UniqueFileHandle file(CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file)
        WriteFile(file.get(), path, length + 1, &written, nullptr);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        recordLoad(self);
    return TRUE;
}
