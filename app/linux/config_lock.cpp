#include "app/linux/config_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int LockedFile = -1;

bool SameFile(int one, int other)
{
    struct stat first, second;
    return fstat(one, &first) == 0 && fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace

bool LockConfigFile(const char* path, std::string* message)
{
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        *message = std::string(path) + ": cannot be opened to lock it: " + strerror(errno);
        return false;
    }
    if (LockedFile >= 0 && SameFile(file, LockedFile)) {
        close(file);
        return true;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(file);
        *message = error == EWOULDBLOCK
                       ? std::string("another webprintd already runs with ") + path
                       : std::string(path) + ": cannot be locked: " + strerror(error);
        return false;
    }
    if (LockedFile >= 0)
        close(LockedFile);
    LockedFile = file;
    return true;
}
