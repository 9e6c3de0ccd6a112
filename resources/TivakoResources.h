#ifndef TIVAKO_RESOURCES_TIVAKORESOURCES_H
#define TIVAKO_RESOURCES_TIVAKORESOURCES_H

#include <QByteArray>

// Registers the compiled-in resources (":/img/...", ":/hex/..."). Safe to call
// more than once.
void tivakoInitResources();

// The built-in firmware (":/hex/RozazerEvu_1_0_54.hex") as the flat image
// the bootloader writes from the flash base; empty if it cannot be converted.
QByteArray tivakoBuiltInFirmwareImage();

#endif
