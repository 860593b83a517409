// The full-screen editor over the till's register file.
#pragma once

// Runs the whole editing session; returns after the user has left.
void cui();
