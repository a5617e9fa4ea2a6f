// Where the stand-in Java launcher finds a class: the elements of a class path in their order,
// each a folder or a jar (a zip read by its central directory), as the application class loader
// looks.
#pragma once

#include <optional>
#include <string>

namespace java_launcher {

// The class path element that holds the class (a binary name such as com.example.Setup), as it
// stands in the class path; nothing when no element does. An empty element is the current folder.
std::optional<std::string> findClass(const std::string& classPath, const std::string& className);

} // namespace java_launcher
