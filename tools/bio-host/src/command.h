// The commands bio-host takes on standard input, one a line, and their parser.
#pragma once

#include <string>

namespace bio_host {

enum class CommandKind {
    none,  // blank line or comment: nothing to do
    help,
    enable,            // "bio_module_enable"
    disable,           // "bio_module_disable"
    catra,             // "catra_event" with int field "event" = number
    config,            // set key (of section) to value through the store, announced on the bus
    templates_add,     // insert `number` rows into the templates table
    templates_delete,  // delete up to `number` rows of the templates table
    users_add,
    users_delete,
    identification,  // switch identification by the module on (flag) or off
    broadcast,       // "identifier_broadcast_identifier_id", reply printed
    status,
    sleep,        // wait `number` milliseconds before the next command (scripts)
    wait_frames,  // wait until the virtual sensor has delivered `number` frames
    quit,
};

struct Command {
    CommandKind kind = CommandKind::none;
    long long number = 0;
    bool flag = false;
    std::string section;  // config: "bio_module" unless given as SECTION.KEY
    std::string key;
    std::string value;
};

// Result of parsing one line: a command, or an error text for the user.
struct ParsedCommand {
    bool ok = false;
    Command command;
    std::string error;
};

// Parses one line. Words are separated by blanks; case matters. Counts of rows are 1 to
// 1000000, catra events any int, sleeps 0 to 600000 ms, frame counts 1 to 10^9.
// "config KEY VALUE" takes the rest of the line after KEY as the value (`""` is the empty
// value); KEY may be SECTION.KEY.
ParsedCommand parse_command(const std::string& line);

// The text printed by "help".
const char* command_help();

}  // namespace bio_host
