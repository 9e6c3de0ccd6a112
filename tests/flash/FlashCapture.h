#ifndef TIVAKO_TESTS_FLASH_FLASHCAPTURE_H
#define TIVAKO_TESTS_FLASH_FLASHCAPTURE_H

// Runs tivako-flash in this process against the installed bridge backend,
// its output caught in memory and the stop signals handled as the program
// handles them. For its suite and the flash_many benchmark.

#include "tools/tivako-flash/FlashRun.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <cstdio>
#include <cstdlib>

struct FlashCapture
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

inline FlashCapture runTivakoFlashCaptured(const QStringList& arguments)
{
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0;
    size_t errSize = 0;
    FlashStreams streams;
    streams.out = open_memstream(&outText, &outSize);
    streams.err = open_memstream(&errText, &errSize);
    FlashCapture c;
    {
        FlashStopSignals stopSignals;
        c.code = runTivakoFlash(arguments, streams);
    }
    std::fclose(streams.out);
    std::fclose(streams.err);
    c.out = QByteArray(outText, static_cast<int>(outSize));
    c.err = QByteArray(errText, static_cast<int>(errSize));
    std::free(outText);
    std::free(errText);
    return c;
}

// The objects of --json output, one per line; a line that does not parse
// becomes {"unparsed": line}.
inline QList<QJsonObject> flashJsonLines(const QByteArray& text)
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        objects << (document.isObject() ? document.object() : QJsonObject{{"unparsed", QString(line)}});
    }
    return objects;
}

#endif
