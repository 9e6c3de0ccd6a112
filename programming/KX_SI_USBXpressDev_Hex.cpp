// The session's first step: Intel HEX file -> flat image (the conversion
// itself lives in tivako_programming, usable without a device object).

#include "bridge/KX_SI_USBXpressDev.h"

#include "programming/HexConversion.h"

qint8 KX_SI_USBXpressDev::ConvertHex2BinFile(QFile* hexFile, QTemporaryFile* binFile)
{
    return convertHex2BinFile(hexFile, binFile);
}
