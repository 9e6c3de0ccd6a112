/*
 * Texts and frame helpers of the Quadrel board firmware.
 *
 * Shared by the firmware itself (bare-metal C, no C library) and by the
 * virtual board's firmware model (C++), so that what the emulated board says
 * is byte for byte what the real one says. Only freestanding headers are used.
 */
#ifndef QUADREL_TEXTS_H
#define QUADREL_TEXTS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- identity of the firmware ------------------------------------------ */

#define QUADREL_FIRMWARE_NAME "RozazerEvu"
#define QUADREL_FIRMWARE_VERSION "1.0.54"
#define QUADREL_IDENTITY_NAME "Quadrel"

/* ---- console colours (ESC [ .. m) --------------------------------------- */

#define QUADREL_ESC "\x1b"
#define QUADREL_GREEN QUADREL_ESC "[32m"
#define QUADREL_RED QUADREL_ESC "[31m"
#define QUADREL_BLUE QUADREL_ESC "[34m"
#define QUADREL_COLOUR_END QUADREL_ESC "[0m"
#define QUADREL_LINE_END "\r\n"

/* ---- what the board sends ------------------------------------------------ */

/* Sent once after every reset. */
#define QUADREL_TEXT_GREETING                                                                                          \
    QUADREL_GREEN QUADREL_FIRMWARE_NAME " firmware " QUADREL_FIRMWARE_VERSION                                          \
                                        " ready" QUADREL_COLOUR_END QUADREL_LINE_END

/* Status line, once a second: "Uptime <seconds> s" and, once the hardware
 * identity is set, ", HardwareID Quadrel"; then the line end. */
#define QUADREL_STATUS_PREFIX "Uptime "
#define QUADREL_STATUS_SECONDS " s"
#define QUADREL_STATUS_IDENTITY ", HardwareID " QUADREL_IDENTITY_NAME

/* The hardware-identity command from the loader, carriage return included. */
#define QUADREL_COMMAND_SET_IDENTITY "setHWqd\r"
#define QUADREL_COMMAND_SET_IDENTITY_LENGTH 8u

/* Answer to the hardware-identity command. */
#define QUADREL_TEXT_IDENTITY_SET                                                                                      \
    QUADREL_BLUE "HardwareID set to " QUADREL_IDENTITY_NAME QUADREL_COLOUR_END QUADREL_LINE_END

/* Answer to any other line ending in a carriage return. */
#define QUADREL_TEXT_UNKNOWN_COMMAND QUADREL_RED "Unknown command" QUADREL_COLOUR_END QUADREL_LINE_END

/* Longest status line: prefix, ten digits, unit, identity, line end. */
#define QUADREL_STATUS_MAX 48u

/* ---- frame format ----------------------------------------------------- */

#define QUADREL_TLV_HEAD 0xAAu
#define QUADREL_TLV_ESCAPE 0x55u
#define QUADREL_TLV_ESCAPE_XOR 0x20u
#define QUADREL_TLV_TAG_TEXT 0xF0u
#define QUADREL_TLV_TAG_TEXT_1 0xF1u
#define QUADREL_TLV_TAG_TEXT_2 0xF2u

/* Largest text one frame may carry: the item header shares the 16-bit length. */
#define QUADREL_TLV_TEXT_MAX (0xFFFFu - 3u)

/* Worst case on the wire for n text bytes: head, then every byte of length,
 * item header, text and checksum escaped. */
#define QUADREL_TLV_FRAME_MAX(n) (1u + 2u * (7u + (n)))

/* ---- helpers ------------------------------------------------------------ */

/* Writes the status line (NUL-terminated) into buf and returns its length
 * without the NUL, or 0 when cap is too small for line and NUL. */
static inline size_t quadrel_format_status(char* buf, size_t cap, uint32_t uptime_seconds, int identity_set)
{
    static const char prefix[] = QUADREL_STATUS_PREFIX;
    static const char unit[] = QUADREL_STATUS_SECONDS;
    static const char identity[] = QUADREL_STATUS_IDENTITY;
    static const char end[] = QUADREL_LINE_END;
    char digits[10];
    size_t n_digits = 0;
    size_t need;
    size_t pos = 0;
    size_t i;

    do {
        digits[n_digits++] = (char)('0' + (char)(uptime_seconds % 10u));
        uptime_seconds /= 10u;
    } while (uptime_seconds != 0u);

    need = (sizeof prefix - 1u) + n_digits + (sizeof unit - 1u) + (identity_set ? sizeof identity - 1u : 0u) +
           (sizeof end - 1u) + 1u;
    if (buf == NULL || cap < need)
        return 0;

    for (i = 0; i + 1u < sizeof prefix; ++i)
        buf[pos++] = prefix[i];
    while (n_digits != 0u)
        buf[pos++] = digits[--n_digits];
    for (i = 0; i + 1u < sizeof unit; ++i)
        buf[pos++] = unit[i];
    if (identity_set) {
        for (i = 0; i + 1u < sizeof identity; ++i)
            buf[pos++] = identity[i];
    }
    for (i = 0; i + 1u < sizeof end; ++i)
        buf[pos++] = end[i];
    buf[pos] = '\0';
    return pos;
}

/* One byte of a frame after the head: 0xAA and 0x55 go out escaped. */
static inline size_t quadrel_tlv_put_(uint8_t* out, size_t pos, uint8_t byte)
{
    if (byte == QUADREL_TLV_HEAD || byte == QUADREL_TLV_ESCAPE) {
        out[pos++] = (uint8_t)QUADREL_TLV_ESCAPE;
        out[pos++] = (uint8_t)(byte ^ QUADREL_TLV_ESCAPE_XOR);
    } else {
        out[pos++] = byte;
    }
    return pos;
}

/* Encodes text (len bytes) as one complete frame holding one item of tag
 * 0xF0, escaped and ready for the wire. Returns the number of bytes written
 * to out, or 0 when the text is too long or cap could be too small (cap of
 * QUADREL_TLV_FRAME_MAX(len) always suffices). */
static inline size_t quadrel_tlv_encode(const void* text, size_t len, uint8_t* out, size_t cap)
{
    const uint8_t* src = (const uint8_t*)text;
    uint8_t header[5];
    uint16_t sum = 0;
    uint16_t check;
    size_t payload_len;
    size_t pos = 0;
    size_t i;

    if (out == NULL || (text == NULL && len != 0u) || len > QUADREL_TLV_TEXT_MAX || cap < QUADREL_TLV_FRAME_MAX(len))
        return 0;

    payload_len = len + 3u;
    header[0] = (uint8_t)(payload_len & 0xFFu);
    header[1] = (uint8_t)(payload_len >> 8);
    header[2] = (uint8_t)QUADREL_TLV_TAG_TEXT;
    header[3] = (uint8_t)(len & 0xFFu);
    header[4] = (uint8_t)(len >> 8);

    out[pos++] = (uint8_t)QUADREL_TLV_HEAD;
    for (i = 0; i < sizeof header; ++i) {
        sum = (uint16_t)(sum + header[i]);
        pos = quadrel_tlv_put_(out, pos, header[i]);
    }
    for (i = 0; i < len; ++i) {
        sum = (uint16_t)(sum + src[i]);
        pos = quadrel_tlv_put_(out, pos, src[i]);
    }
    check = (uint16_t)(0u - sum);
    pos = quadrel_tlv_put_(out, pos, (uint8_t)(check & 0xFFu));
    pos = quadrel_tlv_put_(out, pos, (uint8_t)(check >> 8));
    return pos;
}

/* ---- command input ------------------------------------------------------ */

/* Collects received bytes into lines ended by a carriage return. A line feed
 * at the start of a line (terminals send CR LF) and empty lines are skipped; a
 * line longer than the buffer is remembered as too long and ends as unknown. */
#define QUADREL_COMMAND_LINE_MAX 16u

struct quadrel_command
{
    char line[QUADREL_COMMAND_LINE_MAX];
    uint8_t length;
    uint8_t overflow;
};

enum quadrel_command_event {
    QUADREL_COMMAND_NONE = 0,     /* line not complete yet */
    QUADREL_COMMAND_IDENTITY = 1, /* "setHWqd\r" received */
    QUADREL_COMMAND_UNKNOWN = 2   /* any other line */
};

static inline void quadrel_command_init(struct quadrel_command* c)
{
    c->length = 0;
    c->overflow = 0;
}

static inline enum quadrel_command_event quadrel_command_feed(struct quadrel_command* c, uint8_t byte)
{
    static const char command[] = QUADREL_COMMAND_SET_IDENTITY;
    size_t i;
    int match;

    if (byte == '\n' && c->length == 0u && !c->overflow)
        return QUADREL_COMMAND_NONE;
    if (byte != '\r') {
        if (c->length < QUADREL_COMMAND_LINE_MAX)
            c->line[c->length++] = (char)byte;
        else
            c->overflow = 1;
        return QUADREL_COMMAND_NONE;
    }

    if (c->length == 0u && !c->overflow)
        return QUADREL_COMMAND_NONE; /* empty line */
    match = !c->overflow && c->length == QUADREL_COMMAND_SET_IDENTITY_LENGTH - 1u;
    for (i = 0; match && i < c->length; ++i)
        match = c->line[i] == command[i];
    quadrel_command_init(c);
    return match ? QUADREL_COMMAND_IDENTITY : QUADREL_COMMAND_UNKNOWN;
}

#ifdef __cplusplus
}
#endif

#endif /* QUADREL_TEXTS_H */
