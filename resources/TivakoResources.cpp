#include "TivakoResources.h"

#include "programming/HexConversion.h"

#include <QFile>
#include <QTemporaryFile>
#include <QtGlobal>

static void initOnce()
{
    Q_INIT_RESOURCE(resources);
}

void tivakoInitResources()
{
    static const bool done = (initOnce(), true);
    (void)done;
}

QByteArray tivakoBuiltInFirmwareImage()
{
    tivakoInitResources();
    QFile hex(QStringLiteral(":/hex/RozazerEvu_1_0_54.hex"));
    QTemporaryFile image;
    if (convertHex2BinFile(&hex, &image) != 1)
        return QByteArray();
    image.seek(0);
    return image.readAll();
}
