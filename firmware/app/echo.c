/* echo: the example application of the boards that carry a stock
 * bootloader (the emulated ATmega328P and ATmega1284P).
 *
 * It counts its starts in the first two bytes of the EEPROM (little-endian,
 * from 1 on a blank EEPROM), greets on USART0 at APP_BAUD (double speed, as
 * these boards' serial library sets it) and echoes every byte it receives.
 *
 * Built with TABLE_BLOCKS = N it carries N blocks of 4 KiB of data in its
 * flash, in the section "table" that the build places at TABLE_START (the
 * blocks follow each other there in some order; on the ATmega1284P they
 * reach past 64 KiB), reads them back at its start and greets with their
 * size and their CRC-16 (XMODEM: polynomial 0x1021, from 0, in address
 * order), so that a table written wrongly shows in the greeting as well as
 * in a read-back. No two 256-byte rows of the table are alike, however far
 * apart.
 */
#include <avr/eeprom.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>
#include <util/crc16.h>

#ifndef APP_BAUD
#define APP_BAUD 115200UL
#endif
#ifndef APP_GREETING
#define APP_GREETING "echo example application"
#endif
#ifndef TABLE_BLOCKS
#define TABLE_BLOCKS 0
#endif

#define APP_UBRR ((F_CPU + 4UL * (APP_BAUD)) / (8UL * (APP_BAUD)) - 1) /* double speed */
#define START_COUNT ((uint16_t *)0)                                    /* EEPROM address */

static void line_open(void) {
    UBRR0H = (uint8_t)(APP_UBRR >> 8);
    UBRR0L = (uint8_t)APP_UBRR;
    UCSR0A = _BV(U2X0);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

static void put_byte(uint8_t value) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UDR0 = value;
}

static void put_text(const char *text) {
    while (*text != '\0') put_byte((uint8_t)*text++);
}

static void count_start(void) {
    uint16_t starts = eeprom_read_word(START_COUNT);
    eeprom_update_word(START_COUNT, starts == 0xFFFF ? 1 : starts + 1);
}

#if TABLE_BLOCKS > 0

/* Row r of the table: the 256 byte values in order, changed by r. */
#define TABLE_BYTE(h, l, r) (uint8_t)((0x##h##l ^ (r)) + ((r) >> 8) * 37u)
#define TABLE_COLUMNS(h, r)                                                                                  \
    TABLE_BYTE(h, 0, r), TABLE_BYTE(h, 1, r), TABLE_BYTE(h, 2, r), TABLE_BYTE(h, 3, r), TABLE_BYTE(h, 4, r), \
        TABLE_BYTE(h, 5, r), TABLE_BYTE(h, 6, r), TABLE_BYTE(h, 7, r), TABLE_BYTE(h, 8, r),                  \
        TABLE_BYTE(h, 9, r), TABLE_BYTE(h, a, r), TABLE_BYTE(h, b, r), TABLE_BYTE(h, c, r),                  \
        TABLE_BYTE(h, d, r), TABLE_BYTE(h, e, r), TABLE_BYTE(h, f, r)
#define TABLE_ROW(r)                                                                                         \
    TABLE_COLUMNS(0, r), TABLE_COLUMNS(1, r), TABLE_COLUMNS(2, r), TABLE_COLUMNS(3, r), TABLE_COLUMNS(4, r), \
        TABLE_COLUMNS(5, r), TABLE_COLUMNS(6, r), TABLE_COLUMNS(7, r), TABLE_COLUMNS(8, r),                  \
        TABLE_COLUMNS(9, r), TABLE_COLUMNS(a, r), TABLE_COLUMNS(b, r), TABLE_COLUMNS(c, r),                  \
        TABLE_COLUMNS(d, r), TABLE_COLUMNS(e, r), TABLE_COLUMNS(f, r)
/* Block k: rows 16k to 16k + 15. */
#define TABLE_BLOCK(k)                                                                                  \
    static const uint8_t table_block_##k[] __attribute__((section("table"), used)) = {                  \
        TABLE_ROW(16 * k + 0),  TABLE_ROW(16 * k + 1),  TABLE_ROW(16 * k + 2),  TABLE_ROW(16 * k + 3),  \
        TABLE_ROW(16 * k + 4),  TABLE_ROW(16 * k + 5),  TABLE_ROW(16 * k + 6),  TABLE_ROW(16 * k + 7),  \
        TABLE_ROW(16 * k + 8),  TABLE_ROW(16 * k + 9),  TABLE_ROW(16 * k + 10), TABLE_ROW(16 * k + 11), \
        TABLE_ROW(16 * k + 12), TABLE_ROW(16 * k + 13), TABLE_ROW(16 * k + 14), TABLE_ROW(16 * k + 15)};

/* TABLE_BLOCKS_n: blocks 0 to n - 1. */
#define TABLE_BLOCKS_1 TABLE_BLOCK(0)
#define TABLE_BLOCKS_2 TABLE_BLOCKS_1 TABLE_BLOCK(1)
#define TABLE_BLOCKS_3 TABLE_BLOCKS_2 TABLE_BLOCK(2)
#define TABLE_BLOCKS_4 TABLE_BLOCKS_3 TABLE_BLOCK(3)
#define TABLE_BLOCKS_5 TABLE_BLOCKS_4 TABLE_BLOCK(4)
#define TABLE_BLOCKS_6 TABLE_BLOCKS_5 TABLE_BLOCK(5)
#define TABLE_BLOCKS_7 TABLE_BLOCKS_6 TABLE_BLOCK(6)
#define TABLE_BLOCKS_8 TABLE_BLOCKS_7 TABLE_BLOCK(7)
#define TABLE_BLOCKS_9 TABLE_BLOCKS_8 TABLE_BLOCK(8)
#define TABLE_BLOCKS_10 TABLE_BLOCKS_9 TABLE_BLOCK(9)
#define TABLE_BLOCKS_11 TABLE_BLOCKS_10 TABLE_BLOCK(10)
#define TABLE_BLOCKS_12 TABLE_BLOCKS_11 TABLE_BLOCK(11)
#define TABLE_BLOCKS_13 TABLE_BLOCKS_12 TABLE_BLOCK(12)
#define TABLE_BLOCKS_14 TABLE_BLOCKS_13 TABLE_BLOCK(13)
#define TABLE_BLOCKS_15 TABLE_BLOCKS_14 TABLE_BLOCK(14)
#define TABLE_BLOCKS_16 TABLE_BLOCKS_15 TABLE_BLOCK(15)
#define TABLE_BLOCKS_17 TABLE_BLOCKS_16 TABLE_BLOCK(16)
#define TABLE_BLOCKS_18 TABLE_BLOCKS_17 TABLE_BLOCK(17)
#define TABLE_BLOCKS_19 TABLE_BLOCKS_18 TABLE_BLOCK(18)
#define TABLE_BLOCKS_20 TABLE_BLOCKS_19 TABLE_BLOCK(19)
#define TABLE_BLOCKS_OF(n) TABLE_BLOCKS_##n
#define TABLE_BLOCKS_LIST(n) TABLE_BLOCKS_OF(n)
TABLE_BLOCKS_LIST(TABLE_BLOCKS)

#define TABLE_BYTES (TABLE_BLOCKS * 4096UL)

#if defined(RAMPZ)
#define table_byte(address) pgm_read_byte_far(address)
#else
#define table_byte(address) pgm_read_byte((uint16_t)(address))
#endif

static uint16_t table_crc(void) {
    uint16_t crc = 0;
    for (uint32_t at = TABLE_START; at < TABLE_START + TABLE_BYTES; ++at)
        crc = _crc_xmodem_update(crc, table_byte(at));
    return crc;
}

static void put_number(uint32_t value, uint8_t base) {
    char digits[11];
    uint8_t count = 0;
    do {
        uint8_t digit = (uint8_t)(value % base);
        digits[count++] = (char)(digit < 10 ? '0' + digit : 'a' + digit - 10);
        value /= base;
    } while (value != 0 && count < sizeof digits);
    while (count > 0) put_byte((uint8_t)digits[--count]);
}

static void describe_table(void) {
    put_text(", table of ");
    put_number(TABLE_BYTES, 10);
    put_text(" bytes, crc 0x");
    put_number(table_crc(), 16);
}

#else
static void describe_table(void) {}
#endif

int main(void) {
    count_start();
    line_open();
    put_text("\r\n" APP_GREETING);
    describe_table();
    put_text("\r\n");
    for (;;)
        if (UCSR0A & _BV(RXC0)) put_byte(UDR0);
}
