/*
 * zelmo: a small application for the ATmega128 (16 MHz, USART0 at 9600
 * baud) that works with tamborvine's download sequence.
 *
 * It greets, echoes what it receives, and watches for the wake-up
 * "Mancb", two divisor characters, "cb": it then answers "Hello!" and jumps
 * to the bootloader at the start of the boot section (word 0xFC00), handing
 * it the divisor (UBRR value for the download rate) in r24.
 */
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>

#define BAUD_DIVISOR 103 /* 9600 baud at 16 MHz */
#define WAKE_LENGTH 9

static const char greeting[] PROGMEM = "\r\nzelmo here. Type and I echo.\r\n";

static void uart_init(uint16_t divisor) {
    UBRR0H = (uint8_t)(divisor >> 8);
    UBRR0L = (uint8_t)divisor;
    UCSR0B = (1 << RXEN0) | (1 << TXEN0);
    UCSR0C = (1 << UCSZ01) | (1 << UCSZ00); /* 8-N-1 */
}

static void uart_put(uint8_t byte) {
    while (!(UCSR0A & (1 << UDRE0))) {
    }
    UDR0 = byte;
}

static uint8_t uart_get(void) {
    while (!(UCSR0A & (1 << RXC0))) {
    }
    return UDR0;
}

static void put_text_P(const char* text) {
    char c;
    while ((c = (char)pgm_read_byte(text++)) != '\0') uart_put((uint8_t)c);
}

static uint8_t hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return (uint8_t)(c - '0');
    if (c >= 'a' && c <= 'f') return (uint8_t)(c - 'a' + 10);
    return 0; /* a blank pads a one-digit divisor */
}

/* Does the text so far still match the wake-up? */
static uint8_t wake_prefix(const uint8_t* held, uint8_t count) {
    static const char word[] = "Mancb";
    for (uint8_t i = 0; i < count; ++i) {
        if (i < 5 && held[i] != (uint8_t)word[i]) return 0;
        if (i == 7 && held[i] != 'c') return 0;
        if (i == 8 && held[i] != 'b') return 0;
    }
    return 1;
}

static void hand_over(uint8_t divisor) {
    static const char hello[] PROGMEM = "Hello!";
    put_text_P(hello);
    while (!(UCSR0A & (1 << TXC0))) {
    }
    void (*bootloader)(uint8_t) = (void (*)(uint8_t))0xFC00;
    bootloader(divisor);
}

int main(void) {
    uint8_t held[WAKE_LENGTH];
    uint8_t count = 0;
    uart_init(BAUD_DIVISOR);
    put_text_P(greeting);
    for (;;) {
        held[count++] = uart_get();
        while (count > 0 && !wake_prefix(held, count)) {
            uart_put(held[0]);
            for (uint8_t i = 1; i < count; ++i) held[i - 1] = held[i];
            --count;
        }
        if (count == WAKE_LENGTH) {
            hand_over((uint8_t)(hex_value(held[5]) << 4 | hex_value(held[6])));
            count = 0;
        }
    }
}
