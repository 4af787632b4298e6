/* zelmo: the example application for the serial bootloader.
 *
 * It greets at start, echoes every byte it receives, and answers the
 * download host's wake-up "Mancb" + two divisor characters + "cb" with
 * "Hello!", then hands the line over to the bootloader at the rate the
 * divisor names (see handover.h). The divisor is the UBRR value for 16 MHz
 * in lower-case hex, "%2x", so small values come with a leading blank.
 *
 * Bytes that could be the start of the wake-up are held back rather than
 * echoed, so that the host reads "Hello!" and not its own words; they are
 * echoed once the wake-up breaks off or the line has been quiet a moment.
 */
#include <avr/io.h>
#include <stdint.h>
#include <util/delay.h>

#include "handover.h"

#ifndef APP_BAUD
#define APP_BAUD 9600UL
#endif
#ifndef APP_GREETING
#define APP_GREETING "zelmo example application"
#endif

#define APP_UBRR ((F_CPU + 8UL * (APP_BAUD)) / (16UL * (APP_BAUD)) - 1)
#define WAKE_UP_LENGTH 9       /* "Mancb" d d "cb" */
#define HELD_ECHO_DELAY_MS 100 /* a held-back partial wake-up is echoed after this */
#define BOOT_SECTION_BYTE 0x1F800

/* UCSR0A bits written back as read whenever the register is written: the
 * settings U2X and MPCM, and UDRE (read-only, so writing it changes
 * nothing). */
#define UCSR0A_KEEP (_BV(U2X0) | _BV(MPCM0) | _BV(UDRE0))

static const char greeting[] = "\r\n" APP_GREETING "\r\n";
static const char hello[] = "Hello!"; /* the host reads exactly 6 bytes */

static uint8_t held[WAKE_UP_LENGTH];
static uint8_t held_count;

static void line_open(void) {
    UBRR0H = (uint8_t)(APP_UBRR >> 8);
    UBRR0L = (uint8_t)APP_UBRR;
    UCSR0A &= _BV(UDRE0); /* normal speed, one processor (see UCSR0A_KEEP) */
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

static void put_byte(uint8_t value) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UCSR0A = (UCSR0A & UCSR0A_KEEP) | _BV(TXC0);
    UDR0 = value;
}

static void put_text(const char *text) {
    while (*text != '\0') put_byte((uint8_t)*text++);
}

/* Waits at most timeout_ms for a byte; returns -1 when none came. */
static int16_t get_byte_within(uint16_t timeout_ms) {
    for (uint32_t ticks = (uint32_t)timeout_ms * 100; ticks > 0; --ticks) {
        if (UCSR0A & _BV(RXC0)) return UDR0;
        _delay_us(10);
    }
    return -1;
}

static int8_t hex_value(uint8_t c) {
    if (c == ' ') return 0;
    if (c >= '0' && c <= '9') return (int8_t)(c - '0');
    if (c >= 'a' && c <= 'f') return (int8_t)(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return (int8_t)(c - 'A' + 10);
    return -1;
}

/* Whether c can stand at position `at` of the wake-up. */
static uint8_t fits_wake_up(uint8_t at, uint8_t c) {
    static const char fixed[WAKE_UP_LENGTH + 1] = "Mancb??cb";
    if (fixed[at] == '?') return hex_value(c) >= 0;
    return c == (uint8_t)fixed[at];
}

static void echo_held(void) {
    for (uint8_t i = 0; i < held_count; ++i) put_byte(held[i]);
    held_count = 0;
}

static void hand_over(uint8_t divisor) {
    volatile struct handover *h = HANDOVER;
    h->magic_high = HANDOVER_MAGIC_HIGH;
    h->magic_low = HANDOVER_MAGIC_LOW;
    h->divisor = divisor;
    h->divisor_check = (uint8_t)~divisor;
    put_text(hello);
    while (!(UCSR0A & _BV(TXC0))) {
    }
    __asm__ __volatile__("cli");
    __asm__ __volatile__("jmp %0" ::"i"(BOOT_SECTION_BYTE));
}

static void take(uint8_t c) {
    if (fits_wake_up(held_count, c)) {
        held[held_count++] = c;
        if (held_count == WAKE_UP_LENGTH) hand_over((uint8_t)(hex_value(held[5]) * 16 + hex_value(held[6])));
        return;
    }
    echo_held();
    if (fits_wake_up(0, c))
        held[held_count++] = c;
    else
        put_byte(c);
}

int main(void) {
    line_open();
    put_text(greeting);
    for (;;) {
        int16_t c = get_byte_within(HELD_ECHO_DELAY_MS);
        if (c >= 0)
            take((uint8_t)c);
        else
            echo_held();
    }
}
