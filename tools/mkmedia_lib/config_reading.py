"""install.cfg and remove.cfg as install.exe reads them (install/config.cpp), piece by piece: what
it did with every piece of every line, and the tables it filled. Nothing here judges; the
findings compare this reading with the one the writer meant (config_findings)."""
from .limits import CLASS_SLOTS, DELETE_SLOTS, LONG_LINE, SHORT_LINE, ZIP_SLOTS

HEADERS = ("[CLASSPATH]", "[PATH]", "[PARAMETERS]", "[CLASS]", "[SPLASH_BITMAP]", "[REMOVE_FILES]", "[ZIP_FILES]",
           "[DELETE_COMMON_FILES]", "[POST_DELETE_COMMON_FILES]", "[NO_VERSION_FILES]")
PATH_SECTIONS = ("[CLASSPATH]", "[PATH]")
# Tables filled by the slot digit that begins a line, and their slots.
INDEXED = {"[PARAMETERS]": CLASS_SLOTS, "[SPLASH_BITMAP]": CLASS_SLOTS, "[REMOVE_FILES]": 1}
# [CLASS] fills its slots in order and ignores the lines past them, reading on to the section's
# end; the long lists stop after their last slot and leave the lines after it to the top level.
SEQUENTIAL = {"[CLASS]": CLASS_SLOTS}
LONG_LISTS = {"[ZIP_FILES]": ZIP_SLOTS} | DELETE_SLOTS
# What one read takes at most (install's buffers of 80 and 128 bytes, less the terminator): a line
# of 78 (126) characters with its line end, or the first 79 (127) characters of a longer line.
SHORT_BUFFER = SHORT_LINE + 1
LONG_BUFFER = LONG_LINE + 1
# The C runtime's text mode ends the file at the first Ctrl-Z.
END_OF_FILE = "\x1a"

# What install did with a piece.
SKIPPED = "skipped"   # a bare line end at the top level
TEXT = "text"         # free text at the top level
HEADER = "header"     # a section's header
ENTRY = "entry"       # an entry of a section, in a slot (None in [CLASSPATH] and [PATH])
END = "end"           # the empty or blank-led line that ended a section, consumed with it
NO_SLOT = "no slot"   # an indexed line without a slot of its table: "Configuration line ignored, no slot ..."
FULL = "full"         # a [CLASS] line past its slots: "Configuration line ignored, its table is full"

ASCII_UPPER = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")


def header_of(text):
    """The header a text is, compared as install compares, or None."""
    upper = text.translate(ASCII_UPPER)
    return upper if upper in HEADERS else None


class Piece:
    """What one read gave: the text without its line end, whether the line end came with it, and
    the line it came from with the column it began at."""

    def __init__(self, text, whole, line, column):
        self.text, self.whole, self.line, self.column = text, whole, line, column


class Read:
    """What install did with one piece."""

    def __init__(self, piece, role, section=None, slot=None):
        self.piece, self.role, self.section, self.slot = piece, role, section, slot

    @property
    def line(self):
        return self.piece.line

    @property
    def text(self):
        return self.piece.text


class Pieces:
    """The text as install reads it: in the C runtime's text mode (CR LF becomes LF, Ctrl-Z ends
    the file), a line at a time into a buffer of a fixed size, so a longer line arrives in pieces
    and a line that fills the buffer exactly leaves its line end to arrive alone."""

    def __init__(self, text):
        self.text = text.replace("\r\n", "\n").split(END_OF_FILE, 1)[0]
        self.at = 0
        self.line = 1
        self.column = 0

    def next(self, size):
        if self.at >= len(self.text):
            return None
        end = self.text.find("\n", self.at)
        end = len(self.text) if end < 0 else end
        if end - self.at >= size:
            piece = Piece(self.text[self.at:self.at + size], False, self.line, self.column)
            self.at += size
            self.column += size
            return piece
        piece = Piece(self.text[self.at:end], True, self.line, self.column)
        self.at = end + 1
        self.line += 1
        self.column = 0
        return piece


def ends_section(piece):
    """An empty line, the bare line end of a line that filled the buffer, or a line that begins
    with a blank ends a section."""
    return (piece.text == "" and piece.whole) or piece.text.startswith(" ")


class Reading:
    """Every piece of a configuration with what install did with it, and the tables as install
    leaves them: for each slot the text and the reads that wrote it, the last one winning."""

    def __init__(self, text):
        self.reads = []
        self.slots = {section: [None] * count for section, count in (INDEXED | SEQUENTIAL | LONG_LISTS).items()}
        # The entries of each [CLASSPATH] and [PATH] section: install joins a section's pieces
        # into one text and splits it at ';'.
        self.path_sections = []
        self.writers = {}
        self.no_version_files = False
        pieces = Pieces(text)
        while (piece := pieces.next(SHORT_BUFFER)) is not None:
            if piece.text == "" and piece.whole:
                self.reads.append(Read(piece, SKIPPED))
                continue
            header = header_of(piece.text)
            if header is None:
                self.reads.append(Read(piece, TEXT))
                continue
            self.reads.append(Read(piece, HEADER, header))
            if header == "[NO_VERSION_FILES]":
                self.no_version_files = True
            elif header in PATH_SECTIONS:
                self.read_path_section(pieces, header)
            elif header in LONG_LISTS:
                self.read_long_list(pieces, header)
            else:
                self.read_list(pieces, header)

    def fill(self, read):
        self.reads.append(read)
        self.writers.setdefault((read.section, read.slot), []).append(read)
        self.slots[read.section][read.slot] = read

    def read_path_section(self, pieces, header):
        entries = []
        while (piece := pieces.next(SHORT_BUFFER)) is not None:
            if ends_section(piece):
                self.reads.append(Read(piece, END, header))
                break
            entries.append(Read(piece, ENTRY, header))
            self.reads.append(entries[-1])
        self.path_sections.append((header, entries))

    def read_list(self, pieces, header):
        next_slot = 0
        while (piece := pieces.next(SHORT_BUFFER)) is not None:
            if ends_section(piece):
                self.reads.append(Read(piece, END, header))
                return
            if header in SEQUENTIAL:
                if next_slot < SEQUENTIAL[header]:
                    self.fill(Read(piece, ENTRY, header, next_slot))
                    next_slot += 1
                else:
                    self.reads.append(Read(piece, FULL, header))
                continue
            first = piece.text[0]
            if first in "0123456789" and int(first) < INDEXED[header]:
                self.fill(Read(piece, ENTRY, header, int(first)))
            else:
                self.reads.append(Read(piece, NO_SLOT, header))

    def read_long_list(self, pieces, header):
        for slot in range(LONG_LISTS[header]):
            piece = pieces.next(LONG_BUFFER)
            if piece is None:
                return
            if ends_section(piece):
                self.reads.append(Read(piece, END, header))
                return
            self.fill(Read(piece, ENTRY, header, slot))

    def value(self, section, slot):
        """The text of a slot as install keeps it: an indexed line without what begins it, up to
        the first character that is neither a digit nor a blank; None for an empty slot."""
        read = self.slots[section][slot]
        if read is None:
            return None
        if section in INDEXED:
            return slot_value(read.text)
        return read.text

    def entries(self, section):
        """The texts of a table's slots up to its first empty one, as install walks it."""
        found = []
        for slot in range(len(self.slots[section])):
            value = self.value(section, slot)
            if not value:
                break
            found.append(value)
        return found

    def path_lines(self, section):
        """The entries of every [CLASSPATH] or [PATH] section, as install splits each section's
        text at ';', with the read each one began in."""
        found = []
        for header, entries in self.path_sections:
            if header == section:
                found += split_path_section(entries)
        return found


def slot_value(text):
    """What install keeps of an indexed line: everything after its leading digits and blanks."""
    return text.lstrip("0123456789 ")


def split_path_section(entries):
    """(entry text, first read, reads) of a [CLASSPATH] or [PATH] section: install joins the
    section's pieces, each made absolute alone, and splits the whole at ';'."""
    found, text, reads = [], "", []
    for read in entries:
        parts = read.text.split(";")
        for index, part in enumerate(parts):
            if index == 0:
                text += part
                reads.append(read)
            else:
                found.append((text, reads[0], reads))
                text, reads = part, [read]
    if text or len(reads) > 1:
        found.append((text, reads[0], reads))
    return [entry for entry in found if entry[0]]
