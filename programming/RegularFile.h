#ifndef TIVAKO_PROGRAMMING_REGULARFILE_H
#define TIVAKO_PROGRAMMING_REGULARFILE_H

// Hex files are opened without blocking and checked after opening: a path
// that names a FIFO or a device would otherwise hold the opening thread until
// somebody writes to it, and a check of the path alone can be raced.

#include <QString>

class QFile;

// True when path can be opened for reading and what was opened is a regular
// file. Never blocks.
bool isReadableRegularFile(const QString& path);

// Opens file (by its file name) read-only when it is a regular file; false
// otherwise, with the file closed. *notRegular tells an opened file that is
// no regular file apart from one that cannot be opened at all.
bool openRegularFileReadOnly(QFile* file, bool* notRegular = nullptr);

#endif
