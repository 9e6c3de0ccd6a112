/*
 * The few STM32F103 (medium density) and Cortex-M3 registers this firmware
 * touches. Addresses and bit positions come from the chip's reference manual.
 */
#ifndef QUADREL_STM32F103_H
#define QUADREL_STM32F103_H

#include <stdint.h>

#define REG32(addr) (*(volatile uint32_t*)(uintptr_t)(addr))

/* Reset and clock control */
#define RCC_BASE 0x40021000u
#define RCC_CR REG32(RCC_BASE + 0x00u)
#define RCC_CFGR REG32(RCC_BASE + 0x04u)
#define RCC_APB2ENR REG32(RCC_BASE + 0x18u)
#define RCC_APB1ENR REG32(RCC_BASE + 0x1Cu)
#define RCC_CR_HSION (1u << 0)
#define RCC_CR_HSIRDY (1u << 1)
#define RCC_CFGR_SW_MASK (3u << 0)
#define RCC_CFGR_SWS_MASK (3u << 2)
/* AHB, APB1, APB2 and ADC prescalers: all zero means undivided (ADC /2). */
#define RCC_CFGR_PRESCALER_MASK (0xFFFu << 4)
#define RCC_APB2ENR_IOPAEN (1u << 2)
#define RCC_APB2ENR_USART1EN (1u << 14)
#define RCC_APB1ENR_BKPEN (1u << 27)
#define RCC_APB1ENR_PWREN (1u << 28)

/* Flash interface: wait states */
#define FLASH_ACR REG32(0x40022000u)
#define FLASH_ACR_ZERO_WAIT_PREFETCH 0x10u

/* Power control and backup domain */
#define PWR_CR REG32(0x40007000u)
#define PWR_CR_DBP (1u << 8)
#define BKP_DR1 REG32(0x40006C04u)
#define BKP_DR2 REG32(0x40006C08u)

/* GPIO port A: pins 8..15 configuration, output data */
#define GPIOA_CRH REG32(0x40010804u)
#define GPIOA_ODR REG32(0x4001080Cu)

/* USART1 */
#define USART1_BASE 0x40013800u
#define USART1_SR REG32(USART1_BASE + 0x00u)
#define USART1_DR REG32(USART1_BASE + 0x04u)
#define USART1_BRR REG32(USART1_BASE + 0x08u)
#define USART1_CR1 REG32(USART1_BASE + 0x0Cu)
#define USART1_CR2 REG32(USART1_BASE + 0x10u)
#define USART1_CR3 REG32(USART1_BASE + 0x14u)
#define USART_SR_RXNE (1u << 5)
#define USART_SR_TXE (1u << 7)
#define USART_CR1_RE (1u << 2)
#define USART_CR1_TE (1u << 3)
#define USART_CR1_RXNEIE (1u << 5)
#define USART_CR1_UE (1u << 13)
#define USART1_IRQ 37u

/* Cortex-M3 core */
#define SYST_CSR REG32(0xE000E010u)
#define SYST_RVR REG32(0xE000E014u)
#define SYST_CVR REG32(0xE000E018u)
#define SYST_CSR_ENABLE (1u << 0)
#define SYST_CSR_TICKINT (1u << 1)
#define SYST_CSR_CLKSOURCE_CPU (1u << 2)
#define NVIC_ISER(n) REG32(0xE000E100u + 4u * (n))
#define SCB_VTOR REG32(0xE000ED08u)
#define SCB_AIRCR REG32(0xE000ED0Cu)
#define SCB_AIRCR_RESET_REQUEST ((0x05FAu << 16) | (1u << 2))

#endif /* QUADREL_STM32F103_H */
