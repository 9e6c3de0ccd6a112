#ifndef TIVAKO_IPC_SHAREDBLOCK_H
#define TIVAKO_IPC_SHAREDBLOCK_H

// Layout of the block that the loader shares with the debug monitor, and the
// plain reads and writes of its fields. None of these functions lock: callers
// hold the block's system-wide lock around them. Integers are little-endian,
// texts UTF-8 with a NUL byte inside their field.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace SharedBlock {

enum : int {
    kBlockSize = 312,
    kStatusZuvodErirora = 0,     // 1 byte, loader present
    kProgrammingRequest = 1,     // 1 byte, 1 = monitor asks for programming
    kProgrammingResult = 4,      // signed 32 bit, 0 none, 1 success, -1 failure
    kStatusTivakoConnection = 8, // 1 byte, board connected
    kPath2Hexfile = 9,
    kPath2HexfileSize = 150,
    kNameOfConnectedDevice = 159,
    kNameOfConnectedDeviceSize = 153,
};

// Longest texts that still leave room for the NUL byte.
enum : int {
    kMaxPathBytes = kPath2HexfileSize - 1,
    kMaxNameBytes = kNameOfConnectedDeviceSize - 1,
};

quint8 readByte(const uchar* block, int offset);
void writeByte(uchar* block, int offset, quint8 value);
qint32 readProgrammingResult(const uchar* block);
void writeProgrammingResult(uchar* block, qint32 value);

// Length of the longest prefix of utf8 that has at most maxBytes bytes and
// does not end inside a multi-byte character.
int utf8PrefixLength(const QByteArray& utf8, int maxBytes);

// Text of a NUL-terminated field of `size` bytes, never read past the field.
// *terminated tells whether the NUL was inside the field; without it the
// bytes up to the field's end are returned.
QString readText(const uchar* block, int offset, int size, bool* terminated);

// Writes utf8 cut to size-1 bytes at a character boundary, then zero-fills
// the rest of the field (so the NUL is always inside it). Returns the number
// of text bytes written.
int writeText(uchar* block, int offset, int size, const QByteArray& utf8);

// Hex-file path as the loader takes it: a path with no NUL inside its field
// is no path at all (empty string, *valid false).
QString readPath2Hexfile(const uchar* block, bool* valid);

// Everything in the block at one moment, as a monitor shows it.
struct Snapshot
{
    bool loaderPresent = false;
    quint8 programmingRequest = 0;
    qint32 programmingResult = 0;
    bool boardConnected = false;
    QString path2Hexfile;
    bool pathTerminated = false;
    QString deviceName;
    bool nameTerminated = false;
};
Snapshot decode(const uchar* block);

// What one pass of the loader's watch loop found.
struct WatchEvents
{
    bool requestPending = false; // the request flag turned to 1
    bool idleReset = false;      // the request ended and the result was reset to 0
    bool finished = false;       // a new non-zero result
    qint32 result = 0;           // that result
};

// One pass of the watch loop: compares the request and result fields with
// the last values seen (updated in place) and, when a request has ended
// while the loader is present, resets the block's result to 0. A result
// that arrived and was taken between two passes is still reported once.
// While nobody listens for requests (requestHeard false) a new request is
// left unseen, so that it is reported once somebody does.
WatchEvents watchPass(uchar* block, quint8& lastRequest, qint32& lastResult, bool loaderPresent,
                      bool requestHeard = true);

} // namespace SharedBlock

#endif
