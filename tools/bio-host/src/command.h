// The commands bio-host takes on standard input, one a line: one table holds each command's
// name, arguments, help text and what it does.
#pragma once

#include <iosfwd>
#include <string>

#include "format.h"

namespace bio_host {

// What the commands use of the running bio-host.
class CommandSession {
public:
    // Prints one line: `text`, or `object` as a JSON line.
    virtual void emit(const std::string& text, const Json& object) = 0;
    // The counts as they stand now.
    virtual Tally tally() = 0;

protected:
    ~CommandSession() = default;
};

struct Command;

// How the words after a command's name are read, and what a line of another shape is told.
struct CommandSyntax {
    enum Arguments {
        none,       // no word: "NAME takes no argument"
        number,     // one decimal number within [low, high]
        on_off,     // "on" or "off"
        key_value,  // KEY and the rest of the line as VALUE
    };
    Arguments arguments;
    long long low;
    long long high;
    const char* usage;  // the refusal of a line of another shape
    const char* range;  // the refusal of a malformed or out-of-range number; nullptr: usage
};

// What carrying out a command adds to its acknowledgement.
struct CommandAck {
    Json extra = Json::object();  // facts for the JSON line
    std::string note;             // for the text line, in parentheses
    bool stop = false;            // quit: read no more commands
};

// One row of the command table.
struct CommandRow {
    const char* name;   // one word, or two ("templates add")
    const char* shown;  // the arguments as help shows them
    const char* help;   // lines of help; nullptr for an alias that help leaves out
    CommandSyntax syntax;
    // Carries the command out; raises std::exception with the text of a failure.
    void (*execute)(const Command& command, CommandSession& session, CommandAck& ack);
};

// One parsed line: the command's row of the table and its arguments.
struct Command {
    const CommandRow* row = nullptr;  // nullptr: a blank line or a comment, nothing to do
    long long number = 0;
    bool flag = false;
    std::string section;  // config: "bio_module" unless given as SECTION.KEY
    std::string key;
    std::string value;

    // The command's name as help shows it ("templates add"); empty for nothing to do.
    std::string name() const;
};

// Result of parsing one line: a command, or an error text for the user.
struct ParsedCommand {
    bool ok = false;
    Command command;
    std::string error;
};

// Parses one line. Words are separated by blanks; case matters; a first word that begins
// with '#' makes a comment. Numbers are decimal with an optional sign: counts of rows 1 to
// 1000000, catra events any int, sleeps 0 to 600000 ms, frame counts 1 to 10^9.
// "config KEY VALUE" takes the rest of the line after KEY as the value (`""` is the empty
// value); KEY may be SECTION.KEY.
ParsedCommand parse_command(const std::string& line);

// The text printed by "help": a heading, then one line per command of the table.
std::string command_help();

// Reads `in` line by line and carries out each command, acknowledging it through `session`
// ("ok: LINE" or "error: ..."; JSON "ack") after the bus delivered what it sent. Returns true
// after quit, false at the end of input.
bool read_commands(std::istream& in, CommandSession& session);

}  // namespace bio_host
