#include "Log.h"

#include <QMessageLogger>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char kProgramTag[] = "ZidiVevuro";
const char kColourReset[] = "\x1b[0m";

// Length of text[0, length) without a UTF-8 sequence that a cut at length
// left incomplete. snprintf has already dropped the bytes behind the cut, so
// the sequence is judged by its lead byte.
size_t withoutPartialUtf8(const char* text, size_t length)
{
    size_t start = length;
    size_t continuation = 0;
    while (start > 0 && continuation < 3 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
        ++continuation;
    }
    if (start == 0)
        return length;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    if (lead < 0xC0) // plain ASCII before the run: nothing was split
        return length;
    const size_t needed = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    return continuation < needed ? start - 1 : length;
}

void composeAndWrite(bool error, const char* label, const char* format, va_list args)
{
    char line[kLogLineBufferSize];
    const size_t capacity = sizeof(line);
    // An error line must always end with the colour reset, even when cut,
    // so its room is kept free while the message is printed.
    const size_t tailRoom = error ? sizeof(kColourReset) - 1 : 0;
    const size_t usable = capacity - tailRoom;

    int prefix =
        error ? std::snprintf(line, usable, "\x1b[31mERROR[\x1b[32m%s\x1b[31m]->%s: ", kProgramTag, label ? label : "")
              : std::snprintf(line, usable, "STATUS[\x1b[32m%s\x1b[0m]->%s: ", kProgramTag, label ? label : "");
    size_t used = prefix < 0 ? 0 : static_cast<size_t>(prefix);
    if (used >= usable)
        used = withoutPartialUtf8(line, usable - 1);
    line[used] = '\0';

    if (used < usable - 1 && format) {
        int n = std::vsnprintf(line + used, usable - used, format, args);
        if (n > 0) {
            size_t wanted = used + static_cast<size_t>(n);
            if (wanted >= usable)
                used = withoutPartialUtf8(line, usable - 1);
            else
                used = wanted;
        }
        line[used] = '\0';
    }
    if (error) {
        std::memcpy(line + used, kColourReset, sizeof(kColourReset)); // with terminator
    }
    QMessageLogger(nullptr, 0, nullptr).debug("%s", line);
}

} // namespace

void logStatus(const char* label, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    composeAndWrite(false, label, format, args);
    va_end(args);
}

void logError(const char* label, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    composeAndWrite(true, label, format, args);
    va_end(args);
}
