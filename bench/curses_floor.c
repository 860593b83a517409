/* Does nothing, but loads ncursesw and its terminfo library as tarnex must:
 * what that costs every run, before tarnex does any work of its own. */
int main(void) { return 0; }
