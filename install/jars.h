// The jar list: keeps the first occurrence of each jar file name on the class path.
#pragma once

#include <string>
#include <vector>

struct JarNode {
    std::string FullPath;  // the class-path entry as it stands
    std::string fileName;  // its last component when that names a jar, else empty
    int isDup = 0;         // 1 when an earlier entry has the same fileName
};

using JarList = std::vector<JarNode>;

// Rewrites classPathBuf without repeated jars; leaves it as it is while the trace log is closed.
void removeDuplicateJars();

// The steps of removeDuplicateJars, in their order.
int appendJarNode(JarList& list, const JarNode& record);
void fillJarFileNames(JarList& list);
void markDuplicateJars(JarList& list);
void rebuildClassPath(const JarList& list);
void freeJarList(JarList& list);

// Writes the list to the trace log; a diagnostic aid.
void printJarList(const JarList& list);
