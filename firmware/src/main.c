/*
 * Quadrel board firmware: greets after reset, reports its uptime once a
 * second and accepts the hardware-identity command, all as framed text on
 * USART1 (PA9 TX, PA10 RX, 115200 8N1) so the loader's decoder can show it.
 *
 * The identity lives in RAM while running and is mirrored in two backup
 * registers, so it survives any reset (the reset line, a watchdog, a new
 * firmware written through the ROM bootloader) as long as the backup domain
 * keeps power; flash is never written at run time.
 */
#include <stddef.h>
#include <stdint.h>

#include "firmware.h"
#include "quadrel_texts.h"
#include "stm32f103.h"

#define HSI_HZ 8000000u
#define BAUD 115200u
/* Rounded divider: 8 MHz / 115200 = 69.4, 0.6 % off - well within tolerance. */
#define USART_BRR_VALUE ((HSI_HZ + BAUD / 2u) / BAUD)

/* Clock and flash status bits are polled this often at most, then we go on. */
#define STATUS_POLL_LIMIT 10000u
/* A byte leaves in 87 us (~700 cycles at 8 MHz); this bound is far above. */
#define TX_POLL_LIMIT 20000u

/* Marks a set identity in the backup registers; a complement guards against
 * a half-written or random pattern. */
#define IDENTITY_MARK 0x5144u
#define IDENTITY_MARK_CHECK (~IDENTITY_MARK & 0xFFFFu)

#define RX_RING_SIZE 32u /* power of two */

static volatile uint32_t uptime_seconds;
static volatile uint8_t rx_ring[RX_RING_SIZE];
static volatile uint8_t rx_write;
static volatile uint8_t rx_read;
static int identity_set;

static void bounded_wait(volatile uint32_t* reg, uint32_t mask, uint32_t value)
{
    uint32_t n;
    for (n = 0; n < STATUS_POLL_LIMIT && (*reg & mask) != value; ++n) {
    }
}

/* Back to the reset clock tree (HSI, no prescalers, no wait states) in case
 * a bootloader or debugger changed it before jumping here. */
static void clock_init(void)
{
    RCC_CR |= RCC_CR_HSION;
    bounded_wait(&RCC_CR, RCC_CR_HSIRDY, RCC_CR_HSIRDY);
    RCC_CFGR &= ~RCC_CFGR_SW_MASK;
    bounded_wait(&RCC_CFGR, RCC_CFGR_SWS_MASK, 0u);
    RCC_CFGR &= ~RCC_CFGR_PRESCALER_MASK;
    FLASH_ACR = FLASH_ACR_ZERO_WAIT_PREFETCH;

    RCC_APB2ENR |= RCC_APB2ENR_IOPAEN | RCC_APB2ENR_USART1EN;
    RCC_APB1ENR |= RCC_APB1ENR_PWREN | RCC_APB1ENR_BKPEN;
}

static void usart_init(void)
{
    /* PA9: alternate-function push-pull output, 50 MHz. PA10: input with
     * pull-up, so an unplugged bridge reads as an idle line. */
    GPIOA_CRH = (GPIOA_CRH & ~0xFF0u) | 0x8B0u;
    GPIOA_ODR |= 1u << 10;

    USART1_CR1 = 0; /* the ROM bootloader leaves 8E1 behind */
    USART1_CR2 = 0;
    USART1_CR3 = 0;
    USART1_BRR = USART_BRR_VALUE;
    USART1_CR1 = USART_CR1_UE | USART_CR1_TE | USART_CR1_RE | USART_CR1_RXNEIE;
    NVIC_ISER(USART1_IRQ / 32u) = 1u << (USART1_IRQ % 32u);
}

static void systick_init(void)
{
    SYST_RVR = HSI_HZ - 1u; /* fits the 24-bit reload: one interrupt a second */
    SYST_CVR = 0;
    SYST_CSR = SYST_CSR_CLKSOURCE_CPU | SYST_CSR_TICKINT | SYST_CSR_ENABLE;
}

static void identity_load(void)
{
    PWR_CR |= PWR_CR_DBP;
    identity_set = (BKP_DR1 & 0xFFFFu) == IDENTITY_MARK && (BKP_DR2 & 0xFFFFu) == IDENTITY_MARK_CHECK;
}

static void identity_store(void)
{
    identity_set = 1;
    PWR_CR |= PWR_CR_DBP;
    BKP_DR1 = IDENTITY_MARK;
    BKP_DR2 = IDENTITY_MARK_CHECK;
}

void SysTick_Handler(void)
{
    uptime_seconds = uptime_seconds + 1u;
}

void USART1_IRQHandler(void)
{
    /* Reading SR then DR also clears an overrun. */
    uint32_t sr = USART1_SR;
    uint8_t byte = (uint8_t)USART1_DR;
    uint8_t w = rx_write;

    (void)sr;
    /* A full ring drops the byte; the command parser then sees an unknown line. */
    if ((uint8_t)(w - rx_read) < RX_RING_SIZE) {
        rx_ring[w % RX_RING_SIZE] = byte;
        rx_write = (uint8_t)(w + 1u);
    }
}

static void usart_write(const uint8_t* data, size_t len)
{
    size_t i;
    for (i = 0; i < len; ++i) {
        uint32_t n;
        for (n = 0; n < TX_POLL_LIMIT && (USART1_SR & USART_SR_TXE) == 0u; ++n) {
        }
        USART1_DR = data[i];
    }
}

#define TEXT_MAX 64u
static uint8_t frame[QUADREL_TLV_FRAME_MAX(TEXT_MAX)];

_Static_assert(sizeof QUADREL_TEXT_GREETING - 1u <= TEXT_MAX, "greeting too long");
_Static_assert(sizeof QUADREL_TEXT_IDENTITY_SET - 1u <= TEXT_MAX, "confirmation too long");
_Static_assert(sizeof QUADREL_TEXT_UNKNOWN_COMMAND - 1u <= TEXT_MAX, "answer too long");
_Static_assert(QUADREL_STATUS_MAX <= TEXT_MAX, "status line too long");

static void send_text(const char* text, size_t len)
{
    size_t n = quadrel_tlv_encode(text, len, frame, sizeof frame);
    usart_write(frame, n);
}

#define SEND_LITERAL(s) send_text((s), sizeof(s) - 1u)

static void send_status(uint32_t seconds)
{
    char line[QUADREL_STATUS_MAX];
    size_t len = quadrel_format_status(line, sizeof line, seconds, identity_set);
    send_text(line, len);
}

static void handle_input(struct quadrel_command* parser)
{
    while (rx_read != rx_write) {
        uint8_t byte = rx_ring[rx_read % RX_RING_SIZE];
        rx_read = (uint8_t)(rx_read + 1u);
        switch (quadrel_command_feed(parser, byte)) {
        case QUADREL_COMMAND_IDENTITY:
            identity_store();
            SEND_LITERAL(QUADREL_TEXT_IDENTITY_SET);
            break;
        case QUADREL_COMMAND_UNKNOWN:
            SEND_LITERAL(QUADREL_TEXT_UNKNOWN_COMMAND);
            break;
        case QUADREL_COMMAND_NONE:
            break;
        }
    }
}

void firmware_main(void)
{
    struct quadrel_command parser;
    uint32_t reported = 0;

    clock_init();
    identity_load();
    usart_init();
    quadrel_command_init(&parser);

    SEND_LITERAL(QUADREL_TEXT_GREETING);
    systick_init();

    for (;;) {
        uint32_t now;

        handle_input(&parser);
        now = uptime_seconds;
        if (now != reported) {
            reported = now;
            send_status(now);
        }

        /* Sleep until the next interrupt; with interrupts masked around the
         * check, one arriving in between still ends the wait at once. */
        __asm__ volatile("cpsid i" ::: "memory");
        if (rx_read == rx_write && uptime_seconds == reported)
            __asm__ volatile("wfi");
        __asm__ volatile("cpsie i" ::: "memory");
    }
}
