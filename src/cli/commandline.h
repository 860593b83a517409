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
    command_json = 20,
    command_dry_run = 21,
    command_reason = 22,
    command_history = 25,
    command_operator = 26,
    command_init = 27,
};

// The long options getopt_long is given, ended by the all-zero record.
std::vector<option> long_options();

// Parses the options and runs exec() on the file named by the one
// non-option argument.  --help and --version print their text and end the
// process.  An option getopt_long rejects, and a missing or second file name,
// end it with status 1 before anything is read or written.
void commandline(int argc, char** argv);

// Carries out the commands on `file`: check every value given, stat, verify,
// create or load, set in ascending command number, print, save when anything
// but --print, --json, --verify, --dry-run or --reason was asked for.  A
// value not wholly of its form, and damage found by --verify, end the run
// with status 1 before anything is changed.  --undo puts the kept image back
// in place of create, set and save, and takes neither.  --dry-run does all of
// it in memory and writes nothing: it prints each value the run would change.
// --reason goes into the log line of the change.
void exec(std::map<int, std::string> commands, std::string file);
