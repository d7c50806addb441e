#include "app/linux/config_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int LockedFolder = -1;

bool SameFile(int one, int other)
{
    struct stat first, second;
    return fstat(one, &first) == 0 && fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool LockConfigFolder(const char* path, std::string* message)
{
    const std::string folder = FolderOf(path);
    const int file = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file < 0) {
        *message = folder + ": the folder of " + path + " cannot be opened to lock it: " + strerror(errno);
        return false;
    }
    if (LockedFolder >= 0 && SameFile(file, LockedFolder)) {
        close(file);
        return true;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(file);
        *message = error == EWOULDBLOCK ? "another webprintd already runs with a settings file in " + folder
                                        : folder + ": cannot be locked: " + strerror(error);
        return false;
    }
    if (LockedFolder >= 0)
        close(LockedFolder);
    LockedFolder = file;
    return true;
}
