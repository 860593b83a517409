// The command-line road: long options into a command map, then the commands
// carried out on one register file.
#pragma once

#include <getopt.h>

#include <map>
#include <string>
#include <vector>

// Command numbers, the keys of the command map.
enum command : int {
    command_print = 1,
    command_create = 3,
    // 4..15: the set options, in the order of set_options
    command_help = 16,
    command_version = 17,
    command_verify = 18,
    command_undo = 19,
};

// The long options getopt_long is given, ended by the all-zero record.
std::vector<option> long_options();

// Parses the options and runs exec() on the file named by the last
// non-option argument.  --help and --version print their text and end the
// process.
void commandline(int argc, char** argv);

// Carries out the commands on `file`: stat, verify, create or load, set in
// ascending command number, print, save when anything but --print or
// --verify was asked for.  Damage found by --verify ends the run with
// status 1 before anything is changed.  --undo puts the kept image back in
// place of create, set and save, and takes neither.
void exec(std::map<int, std::string> commands, std::string file);
