#ifndef TIVAKO_TESTS_FIRMWARE_TEXTS_C_H
#define TIVAKO_TESTS_FIRMWARE_TEXTS_C_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

size_t texts_c_format_status(char* buf, size_t cap, uint32_t seconds, int identity);
size_t texts_c_encode(const void* text, size_t len, uint8_t* out, size_t cap);
/* Feeds input to a fresh command parser; stores the events other than "none". */
int texts_c_command_events(const char* input, size_t len, int* events, size_t max_events);
const char* texts_c_greeting(void);

#ifdef __cplusplus
}
#endif

#endif
