#ifndef TIVAKO_PROGRAMMING_HEXCONVERSION_H
#define TIVAKO_PROGRAMMING_HEXCONVERSION_H

// Intel HEX file -> flat flash image for the bootloader session.
//
// The image starts at the flash base 0x08000000; data records are placed by
// their absolute address (extended linear / segment address plus offset),
// gaps are filled with 0xFF, and addresses below the flash base are taken as
// offsets into flash (its boot alias at 0).
//
// Results:
//    1  success: binFile is open, positioned at 0 and holds the image
//   -1  hexFile does not exist
//   -2  hexFile cannot be opened for reading
//   -3  one of the first three lines does not start with ':'
//   -4  binFile cannot be opened (or the image cannot be written)
//   -5  a record line does not start with ':'
//   -6  a record is malformed: wrong checksum, shorter than its byte count,
//       a character that is no hexadecimal digit in one of its fields, or an
//       extended-address record without exactly two data bytes
//   -7  a data record lies outside the 128 KiB flash (0x08000000..0x0801FFFF)
//   -8  the file holds no data byte
// hexFile is closed on every exit; on -5 .. -8 binFile is emptied and closed.

#include <QtGlobal>

class QFile;
class QTemporaryFile;

qint8 convertHex2BinFile(QFile* hexFile, QTemporaryFile* binFile);

#endif
