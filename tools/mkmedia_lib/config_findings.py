"""Where install's reading of a configuration (config_reading) differs from the one its writer
meant: the lines install would split, ignore, read into another section or slot, or read
otherwise than written. Each finding names its line and says what install does with it.

The writer's reading: a line that is a header once blanks and tabs around it are taken off
starts that section, a line of nothing but blanks and tabs ends it, the lines between are its
entries, and lines outside sections are free text."""
from .config_reading import (END, END_OF_FILE, ENTRY, FULL, HEADER, INDEXED, LONG_LISTS, NO_SLOT, PATH_SECTIONS,
                             SEQUENTIAL, SKIPPED, TEXT, Reading, header_of, slot_value)
from .classpath import is_relative
from .limits import DELETE_SLOTS, LONG_LINE, SHORT_LINE, quoted

# The writer's reading of a line.
EMPTY, HEADER_LINE, UNKNOWN_HEADER, ENTRY_LINE, TEXT_LINE = "empty", "header", "unknown header", "entry", "text"
BLANKS = " \t"
IGNORED_NO_SLOT = "'Configuration line ignored, no slot for its index'"
IGNORED_FULL = "'Configuration line ignored, its table is full'"


class Meant:
    def __init__(self, number, text, kind, section=None, header_line=None):
        self.number, self.text, self.kind, self.section, self.header_line = number, text, kind, section, header_line


def physical_lines(text):
    lines = text.replace("\r\n", "\n").split("\n")
    return lines[:-1] if lines and lines[-1] == "" else lines


def end_of_file_line(text):
    """The line of a Ctrl-Z that install stops reading at, when more than blanks comes after it."""
    before, mark, after = text.replace("\r\n", "\n").partition(END_OF_FILE)
    if not mark or not after.strip(BLANKS + "\n\r" + END_OF_FILE):
        return None
    return before.count("\n") + 1


def meant_lines(text):
    """Every line as its writer meant it."""
    meant, section, header_line = [], None, None
    for number, line in enumerate(physical_lines(text), 1):
        bare = line.replace(END_OF_FILE, "").strip(BLANKS)
        header = header_of(bare)
        if not bare:
            meant.append(Meant(number, line, EMPTY))
            section = None
        elif header:
            meant.append(Meant(number, line, HEADER_LINE, header))
            section, header_line = (None if header == "[NO_VERSION_FILES]" else header), number
        elif bare.startswith("[") and bare.endswith("]"):
            meant.append(Meant(number, line, UNKNOWN_HEADER))
            section = UNKNOWN_HEADER
        elif section in (None, UNKNOWN_HEADER):
            meant.append(Meant(number, line, TEXT_LINE))
        else:
            meant.append(Meant(number, line, ENTRY_LINE, section, header_line))
    return meant


def line_limit(section):
    return LONG_LINE if section in LONG_LISTS else SHORT_LINE


def what_install_does(read, it="it"):
    """What install does with a piece, as the rest of a sentence that begins with "install"; it
    names the piece."""
    section, slot = read.section, read.slot
    if read.role in (SKIPPED, TEXT):
        return f"ignores {it} as free text"
    if read.role == HEADER:
        return f"reads {it} as the header {section}"
    if read.role == END:
        return f"takes {it} for the end of {section}"
    if read.role == NO_SLOT:
        return f"ignores {it} as a line of {section} without a slot of its own ({IGNORED_NO_SLOT})"
    if read.role == FULL:
        return f"ignores {it}, [CLASS] having {SEQUENTIAL['[CLASS]']} slots ({IGNORED_FULL})"
    value = quoted(slot_value(read.text))
    return {
        "[CLASS]": f"starts a Java process with {it} as the [CLASS] line of slot {slot}",
        "[PARAMETERS]": f"gives {value} as the parameter to the class of slot {slot}",
        "[SPLASH_BITMAP]": f"takes {value} for the splash bitmap of slot {slot}",
        "[REMOVE_FILES]": f"takes {value} for the [REMOVE_FILES] flag",
        "[CLASSPATH]": f"takes {it} for a class-path entry",
        "[PATH]": f"takes {it} for a search-path entry",
        "[ZIP_FILES]": f"takes {it} for the archive of slot {slot} to unpack",
    }.get(section, f"takes {it} for a file of {section} to delete below the common folder")


class Judge:
    """The findings of one configuration, at most one per line, the first cause winning."""

    def __init__(self, text):
        self.reading = Reading(text)
        self.meant = {line.number: line for line in meant_lines(text)}
        self.reads = {}
        for read in self.reading.reads:
            self.reads.setdefault(read.line, []).append(read)
        self.findings = {}
        self.top_reasons = self.why_at_top_level()
        self.end_of_file = end_of_file_line(text)

    def add(self, number, problem):
        self.findings.setdefault(number, problem)

    def content(self, number):
        """The reads of a line's text: the bare line end of a line that filled the buffer is the
        next read's business, not the line's."""
        return [read for read in self.reads.get(number, []) if read.piece.column == 0 or read.text]

    def why_at_top_level(self):
        """For each read at the top level after a section, why install left that section."""
        reasons, why, previous = {}, None, None
        for read in self.reading.reads:
            if read.role == HEADER:
                why = None
            elif read.role == END:
                if read.piece.column:
                    why = (f"line {read.line} has exactly {line_limit(read.section) + 1} characters, so its line end "
                           f"arrives alone and ends {read.section}")
                elif read.text:
                    why = f"line {read.line} begins with a blank, which ends {read.section}"
                else:
                    why = f"the empty line {read.line} ends {read.section}"
            elif previous is not None and previous.role == ENTRY and previous.section in LONG_LISTS and \
                    previous.slot == LONG_LISTS[previous.section] - 1 and read.role in (TEXT, SKIPPED):
                why = f"{previous.section} has {LONG_LISTS[previous.section]} slots, all taken above it"
            reasons[id(read)] = why
            previous = read
        return reasons

    def header_cause(self, meant):
        """Why install is not in the section meant for an entry, when its header is to blame."""
        number = meant.header_line
        first = self.content(number)[0]
        if first.role == HEADER and first.section == meant.section:
            return None
        if first.role == TEXT:
            return f"its header at line {number} is not the header alone"
        if first.role == END:
            return f"its header at line {number} begins with a blank, which ends {first.section} instead"
        return f"its header at line {number} follows the entries of {first.section} without an empty line"

    def judge(self):
        for number, meant in self.meant.items():
            if self.end_of_file and number >= self.end_of_file:
                if number == self.end_of_file:
                    self.add(number, "holds a Ctrl-Z, which ends the file for install (it reads it in the C "
                                     "runtime's text mode): install reads nothing after it")
                elif meant.text.strip(BLANKS + END_OF_FILE):
                    self.add(number, f"comes after the Ctrl-Z of line {self.end_of_file}: install does not read it")
                continue
            reads = self.content(number)
            problem = reads and self.line_problem(meant, reads)
            if problem:
                self.add(number, problem)
            elif any(not " " <= c <= "~" for c in meant.text.replace("\t", "").replace(END_OF_FILE, "")):
                self.add(number, "holds characters outside plain ASCII; install reads it in the code page of the "
                                 "machine it runs on")
        self.judge_tables()
        return sorted(self.findings.items())

    def line_problem(self, meant, reads):
        first = reads[0]
        shown = quoted(meant.text)
        if meant.kind == EMPTY:
            taken = [read for read in reads if read.role in (ENTRY, NO_SLOT, FULL)]
            if taken:
                return (f"{shown} holds only blanks and tabs, and does not end {taken[0].section} when a tab comes "
                        f"first: install {what_install_does(taken[0])}")
            return None
        if meant.kind == HEADER_LINE:
            if len(reads) == 1 and first.role == HEADER:
                return None
            if first.role == TEXT:
                under = "" if meant.section == "[NO_VERSION_FILES]" else \
                    f", and reads the lines under it as free text, not as {meant.section}"
                return f"{shown} is not the header alone (a blank or tab before or after it): install ignores it{under}"
            if first.role == END:
                return (f"{shown} begins with a blank: install takes it for the end of {first.section}, not for a "
                        f"header, and reads the lines under it as free text")
            return (f"{shown} follows the entries of {first.section} without an empty line between: install "
                    f"{what_install_does(first)}, and reads the lines under it as {first.section} too")
        if meant.kind == UNKNOWN_HEADER:
            if first.role in (TEXT, SKIPPED):
                return f"{shown} is no header install knows: install ignores it and the lines under it"
            return f"{shown} is no header install knows: install {what_install_does(first)}"
        if meant.kind == TEXT_LINE:
            for read in reads:
                if read.role == HEADER:
                    return (f"is longer than {SHORT_LINE} characters, and install reads its piece "
                            f"{quoted(read.text)} as the header {read.section}")
                if read.role in (ENTRY, NO_SLOT, FULL):
                    return (f"{shown} comes before the end of {read.section} (only an empty line, or one that begins "
                            f"with a blank, ends a section): install {what_install_does(read)}")
            return None
        return self.entry_problem(meant, reads)

    def entry_problem(self, meant, reads):
        first, section = reads[0], meant.section
        shown = quoted(meant.text)
        if first.role in (TEXT, SKIPPED):
            cause = self.header_cause(meant) or self.top_reasons.get(id(first)) or f"{section} has ended above it"
            return f"{shown} is meant for {section}, but {cause}: install {what_install_does(first)}"
        if first.section != section:
            cause = self.header_cause(meant) or f"{first.section} has not ended above it"
            return f"{shown} is meant for {section}, but {cause}: install {what_install_does(first)}"
        if len(reads) > 1:
            rest = "".join(read.text for read in reads[1:])
            return (f"is {len(meant.text)} characters long, more than the {line_limit(section)} a line of {section} "
                    f"holds: install {what_install_does(first, f'its first {len(first.text)} characters')}, and "
                    f"{what_install_does(reads[1], f'the rest, {quoted(rest)},')}")
        if first.role == END:
            return (f"{shown} begins with a blank: install takes it for the end of {section}, and reads neither it "
                    f"nor the lines after it as {section}")
        if first.role == FULL:
            return f"{shown} is past the {SEQUENTIAL[section]} slots of {section}: install ignores it ({IGNORED_FULL})"
        if first.role == NO_SLOT:
            if meant.text[0] == "\t":
                return f"{shown} begins with a tab, not with its slot digit: install ignores it ({IGNORED_NO_SLOT})"
            if meant.text[0].isdigit():
                return f"{shown}: {section} has only slot 0, and install ignores the others ({IGNORED_NO_SLOT})"
            return f"{shown} does not begin with its slot digit: install ignores it ({IGNORED_NO_SLOT})"
        return self.value_problem(first)

    def value_problem(self, read):
        text, section = read.text, read.section
        shown = quoted(text)
        if section in INDEXED:
            value = slot_value(text)
            if any(c.isdigit() for c in text[1:len(text) - len(value)]):
                return (f"{shown}: its text begins with a digit, which install takes for part of the slot number, "
                        f"so it arrives as {quoted(value)}")
            if section == "[SPLASH_BITMAP]" and read.slot != 0:
                return f"{shown}: install shows only the bitmap of slot 0"
            if section == "[REMOVE_FILES]" and value.lower() not in ("true", "false"):
                return f"{shown}: install removes the trees only for 'true', and takes {quoted(value)} for not true"
            return None
        # The launcher splits a [CLASS] line at tabs as at blanks; a path keeps its tab.
        if text.startswith("\t") and section != "[CLASS]":
            return (f"{shown} begins with a tab: install keeps the tab in the " +
                    ("archive's folder, which cannot be entered" if section == "[ZIP_FILES]" else
                     "path, which then names nothing"))
        if section in PATH_SECTIONS:
            if ";" in text.rstrip(BLANKS)[:-1]:
                return (f"{shown} holds more than one entry: install makes the line absolute as a whole, so the "
                        f"entries after its first ';' stay relative to the folder each Java process starts in")
            if text != text.rstrip(BLANKS):
                return (f"{shown} ends in blanks or tabs: install keeps them, and they go before the next entry "
                        f"of the {section} or name an entry of their own")
            joined = self.joined_to(read)
            if joined:
                return (f"{shown} does not end in ';': install joins it to the entry of line {joined.line}, and the "
                        f"joined entry names nothing")
        if section == "[ZIP_FILES]" and "\\" not in text:
            return f"{shown} has no folder part: write it as folder\\archive, as kp\\zip\\a.zip"
        if section in DELETE_SLOTS and (not is_relative(text) or
                                        any(part in ("", ".", "..") for part in text.split("\\"))):
            return f"{shown} is not a path below the common folder: install does not delete it"
        return None

    def joined_to(self, read):
        """The next [CLASSPATH] entry of the same section, or the next [PATH] entry of any,
        that install joins to a piece without a closing ';'."""
        if read.text.endswith(";"):
            return None
        later = False
        for header, entries in self.reading.path_sections:
            if header != read.section:
                continue
            for entry in entries:
                if later:
                    return entry
                later = entry is read
            if later and header == "[CLASSPATH]":
                return None
        return None

    def judge_tables(self):
        """Lines whose slot a later line takes, and parameters that no class gets."""
        for (section, slot), writers in self.reading.writers.items():
            last = writers[-1]
            for read in writers[:-1]:
                again = "a section that comes again starts at its first slot" if section not in INDEXED else \
                    f"it gives slot {slot} again"
                self.add(read.line, f"{quoted(read.text)}: install replaces it by line {last.line}, as {again}")
        # Against the classes the writer gave: a class install lost has a finding of its own.
        classes = sum(1 for meant in self.meant.values() if meant.kind == ENTRY_LINE and meant.section == "[CLASS]")
        for slot, read in enumerate(self.reading.slots["[PARAMETERS]"]):
            if read is not None and slot_value(read.text) and slot >= classes:
                self.add(read.line, f"{quoted(read.text)} is for slot {slot}, where [CLASS] has no class: install "
                                    f"gives it to no Java process")


def config_findings(text):
    """(line number, problem) of every line install would read otherwise than written."""
    return Judge(text).judge()
