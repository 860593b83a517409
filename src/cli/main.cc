#include "cli/commandline.h"
#include "editor/cui.h"
#include "register/failure.h"

#include <fcntl.h>

int main(int argc, char** argv) {
    // A standard descriptor the caller left closed would go to the next file
    // opened, the register itself, and the printed lines into it.  Each one
    // closed is taken by the root directory, which every system has and on
    // which a read or a write fails as it failed before.
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/", O_RDONLY | O_DIRECTORY) != fd) fail("Error: can't open file /\n");
    if (argc < 2)
        cui();
    else
        commandline(argc, argv);
    return 0;
}
