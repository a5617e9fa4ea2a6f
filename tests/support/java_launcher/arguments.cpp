#include "arguments.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <set>

extern "C" {
#include "jli/java.h"
}

namespace java_launcher {

void (*reportMessage)(const std::string& message) = nullptr;

namespace {

// The options the java tool documents as taking their value as the next argument.
const std::set<std::string> kSeparateValueOptions = {
    "-cp", "-classpath", "--class-path", "-p", "--module-path", "--upgrade-module-path", "--add-modules",
    "--enable-native-access", "--limit-modules", "--add-exports", "--add-opens", "--add-reads", "--patch-module",
    "-m", "--module", "-d", "--describe-module", "--source",
};
const std::set<std::string> kClassPathOptions = {"-cp", "-classpath", "--class-path"};
constexpr char kClassPathEquals[] = "--class-path=";
// What the launcher says when a class path option has no value: its own message ARG_ERROR1.
constexpr char kMissingClassPathFormat[] = ARG_ERROR1;

std::string environmentValue(const char* name)
{
    const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
    if (size == 0)
        return {};
    std::string value(size, '\0');
    value.resize(GetEnvironmentVariableA(name, value.data(), size));
    return value;
}

std::string formatted(const char* format, const std::string& value)
{
    const int size = std::snprintf(nullptr, 0, format, value.c_str());
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, value.c_str());
    text.resize(static_cast<std::size_t>(size));
    return text;
}

// The command line as the launcher's own splitter and argument-file reader give it.
std::vector<std::string> splitCommandLine()
{
    // The JDK's launcher takes the UTF-16 command line into the ANSI code page without best-fit
    // replacements, then splits that.
    const wchar_t* wide = GetCommandLineW();
    constexpr DWORD flags = WC_NO_BEST_FIT_CHARS | WC_COMPOSITECHECK | WC_DEFAULTCHAR;
    const int size = WideCharToMultiByte(CP_ACP, flags, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, flags, wide, -1, ansi.data(), size, nullptr, nullptr);
    JLI_InitArgProcessing(JNI_FALSE, JNI_FALSE);
    JLI_CmdToArgs(ansi.data());
    std::vector<std::string> all;
    const StdArg* arguments = JLI_GetStdArgs();
    for (int i = 1; i < JLI_GetStdArgc(); ++i)
        all.emplace_back(arguments[i].arg);
    return all;
}

} // namespace

bool takesSeparateValue(const std::string& option)
{
    return kSeparateValueOptions.count(option) != 0;
}

Arguments readArguments()
{
    Arguments read;
    read.all = splitCommandLine();
    std::optional<std::string> classPath;
    std::size_t i = 0;
    for (; i < read.all.size(); ++i) {
        const std::string& argument = read.all[i];
        if (argument.empty() || argument[0] != '-')
            break;
        read.options.push_back(argument);
        if (argument == "-jar" || argument == "-m" || argument == "--module") {
            read.error = "the stand-in starts a main class only, not " + argument;
            return read;
        }
        if (!takesSeparateValue(argument)) {
            if (argument.rfind(kClassPathEquals, 0) == 0)
                classPath = argument.substr(sizeof(kClassPathEquals) - 1);
            continue;
        }
        if (i + 1 == read.all.size()) {
            read.error = formatted(kMissingClassPathFormat, argument);
            return read;
        }
        read.options.push_back(read.all[++i]);
        if (kClassPathOptions.count(argument))
            classPath = read.all[i];
    }
    if (i == read.all.size()) {
        read.error = "no main class: the launcher prints its usage and ends with 1";
        return read;
    }
    read.mainClass = read.all[i];
    read.parameters.assign(read.all.begin() + static_cast<std::ptrdiff_t>(i) + 1, read.all.end());
    read.classPath = classPath ? *classPath : environmentValue("CLASSPATH");
    return read;
}

} // namespace java_launcher

extern "C" jboolean IsWhiteSpaceOption(const char* name)
{
    return java_launcher::takesSeparateValue(name) ? JNI_TRUE : JNI_FALSE;
}

extern "C" void JLI_ReportMessage(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int size = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.resize(static_cast<std::size_t>(size > 0 ? size : 0));
    if (java_launcher::reportMessage)
        java_launcher::reportMessage(text);
}
