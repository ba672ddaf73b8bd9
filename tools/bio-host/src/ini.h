// A small INI reader for bio-host's configuration files: sections, key = value lines, comments.
// (Boost.PropertyTree's read_ini accepts and refuses other files and has no line numbers.)
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace bio_host {

// One "key = value" line, in file order.
struct IniEntry {
    std::string section;
    std::string key;
    std::string value;
    int line = 0;
};

// A syntax error; what() reads "<origin>:<line>: <reason>".
class IniError : public std::runtime_error {
public:
    IniError(const std::string& origin, int line, const std::string& reason);
    int line() const noexcept { return line_; }

private:
    int line_;
};

// Parses INI text:
//   [section]            starts a section (names: letters, digits, '_', '-', '.')
//   key = value          a value; blanks around key and value are dropped
//   key = "text"         a quoted value keeps its blanks; "" is the empty value
//   ; comment, # comment whole-line comments; blank lines are ignored
// A value may itself contain ';' or '#': comments only take whole lines.
// Raises IniError (naming `origin` and the line) for a key outside a section, a line
// without '=', an empty key, a bad section header, an unterminated quote and a key given
// twice in one section.
std::vector<IniEntry> parse_ini(const std::string& text, const std::string& origin = "<text>");

// Reads and parses the file at `path`; raises std::runtime_error when it cannot be read and
// IniError on a syntax error.
std::vector<IniEntry> read_ini_file(const std::string& path);

// A value's address as users write it: "SECTION.KEY" split at the first '.', or a bare KEY in
// `default_section`. Either part may come out empty ("a." or ".b"); the line number is 0.
IniEntry section_and_key(const std::string& name, const std::string& default_section);

// One --set of the command line: "KEY=VALUE" in `default_section`, or "SECTION.KEY=VALUE",
// the value read as in a file (blanks around it dropped, "" the empty value, "text" keeps its
// blanks). Raises std::runtime_error for a missing '=', an empty section or key, or an
// unterminated quote.
IniEntry parse_set(const std::string& assignment, const std::string& default_section);

// Refuses an entry of a section or key that the module does not read (docs/configuration.md's
// tables): raises std::invalid_argument "unknown key 'bsise' in [bio_module] (did you mean
// 'bsize'?)" or "unknown section [bio_modul] (did you mean [bio_module]?)", with the nearest
// known name.
void check_known_key(const IniEntry& entry);

// The candidate nearest to `word` by edit distance (insertions, deletions, substitutions of
// one character; the first of equals); empty when there is none.
std::string nearest_word(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace bio_host
