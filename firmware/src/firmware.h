#ifndef QUADREL_FIRMWARE_H
#define QUADREL_FIRMWARE_H

#include <stddef.h>

void firmware_main(void) __attribute__((noreturn));
void SysTick_Handler(void);
void USART1_IRQHandler(void);

void* memcpy(void* restrict dst, const void* restrict src, size_t n);
void* memset(void* dst, int value, size_t n);

#endif /* QUADREL_FIRMWARE_H */
