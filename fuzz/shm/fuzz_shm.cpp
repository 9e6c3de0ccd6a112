// Feeds random contents of the shared block, one 312-byte block after the
// other (the last one zero-padded), to the readers and to the watch loop's
// pass, the way a misbehaving monitor could leave the block between two
// passes. Each block lives in a buffer of exactly its size, so any read or
// write past a field's or the block's end is caught by AddressSanitizer.
//
// Input: one byte of flags (bit 0: the loader is marked present, bit 1:
// somebody listens for requests), then the block contents.

#include "ipc/SharedBlock.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace SharedBlock;

namespace {

[[noreturn]] void fail(const char* what, long a = 0, long b = 0)
{
    std::fprintf(stderr, "fuzz_shm: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

void checkReaders(const uchar* block)
{
    const Snapshot s = decode(block);
    const void* pathNul = std::memchr(block + kPath2Hexfile, 0, kPath2HexfileSize);
    if (s.pathTerminated != (pathNul != nullptr))
        fail("path end misjudged");
    bool valid = false;
    const QString path = readPath2Hexfile(block, &valid);
    if (valid != s.pathTerminated)
        fail("path validity differs between readers");
    if (!valid && !path.isEmpty())
        fail("a path without its end was handed out");
    if (valid && path != s.path2Hexfile)
        fail("path differs between readers");
    if (valid && path.contains(QChar(0)))
        fail("path holds a NUL");
    const void* nameNul = std::memchr(block + kNameOfConnectedDevice, 0, kNameOfConnectedDeviceSize);
    if (s.nameTerminated != (nameNul != nullptr))
        fail("name end misjudged");
    if (s.programmingResult != readProgrammingResult(block))
        fail("result differs between readers");
}

// Writing any bytes as the device name keeps them inside the field, ends
// them with a NUL and cuts only at a character boundary.
void checkNameWrite(const uchar* source, const QByteArray& text)
{
    std::vector<uchar> block(source, source + kBlockSize);
    const int length = writeText(block.data(), kNameOfConnectedDevice, kNameOfConnectedDeviceSize, text);
    if (length < 0 || length > kMaxNameBytes)
        fail("name length out of range", length);
    if (std::memcmp(block.data(), source, kNameOfConnectedDevice) != 0)
        fail("name write touched other fields");
    if (std::memcmp(block.data() + kNameOfConnectedDevice, text.constData(), size_t(length)) != 0)
        fail("name bytes changed");
    for (int i = kNameOfConnectedDevice + length; i < kBlockSize; ++i)
        if (block[size_t(i)] != 0)
            fail("name field not cleared after the text", i);
    const QByteArray written = text.left(length);
    const bool wellFormed = QString::fromUtf8(text).toUtf8() == text;
    if (wellFormed && !text.contains('\0') && QString::fromUtf8(written).toUtf8() != written)
        fail("name cut inside a character", length);
    if (text.size() <= kMaxNameBytes && !text.contains('\0') && length != text.size())
        fail("a name that fits was cut", length, text.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool present = (data[0] & 1) != 0;
    const bool heard = (data[0] & 2) != 0;
    ++data;
    --size;

    quint8 lastRequest = 0;
    qint32 lastResult = 0;
    for (size_t offset = 0; offset < size || offset == 0; offset += kBlockSize) {
        std::vector<uchar> block(kBlockSize, 0);
        const size_t take = size - offset < size_t(kBlockSize) ? size - offset : size_t(kBlockSize);
        if (take > 0)
            std::memcpy(block.data(), data + offset, take);

        checkReaders(block.data());
        // The two unused bytes choose how much of the block's tail is taken
        // as a name.
        const int nameLength = (block[2] | block[3] << 8) % (kBlockSize - kPath2Hexfile + 1);
        checkNameWrite(block.data(),
                       QByteArray(reinterpret_cast<const char*>(block.data()) + kPath2Hexfile, nameLength));

        const std::vector<uchar> before = block;
        const quint8 previousRequest = lastRequest;
        const qint32 previousResult = lastResult;
        const WatchEvents e = watchPass(block.data(), lastRequest, lastResult, present, heard);
        const quint8 request = before[kProgrammingRequest];
        const qint32 resultBefore = readProgrammingResult(before.data());

        // Only the result may change, and only to 0.
        if (std::memcmp(block.data(), before.data(), kProgrammingResult) != 0 ||
            std::memcmp(block.data() + kProgrammingResult + 4, before.data() + kProgrammingResult + 4,
                        kBlockSize - kProgrammingResult - 4) != 0)
            fail("the pass wrote outside the result");
        if (readProgrammingResult(block.data()) != resultBefore && readProgrammingResult(block.data()) != 0)
            fail("the pass wrote a result other than 0");
        const bool unheardRequest = request == 1 && previousRequest != 1 && !heard;
        if (lastRequest != (unheardRequest ? previousRequest : request))
            fail("the last request seen is wrong", lastRequest, request);
        if (e.requestPending != (request == 1 && previousRequest != 1 && heard))
            fail("request signal wrong", request, previousRequest);
        if (e.idleReset != (request != previousRequest && request != 1 && present))
            fail("idle reset wrong", request, previousRequest);
        if (e.idleReset && (readProgrammingResult(block.data()) != 0 || lastResult != 0))
            fail("idle reset left a result");
        if (!e.idleReset && readProgrammingResult(block.data()) != resultBefore)
            fail("result changed without a reset");
        if (e.finished && (e.result == 0 || e.result != resultBefore || e.result == previousResult))
            fail("finished signal wrong", e.result, previousResult);
        if (!e.finished && resultBefore != 0 && resultBefore != previousResult)
            fail("a new result went unreported", resultBefore, previousResult);
    }
    return 0;
}
