// The full-screen editor over the till's register file.
#pragma once

// What `tarnex` does when started without arguments: it becomes the editor
// program (exec, same process), which alone links the terminal library, so
// that no run with arguments pays for loading it.  Never returns; an editor
// program that cannot be started is an "Error: " line and status 1.
[[noreturn]] void cui();

// The editing session itself, in the editor program.  Returns after the
// user has left.
void cui_session();
