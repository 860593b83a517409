#include "cli/commandline.h"
#include "editor/cui.h"
#include "tui/convert.h"

int main(int argc, char** argv) {
    convert::take_locale();
    if (argc < 2)
        cui();
    else
        commandline(argc, argv);
    return 0;
}
