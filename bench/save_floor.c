/* What a save of the register must do at the least to be durable, and
 * nothing more: the thirteen field writes in place and one fdatasync, then
 * the cash code file replaced through a synced temporary file, a rename and a
 * synced directory.  No parsing, no encoding, no checks beyond the calls'
 * results.
 *
 *   save_floor REGISTER CASHCODE_FILE
 */
#define _GNU_SOURCE  /* mkostemp */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const struct {
    off_t offset;
    size_t width;
} fields[13] = {{5, 2},   {263, 2}, {271, 4}, {275, 4}, {522, 7}, {536, 7}, {550, 2},
                {558, 2}, {781, 2}, {793, 7}, {807, 7}, {821, 2}, {829, 2}};

static void check(int ok, const char* what) {
    if (!ok) {
        perror(what);
        exit(1);
    }
}

int main(int argc, char** argv) {
    check(argc == 3, "usage: save_floor REGISTER CASHCODE_FILE");
    static const unsigned char bytes[7] = {0, 0, 0, 0, 0x12, 0x34, 0x56};
    int fd = open(argv[1], O_WRONLY | O_CLOEXEC);
    check(fd >= 0, argv[1]);
    for (int i = 0; i < 13; ++i)
        check(pwrite(fd, bytes, fields[i].width, fields[i].offset) == (ssize_t)fields[i].width, "pwrite");
    check(fdatasync(fd) == 0 && close(fd) == 0, "fdatasync");

    char temp[4096];
    check(snprintf(temp, sizeof temp, "%s.XXXXXX", argv[2]) < (int)sizeof temp, "path");
    fd = mkostemp(temp, O_CLOEXEC);
    check(fd >= 0, "mkostemp");
    check(write(fd, "3", 1) == 1 && fsync(fd) == 0 && close(fd) == 0, "write");
    check(rename(temp, argv[2]) == 0, "rename");
    char* slash = strrchr(argv[2], '/');
    if (slash) *slash = '\0';
    fd = open(slash ? argv[2] : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(fd >= 0 && fsync(fd) == 0 && close(fd) == 0, "directory");
    return 0;
}
