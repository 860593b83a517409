// The editor program that `tarnex` becomes when started without arguments.
#include "editor/cui.h"

int main() {
    cui_session();
    return 0;
}
