/*
 * Start-up: the vector table, copying .data and clearing .bss, and the
 * handlers for anything unexpected.
 */
#include <stddef.h>
#include <stdint.h>

#include "firmware.h"
#include "stm32f103.h"

extern uint32_t _estack;
extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss;

void Reset_Handler(void);
void Unexpected_Handler(void);

typedef void (*vector_t)(void);

/* 16 core entries, then the 43 interrupts of the medium-density line;
 * only SysTick and USART1 (interrupt 37) are used. */
#define VECTOR_COUNT (16u + 43u)
#define U Unexpected_Handler

__attribute__((section(".isr_vector"), used)) static const vector_t vector_table[VECTOR_COUNT] = {
    (vector_t)&_estack, Reset_Handler, U, U, U, U, U, 0, 0, 0, 0, U, U, 0, U, SysTick_Handler,
    /* interrupts 0..31 */
    U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U, U,
    /* interrupts 32..42 */
    U, U, U, U, U, USART1_IRQHandler, U, U, U, U, U};

#undef U

void Reset_Handler(void)
{
    const uint32_t* src = &_sidata;
    uint32_t* dst;

    for (dst = &_sdata; dst < &_edata;)
        *dst++ = *src++;
    for (dst = &_sbss; dst < &_ebss;)
        *dst++ = 0;

    /* A debugger or the ROM bootloader's "go" may have left the table elsewhere. */
    SCB_VTOR = (uint32_t)(uintptr_t)vector_table;
    __asm__ volatile("dsb\n\tisb" ::: "memory");

    firmware_main();
    Unexpected_Handler();
}

/* Faults and interrupts that are never enabled: start over rather than hang. */
void Unexpected_Handler(void)
{
    __asm__ volatile("dsb" ::: "memory");
    SCB_AIRCR = SCB_AIRCR_RESET_REQUEST;
    __asm__ volatile("dsb" ::: "memory");
    for (;;)
        __asm__ volatile("nop");
}

/* The compiler may emit calls to these even in a freestanding build. */
void* memcpy(void* restrict dst, const void* restrict src, size_t n)
{
    unsigned char* d = (unsigned char*)dst;
    const unsigned char* s = (const unsigned char*)src;
    while (n-- != 0u)
        *d++ = *s++;
    return dst;
}

void* memset(void* dst, int value, size_t n)
{
    unsigned char* d = (unsigned char*)dst;
    while (n-- != 0u)
        *d++ = (unsigned char)value;
    return dst;
}
