#ifndef TIVAKO_TESTS_SUPPORT_TESTDATA_H
#define TIVAKO_TESTS_SUPPORT_TESTDATA_H

// Test data the suites build: seeded random bytes, Intel HEX text and files,
// and debug (TLV) frames as the board sends them.

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>

#include <cstdint>
#include <vector>

// Seeded, so that a failing run repeats.
QByteArray randomBytes(QRandomGenerator& rng, int n);
QByteArray randomBytes(int n, quint32 seed);
std::vector<uint8_t> bytesOf(const QByteArray& bytes);
QByteArray fromBytes(const std::vector<uint8_t>& bytes);
bool writeFile(const QString& path, const QByteArray& content);
QByteArray readFile(const QString& path); // empty when the file cannot be read

namespace hexrecords {
// One record line (without line end) with a correct checksum.
QByteArray record(quint8 type, quint16 address, const QByteArray& data, bool lowerCase = false);
QByteArray linearBase(quint16 upper);
} // namespace hexrecords

bool writeHexImage(const QString& path, const QByteArray& image);

namespace tlvframes {
QByteArray le16(int value);
QByteArray item(uint8_t tag, const QByteArray& value);
// An un-escaped frame with a correct checksum.
QByteArray frame(const QByteArray& payload);
// Wire form: head and escape bytes inside the frame escaped; with a generator, others at random too.
QByteArray escape(const QByteArray& plain, QRandomGenerator* rng = nullptr);
} // namespace tlvframes

// A wire frame carrying `text` in one item of `tag`.
QByteArray tlvFrame(const QByteArray& text, uint8_t tag = 0xF0);

#endif
