// Disk and drive queries of KPNativeWin: geometry and free space in clusters, drive type,
// medium presence and the drive list.
#include <windows.h>

#include <array>
#include <cstring>
#include <string>

#include "com_bravik_application_install_windows_KPNativeWin.h"
#include "frame.h"

namespace {

constexpr jlong kFailed = -1;

// The first three bytes of the path and a zero: "C:\Setup" gives "C:\", a bare "C:" stays "C:".
using DriveRoot = std::array<char, 4>;

DriveRoot driveRootOf(const char* path)
{
    DriveRoot root{};
    std::strncpy(root.data(), path, 3);
    return root;
}

enum class Geometry { freeClusters, totalClusters, clusterSize, bytesPerSector, sectorsPerCluster };

// One value of GetDiskFreeSpaceA for the path's drive root, widened without sign; -1 when the
// path cannot be converted or the query fails.
jlong queryGeometry(JNIEnv* env, jbyteArray path, Geometry wanted)
{
    const CString converted = copyByteArrayToCString(env, path);
    if (!converted)
        return kFailed;
    DriveRoot root = driveRootOf(converted.get());
    // Free space alone is asked of the root with its backslash, so that a bare "C:" works; after
    // a one-byte path the backslash stands behind the terminator and changes nothing.
    if (wanted == Geometry::freeClusters)
        root[2] = '\\';
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceA(root.data(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return kFailed;
    switch (wanted) {
    case Geometry::freeClusters: return freeClusters;
    case Geometry::totalClusters: return totalClusters;
    case Geometry::clusterSize: return static_cast<DWORD>(bytesPerSector * sectorsPerCluster);
    case Geometry::bytesPerSector: return bytesPerSector;
    case Geometry::sectorsPerCluster: return sectorsPerCluster;
    }
    return kFailed;
}

// The process error mode for the life of the owner; the one in force before is put back.
class ErrorModeScope {
public:
    explicit ErrorModeScope(UINT mode) : previous_(SetErrorMode(mode)) {}
    ~ErrorModeScope() { SetErrorMode(previous_); }
    ErrorModeScope(const ErrorModeScope&) = delete;
    ErrorModeScope& operator=(const ErrorModeScope&) = delete;

private:
    UINT previous_;
};

} // namespace

JNIEXPORT jlong JNICALL Java_com_bravik_application_install_windows_KPNativeWin_getNativeDiskSpaceAvail(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jlong{-1}, [&]() -> jlong {
        return queryGeometry(env, path, Geometry::freeClusters);
    });
}

JNIEXPORT jlong JNICALL Java_com_bravik_application_install_windows_KPNativeWin_getNativeTotalDiskSpace(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jlong{-1}, [&]() -> jlong {
        return queryGeometry(env, path, Geometry::totalClusters);
    });
}

JNIEXPORT jlong JNICALL Java_com_bravik_application_install_windows_KPNativeWin_getNativeClusterSize(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jlong{-1}, [&]() -> jlong {
        return queryGeometry(env, path, Geometry::clusterSize);
    });
}

JNIEXPORT jlong JNICALL Java_com_bravik_application_install_windows_KPNativeWin_getNativeBytesPerSector(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jlong{-1}, [&]() -> jlong {
        return queryGeometry(env, path, Geometry::bytesPerSector);
    });
}

JNIEXPORT jlong JNICALL Java_com_bravik_application_install_windows_KPNativeWin_getNativeSectorsPerCluster(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jlong{-1}, [&]() -> jlong {
        return queryGeometry(env, path, Geometry::sectorsPerCluster);
    });
}

JNIEXPORT jlong JNICALL Java_com_bravik_application_install_windows_KPNativeWin_getNativeDriveType(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jlong{-1}, [&]() -> jlong {
        const CString converted = copyByteArrayToCString(env, path);
        if (!converted)
            return kFailed;
        const DriveRoot root = driveRootOf(converted.get());
        // 0 (unknown) and 1 (no such root) are the platform's answers, not failures.
        return GetDriveTypeA(root.data());
    });
}

JNIEXPORT jboolean JNICALL Java_com_bravik_application_install_windows_KPNativeWin_isNativeDiskInserted(
    JNIEnv* env, jclass, jbyteArray path)
{
    return callGuarded(jboolean{JNI_FALSE}, [&]() -> jboolean {
        const CString converted = copyByteArrayToCString(env, path);
        if (!converted)
            return JNI_FALSE;
        const DriveRoot root = driveRootOf(converted.get());
        // No critical-error box for a drive without a medium: the query fails instead. The mode is
        // process-wide and replaced, not added to, while the query runs.
        const ErrorModeScope quiet(SEM_FAILCRITICALERRORS);
        char label[16];
        char fileSystem[16];
        DWORD serial = 0, maxComponent = 0, flags = 0;
        const BOOL readable = GetVolumeInformationA(root.data(), label, sizeof(label), &serial, &maxComponent, &flags,
                                                    fileSystem, sizeof(fileSystem));
        return readable ? JNI_TRUE : JNI_FALSE;
    });
}

JNIEXPORT jbyteArray JNICALL Java_com_bravik_application_install_windows_KPNativeWin_nativeGetDriveList(JNIEnv* env,
                                                                                                       jclass)
{
    return callGuarded(jbyteArray{nullptr}, [&]() -> jbyteArray {
        std::string list;
        DWORD mask = GetLogicalDrives();
        for (char letter = 'A'; mask != 0; ++letter, mask >>= 1)
            if (mask & 1) {
                list += letter;
                list += ":,";
            }
        return newByteArrayFromCString(env, list.c_str());
    });
}
