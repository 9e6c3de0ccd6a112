#include "programming/RegularFile.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A descriptor of path opened without blocking, or -1; *regular tells what
// was opened.
int openNonBlocking(const QString& path, bool* regular)
{
    *regular = false;
    if (path.isEmpty())
        return -1;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    *regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    return fd;
}

// Files compiled into the program are read from memory and never block.
bool isResource(const QString& path)
{
    return path.startsWith(QLatin1Char(':')) || path.startsWith(QLatin1String("qrc:"));
}

} // namespace

bool isReadableRegularFile(const QString& path)
{
    if (isResource(path))
        return QFileInfo(path).isFile();
    bool regular = false;
    const int fd = openNonBlocking(path, &regular);
    if (fd >= 0)
        ::close(fd);
    return regular;
}

bool openRegularFileReadOnly(QFile* file, bool* notRegular)
{
    if (notRegular)
        *notRegular = false;
    if (isResource(file->fileName()))
        return file->open(QIODevice::ReadOnly);
    bool regular = false;
    const int fd = openNonBlocking(file->fileName(), &regular);
    if (fd < 0)
        return false;
    if (!regular) {
        ::close(fd);
        if (notRegular)
            *notRegular = true;
        return false;
    }
    // Reads of a regular file never block; the flag only mattered for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}
