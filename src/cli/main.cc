#include "cli/commandline.h"
#include "editor/cui.h"

int main(int argc, char** argv) {
    if (argc < 2)
        cui();
    else
        commandline(argc, argv);
    return 0;
}
