#ifndef TIVAKO_UI_CONSOLEHTML_H
#define TIVAKO_UI_CONSOLEHTML_H

// How console bytes become the HTML that the main window's console shows.
// Every byte is one Latin-1 character; the text is HTML already (the board
// and the loader's messages use markup), so nothing is escaped. Colour escape
// sequences (ESC [32m green, [31m red, [33m orange, [34m blue, [0m end) turn
// into font tags; a colour never carries over from one call to the next.

#include <QByteArray>
#include <QString>
#include <QVector>

enum class ConsoleStream {
    Data,     // board output: a carriage return stays (HTML white space)
    Messages, // the loader's messages: a carriage return is dropped; every
              // line feed and carriage return is logged as "NL" / "LR"
};

QString consoleHtml(const char* data, int length, ConsoleStream stream);

// The renderers take at most kConsolePieceMax bytes per call. A larger take
// is cut into pieces, preferably at a line end (data after the line feed, so
// the paragraph break stands for it; messages before it, so the next piece
// starts with the break) and never inside a colour sequence. Returns the
// pieces' lengths, in order; they add up to take.size().
enum { kConsolePieceMax = 0xFFFF };
QVector<int> consolePieces(const QByteArray& take, ConsoleStream stream, int maxPiece = kConsolePieceMax);

#endif
