// The curses session as the till's screens expect it.
#pragma once

#include <string>

#include "tui/screen.h"

// Ends the process with one "Error: " line and status 1 unless standard input
// and output are a terminal whose type can move the cursor, at least `need`
// in size.  It writes nothing to the terminal, so it comes before anything
// else is done; the session then keeps to `need` when the window is resized.
void require_terminal(screen_size need);

// Puts the terminal into full-screen mode: keys one by one and unechoed, Enter
// untranslated, the two colour pairs every widget draws with, and a short
// Escape delay so that a lone Escape does not feel like a hang: 10 ms unless
// ESCDELAY in the environment says otherwise (a slow link, where an arrow
// key's bytes come apart, needs more).
void init();

// `count` blanks; none for zero or a negative count.
std::string space(int count);
