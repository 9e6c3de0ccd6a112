#include "ui/ConsoleHtml.h"

#include "app/Log.h"

namespace {

const char kInsertLabel[] = "RidivuDizerozoDuveze::insertDebugText";
const uchar kEsc = 0x1B;
const uchar kLineFeed = 0x0A;
const uchar kCarriageReturn = 0x0D;
// Longest colour sequence: ESC [ 3 2 m.
const int kLongestSequence = 5;

const char* fontForCode(uchar digit)
{
    switch (digit) {
    case '2':
        return "<font color=\"Green\">";
    case '1':
        return "<font color=\"Red\">";
    case '3':
        return "<font color=\"Orange\">";
    case '4':
        return "<font color=\"Blue\">";
    default:
        return nullptr;
    }
}

} // namespace

QString consoleHtml(const char* data, int length, ConsoleStream stream)
{
    QString html;
    if (!data || length <= 0)
        return html;
    const auto* bytes = reinterpret_cast<const uchar*>(data);
    // Font tags make the string a little longer than the bytes.
    html.reserve(length + length / 8 + 16);
    bool colourOpen = false;
    int i = 0;
    while (i < length) {
        const uchar c = bytes[i];
        if (c == kEsc) {
            // Bytes past the end never match: a sequence cut by the end of
            // the call is not recognised.
            const auto at = [&](int k) -> int { return i + k < length ? bytes[i + k] : -1; };
            if (at(1) != '[') {
                html.append(QChar(kEsc));
                i += 1;
                continue;
            }
            if (at(2) == '3' && at(4) == 'm' && at(3) >= 0 && fontForCode(uchar(at(3)))) {
                if (colourOpen)
                    html.append(QLatin1String("</font>"));
                html.append(QLatin1String(fontForCode(uchar(at(3)))));
                colourOpen = true;
                i += 5;
                continue;
            }
            if (at(2) == '0' && at(3) == 'm') {
                html.append(QLatin1String("</font>"));
                colourOpen = false;
                i += 4;
                continue;
            }
            // An unknown sequence: only the ESC goes, the rest is text.
            i += 1;
            continue;
        }
        if (c == kLineFeed) {
            if (stream == ConsoleStream::Messages)
                logStatus(kInsertLabel, "NL");
            if (i + 1 < length)
                html.append(QLatin1String("<br>"));
        } else if (c == kCarriageReturn) {
            if (stream == ConsoleStream::Messages)
                logStatus(kInsertLabel, "LR");
            else
                html.append(QChar(kCarriageReturn));
        } else {
            html.append(QChar(c));
        }
        ++i;
    }
    return html;
}

QVector<int> consolePieces(const QByteArray& take, ConsoleStream stream, int maxPiece)
{
    QVector<int> pieces;
    if (maxPiece < kLongestSequence)
        maxPiece = kLongestSequence;
    const int size = take.size();
    int start = 0;
    while (size - start > maxPiece) {
        const int limit = start + maxPiece; // the piece may end here at most
        int cut = -1;
        const int lineFeed = take.lastIndexOf(char(kLineFeed), limit - 1);
        if (stream == ConsoleStream::Data) {
            if (lineFeed >= start)
                cut = lineFeed + 1;
        } else if (lineFeed > start) {
            cut = lineFeed;
        }
        if (cut < 0) {
            cut = limit;
            for (int k = limit - 1; k > start && k >= limit - (kLongestSequence - 1); --k) {
                if (uchar(take.at(k)) == kEsc) {
                    cut = k;
                    break;
                }
            }
        }
        pieces.append(cut - start);
        start = cut;
    }
    if (start < size)
        pieces.append(size - start);
    return pieces;
}
