#include "jars.h"

#include <new>
#include <string_view>

#include "globals.h"
#include "paths.h"
#include "platform.h"
#include "tracelog.h"

namespace {

// Upper-cases a to z only; a double-byte character of the active code page is kept whole, so
// that its trail byte is never taken for a letter.
std::string upperAsciiKeepingDoubleBytes(std::string_view text)
{
    std::string upper(text);
    for (std::size_t i = 0; i < upper.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(upper[i]))) {
            ++i;
            continue;
        }
        if (upper[i] >= 'a' && upper[i] <= 'z')
            upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
    }
    return upper;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// The last non-empty field between backslashes, or the whole entry.
std::string_view lastComponent(std::string_view path)
{
    while (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    const std::size_t slash = path.rfind('\\');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

int appendJarNode(JarList& list, const JarNode& record)
{
    try {
        list.push_back(record);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

void fillJarFileNames(JarList& list)
{
    for (JarNode& node : list) {
        const std::string_view component = lastComponent(node.FullPath);
        node.fileName = contains(upperAsciiKeepingDoubleBytes(component), ".JAR") ? std::string(component) : "";
    }
}

void markDuplicateJars(JarList& list)
{
    for (std::size_t first = 0; first < list.size(); ++first) {
        if (list[first].fileName.empty() || list[first].isDup)
            continue;
        for (std::size_t later = first + 1; later < list.size(); ++later)
            if (!list[later].fileName.empty() && !list[later].isDup &&
                equalsIgnoringAsciiCase(list[first].fileName, list[later].fileName))
                list[later].isDup = 1;
    }
}

void rebuildClassPath(const JarList& list)
{
    classPathBuf.clear();
    for (const JarNode& node : list)
        if (node.isDup != 1)
            classPathBuf.append(node.FullPath).append(";");
}

void freeJarList(JarList& list)
{
    list.clear();
    list.shrink_to_fit();
}

void removeDuplicateJars()
{
    if (!traceLog)
        return;
    JarList list;
    std::string_view entries = classPathBuf;
    while (!entries.empty()) {
        const std::size_t end = entries.find(';');
        const std::string_view field = entries.substr(0, end);
        entries.remove_prefix(end == std::string_view::npos ? entries.size() : end + 1);
        if (!field.empty())
            appendJarNode(list, JarNode{std::string(field), {}, 0});
    }
    fillJarFileNames(list);
    markDuplicateJars(list);
    rebuildClassPath(list);
    freeJarList(list);
}

void printJarList(const JarList& list)
{
    writeTraceLog("\n\n******** Linked List Contents **************");
    for (const JarNode& node : list) {
        writeTraceLog("\nFullPath: %s", node.FullPath.c_str());
        writeTraceLog("\nfileName: %s", node.fileName.c_str());
        writeTraceLog("\nisDup: %d", node.isDup);
    }
}
