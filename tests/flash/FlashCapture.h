#ifndef TIVAKO_TESTS_FLASH_FLASHCAPTURE_H
#define TIVAKO_TESTS_FLASH_FLASHCAPTURE_H

// Runs tivako-flash in this process against the installed bridge backend, its output caught in
// memory and the stop signals handled as the program does. For tst_board_tool and flash_many.

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

// With `terminal`, the output goes there as to a terminal (and is closed at the end).
inline FlashCapture runTivakoFlashCaptured(const QStringList& arguments, std::FILE* terminal = nullptr)
{
    char* text[2] = {nullptr, nullptr};
    size_t size[2] = {0, 0};
    FlashStreams streams;
    streams.terminal = terminal != nullptr;
    streams.out = terminal ? terminal : open_memstream(&text[0], &size[0]);
    streams.err = open_memstream(&text[1], &size[1]);
    FlashCapture c;
    {
        FlashStopSignals stopSignals;
        c.code = runTivakoFlash(arguments, streams);
    }
    std::fclose(streams.out);
    std::fclose(streams.err);
    c.out = QByteArray(text[0], int(size[0]));
    c.err = QByteArray(text[1], int(size[1]));
    std::free(text[0]);
    std::free(text[1]);
    return c;
}

// The objects of --json output, one per line; a line that does not parse
// becomes {"unparsed": line}.
inline QList<QJsonObject> flashJsonLines(const QByteArray& text)
{
    QList<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!line.isEmpty())
            objects << (document.isObject() ? document.object() : QJsonObject{{"unparsed", QString(line)}});
    }
    return objects;
}

#endif
