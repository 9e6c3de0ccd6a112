#ifndef TIVAKO_APP_LOG_H
#define TIVAKO_APP_LOG_H

// The diagnostic log. Deliberately free of Qt headers so that plain C++
// code (the TLV decoder, the bridge backends, the virtual board) can log too.
//
// label:  origin of the line, "Class::method"
// format: printf-style message; a message without placeholders may be
//         passed as the format itself.
// Both are safe to call from any thread.

#if defined(__GNUC__)
#define TIVAKO_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define TIVAKO_PRINTF_LIKE(fmt, first)
#endif

void logStatus(const char* label, const char* format, ...) TIVAKO_PRINTF_LIKE(2, 3);
void logError(const char* label, const char* format, ...) TIVAKO_PRINTF_LIKE(2, 3);

// Size of the line buffer, terminator included. Longer lines are cut.
enum { kLogLineBufferSize = 2048 };

#endif
