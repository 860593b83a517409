// The curses session as the till's screens expect it.
#pragma once

#include <string>

// Puts the terminal into full-screen mode: keys one by one and unechoed, Enter
// untranslated, the two colour pairs every widget draws with, and a short
// Escape delay so that a lone Escape does not feel like a hang.
void init();

// Ends the curses session if one is running.  Safe to call any number of
// times and before init(), so it can be handed to on_failure and also be
// called on the normal way out.
void end_session();

// `count` blanks; none for zero or a negative count.
std::string space(int count);
