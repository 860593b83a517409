// The command-line road: long options into a command map, then the commands
// carried out on one register file.
#pragma once

#include <map>
#include <string>

// Command numbers, the keys of the command map.
enum command : int {
    command_print = 1,
    command_create = 3,
    // 4..15: the set options, in the order of set_options
    command_help = 16,
};

// Parses the options and runs exec() on the file named by the last
// non-option argument.  --help prints the usage text and ends the process.
void commandline(int argc, char** argv);

// Carries out the commands on `file`: stat, create or load, set in ascending
// command number, print, save when anything but --print was asked for.
void exec(std::map<int, std::string> commands, std::string file);
