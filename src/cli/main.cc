#include "cli/commandline.h"
#include "editor/cui.h"

#include <clocale>

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    if (argc < 2)
        cui();
    else
        commandline(argc, argv);
    return 0;
}
