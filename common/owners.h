// The owners of every platform resource the deliverables and the tests hold. Each owner's
// traits state the value that means "nothing held" (WIL's discipline: NULL for most handles,
// INVALID_HANDLE_VALUE for files and searches) and the one call that releases it, and answer
// with that call's result for the owners' close().
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "unique_resource.h"

// A kernel object: process, thread, event, snapshot, token.
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value invalid() { return nullptr; }
    static BOOL close(Value handle) { return CloseHandle(handle); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// A file opened with CreateFile, which fails with INVALID_HANDLE_VALUE rather than NULL.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value invalid() { return INVALID_HANDLE_VALUE; }
    static BOOL close(Value handle) { return CloseHandle(handle); }
};
using UniqueFileHandle = UniqueResource<FileHandleTraits>;

struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() { return INVALID_HANDLE_VALUE; }
    static BOOL close(Value handle) { return FindClose(handle); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

struct RegistryKeyTraits {
    using Value = HKEY;
    static Value invalid() { return nullptr; }
    static LONG close(Value key) { return RegCloseKey(key); }
};
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;

struct ModuleTraits {
    using Value = HMODULE;
    static Value invalid() { return nullptr; }
    static BOOL close(Value module) { return FreeLibrary(module); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

// A block the system allocated for the caller (FormatMessage's text, say).
struct LocalBlockTraits {
    using Value = HLOCAL;
    static Value invalid() { return nullptr; }
    static HLOCAL close(Value block) { return LocalFree(block); }
};
using UniqueLocalBlock = UniqueResource<LocalBlockTraits>;

struct ProcessHeapTraits {
    using Value = void*;
    static Value invalid() { return nullptr; }
    static BOOL close(Value block) { return HeapFree(GetProcessHeap(), 0, block); }
};
using UniqueHeapBlock = UniqueResource<ProcessHeapTraits>;

// A block of the C runtime heap, as text.
struct CHeapTraits {
    using Value = char*;
    static Value invalid() { return nullptr; }
    static void close(Value block) { std::free(block); }
};
using UniqueCBlock = UniqueResource<CHeapTraits>;

// The process's environment block as GetEnvironmentStringsA hands it out.
struct EnvironmentStringsTraits {
    using Value = char*;
    static Value invalid() { return nullptr; }
    static BOOL close(Value block) { return FreeEnvironmentStringsA(block); }
};
using UniqueEnvironmentStrings = UniqueResource<EnvironmentStringsTraits>;

struct GdiObjectTraits {
    using Value = HGDIOBJ;
    static Value invalid() { return nullptr; }
    static BOOL close(Value object) { return DeleteObject(object); }
};
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;

// A memory device context of our own (CreateCompatibleDC).
struct MemoryDcTraits {
    using Value = HDC;
    static Value invalid() { return nullptr; }
    static BOOL close(Value dc) { return DeleteDC(dc); }
};
using UniqueMemoryDc = UniqueResource<MemoryDcTraits>;

// The screen's device context, borrowed with GetDC(NULL).
struct ScreenDcTraits {
    using Value = HDC;
    static Value invalid() { return nullptr; }
    static int close(Value dc) { return ReleaseDC(nullptr, dc); }
};
using UniqueScreenDc = UniqueResource<ScreenDcTraits>;

struct CFileTraits {
    using Value = FILE*;
    static Value invalid() { return nullptr; }
    static int close(Value file) { return std::fclose(file); }
};
using UniqueFile = UniqueResource<CFileTraits>;
