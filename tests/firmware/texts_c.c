/* Compiles the shared firmware texts as C, the way the firmware does, so the
 * C++ tests can compare both languages' results. */
#include "quadrel_texts.h"

#include "texts_c.h"

size_t texts_c_format_status(char* buf, size_t cap, uint32_t seconds, int identity)
{
    return quadrel_format_status(buf, cap, seconds, identity);
}

size_t texts_c_encode(const void* text, size_t len, uint8_t* out, size_t cap)
{
    return quadrel_tlv_encode(text, len, out, cap);
}

int texts_c_command_events(const char* input, size_t len, int* events, size_t max_events)
{
    struct quadrel_command parser;
    size_t n = 0;
    size_t i;
    quadrel_command_init(&parser);
    for (i = 0; i < len; ++i) {
        enum quadrel_command_event e = quadrel_command_feed(&parser, (uint8_t)input[i]);
        if (e != QUADREL_COMMAND_NONE && n < max_events)
            events[n++] = (int)e;
    }
    return (int)n;
}

const char* texts_c_greeting(void)
{
    return QUADREL_TEXT_GREETING;
}
