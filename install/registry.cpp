#include "registry.h"

// Placeholder until the registry lookups are built: no value is registered, so every caller
// takes its fallback.
std::optional<std::string> getCommonFilesDir()
{
    return std::nullopt;
}

std::optional<std::string> getJavaHome()
{
    return std::nullopt;
}
