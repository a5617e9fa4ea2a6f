"""The lines of install.cfg and remove.cfg, and the argument files that carry JVM options."""
import re

from .classpath import is_relative
from .limits import CLASS_SLOTS, CONFIG_HEAD, DELETE_SLOTS, LONG_LINE, SHORT_LINE, quoted
from .names import component_problem

# From Java 9 on the launcher expands an argument "@file" before the main class into the
# arguments the file holds, so JVM options of any length reach it from a file beside the
# process; an older launcher takes "@file" for the class.
ARGFILE_RELEASE = 9
# What an option may hold unquoted in an argument file: the launcher splits at white space,
# takes '#' for the start of a comment and quotes for quoting, and reads backslashes as escapes
# inside quotes.
ARGFILE_PLAIN = re.compile(r'[^\s"\'#\\]+\Z')


def check_config_text(what, text, room, refusals, digit_allowed=True):
    """Refuses a text that cannot stand in install.cfg where room characters are left for it."""
    if not text:
        refusals.add(what, "is empty, and an empty line ends a section")
    elif any(not " " <= c <= "~" for c in text):
        refusals.add(what, "holds characters outside plain ASCII; install reads install.cfg in the ANSI "
                           "code page of the machine it runs on")
    elif text[0] == " ":
        refusals.add(what, "begins with a blank, and a line that begins with a blank ends a section")
    elif not digit_allowed and text[0].isdigit():
        refusals.add(what, "begins with a digit; install takes every leading digit and blank of the line "
                           "for its slot number")
    elif len(text) > room:
        refusals.add(what, f"is {len(text)} characters long; its line leaves room for {room}")


def path_entries(option, entries, refusals):
    """The [CLASSPATH] or [PATH] lines for the entries given, each ending in ';'."""
    lines = []
    for entry in entries:
        entry = entry[:-1] if entry.endswith(";") else entry
        what = f"{option} {quoted(entry)}"
        if ";" in entry:
            refusals.add(what, "holds a ';'; give every entry on its own")
            continue
        check_config_text(what, entry, SHORT_LINE - 1, refusals)
        lines.append(entry + ";")
    return lines


def common_files(option, header, entries, refusals):
    """The lines of a delete list: files below the common directory, which ends in a backslash."""
    if len(entries) > DELETE_SLOTS[header]:
        refusals.add(option, f"{len(entries)} files; {header} has {DELETE_SLOTS[header]} slots")
    for entry in entries:
        what = f"{option} {quoted(entry)}"
        parts = entry.split("\\")
        problems = [problem for problem in map(component_problem, parts) if problem]
        if not is_relative(entry) or any(part in ("", ".", "..") for part in parts):
            refusals.add(what, "is not a path below the common directory, such as kp\\lib\\old.jar")
        elif problems:
            refusals.add(what, problems[0])
        check_config_text(what, entry, LONG_LINE, refusals)
    return list(entries)




def argfile_text(options):
    """An argument file of the options, one to a line, quoted where the launcher would split or
    unescape them."""
    lines = []
    for option in options:
        if ARGFILE_PLAIN.match(option):
            lines.append(option)
        else:
            lines.append('"' + option.replace("\\", "\\\\").replace('"', '\\"') + '"')
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def inline_options(options):
    """The options as they stand on a [CLASS] line for a launcher that reads no argument file:
    the line goes into its command line as it is, so an option with a blank is quoted."""
    return " ".join(f'"{option}"' if " " in option else option for option in options)


# The options the java tool documents as taking their value as the next argument.
SEPARATE_VALUE_OPTIONS = {"--add-opens", "--add-exports", "--add-reads", "--add-modules", "--patch-module",
                          "--limit-modules", "--enable-native-access", "--module-path", "-p",
                          "--upgrade-module-path", "-cp", "-classpath", "--class-path"}


def option_problem(option, is_value=False):
    """Why a JVM option (or, with is_value, the value of the option before it) cannot be handed
    to the launcher, or None."""
    if not is_value and (not option or option[0] != "-"):
        return "does not begin with '-': the launcher would take it for the main class"
    if any(not " " <= c <= "~" for c in option):
        return "holds characters outside plain ASCII; the launcher reads it in the code page of the machine"
    return None


def class_lines(given, label, java_release, argfile_name, refusals):
    """The [CLASS] and [PARAMETERS] lines of the classes given as (text, parameter, options),
    and the argument files {name: bytes} their options need. label names the options
    (--class or --remove-class); argfile_name gives the file's name for a slot."""
    parameter_label = label.replace("class", "parameter")
    if len(given) > CLASS_SLOTS:
        refusals.add(label, f"{len(given)} classes; [CLASS] has {CLASS_SLOTS} slots")
    classes, parameters, argfiles = [], [], {}
    for slot, (name, parameter, options) in enumerate(given):
        what = f"{label} {quoted(name)}"
        for index, option in enumerate(options):
            # The value of an option such as --add-opens is the next --jvm-option.
            is_value = index > 0 and options[index - 1] in SEPARATE_VALUE_OPTIONS and not (
                index > 1 and options[index - 2] in SEPARATE_VALUE_OPTIONS)
            problem = option_problem(option, is_value)
            if not problem and option in SEPARATE_VALUE_OPTIONS and not is_value and index + 1 == len(options):
                problem = "takes its value as the next --jvm-option, and none follows"
            if problem:
                refusals.add(f"--jvm-option {quoted(option)} of {what}", problem)
        line = name
        if options and java_release is not None and java_release >= ARGFILE_RELEASE:
            argfiles[argfile_name(slot)] = argfile_text(options)
            line = f"@{argfile_name(slot)} {name}"
        elif options:
            line = f"{inline_options(options)} {name}"
            if any('"' in option for option in options):
                refusals.add(what, "has a --jvm-option with a quote, which a [CLASS] line cannot carry")
            elif len(line) > SHORT_LINE:
                runtime = "a Java runtime older than 9" if java_release else "a Java runtime whose release file " \
                          "does not say its version"
                refusals.add(what, f"with its --jvm-option values makes a [CLASS] line of {len(line)} characters; "
                                   f"its line leaves room for {SHORT_LINE}, and {runtime} reads no argument file")
                line = name
        check_config_text(what, line if line == name else name, SHORT_LINE - (len(line) - len(name)), refusals)
        classes.append(line)
        if parameter is not None:
            check_config_text(f"{parameter_label} {quoted(parameter)}", parameter, SHORT_LINE - len(f"{slot} "),
                              refusals, digit_allowed=False)
            parameters.append(f"{slot} {parameter}")
    return classes, parameters, argfiles


def config_text(sections):
    """install.cfg: a free-text line, then every section with entries, each ended by an empty line
    so that no header ever follows a section's entries directly."""
    lines = [CONFIG_HEAD]
    for header, entries in sections:
        if entries:
            lines += ["", header] + entries
    return "\r\n".join(lines + [""]) + "\r\n"
