/* What a save of one field must do at the least to be safe on a live till,
 * and nothing more: the register locked, read once, the field written in
 * place and one fdatasync, then the cash code file replaced through a synced
 * temporary file of a fixed name, a rename and a synced directory.  No
 * parsing, no encoding, no checks beyond the calls' results.
 *
 *   save_floor REGISTER CASHCODE_FILE
 */
#define _GNU_SOURCE /* F_OFD_SETLK */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void check(int ok, const char* what) {
    if (!ok) {
        perror(what);
        exit(1);
    }
}

int main(int argc, char** argv) {
    check(argc == 3, "usage: save_floor REGISTER CASHCODE_FILE");
    static const unsigned char shift[2] = {5, 0};
    unsigned char image[1296];
    int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    check(fd >= 0, argv[1]);
    struct flock whole = {.l_type = F_WRLCK, .l_whence = SEEK_SET};
    check(fcntl(fd, F_OFD_SETLK, &whole) == 0, "lock");
    check(pread(fd, image, sizeof image, 0) >= 0, "pread");
    check(pwrite(fd, shift, sizeof shift, 263) == (ssize_t)sizeof shift, "pwrite");
    check(fdatasync(fd) == 0, "fdatasync");

    char temp[4096];
    check(snprintf(temp, sizeof temp, "%s.tmp", argv[2]) < (int)sizeof temp, "path");
    int out = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(out >= 0, "temp");
    check(write(out, "3", 1) == 1 && fsync(out) == 0 && close(out) == 0, "write");
    check(rename(temp, argv[2]) == 0, "rename");
    char* slash = strrchr(argv[2], '/');
    if (slash) *slash = '\0';
    out = open(slash ? argv[2] : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(out >= 0 && fsync(out) == 0 && close(out) == 0, "directory");
    check(close(fd) == 0, "close");
    return 0;
}
