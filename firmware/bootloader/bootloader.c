/* Serial bootloader for the ATmega128, resident in the 1,024-word boot
 * section at byte 0x1F800.
 *
 * It speaks the command letters the download host uses (p S v V t e A E, plus
 * P L T s for other serial programmers) and the page command 'D':
 *
 *   'D' 'k' 'k' + 128 words (low byte first) + 4 checksum bytes
 *       -> '\r' once the words are programmed, 'N' to have them sent again;
 *   'D' 'l' 'l' -> the 4 checksum bytes of the flash at the current address.
 *
 * The checksum of a page of 128 words starting at word address A is the sum
 * and the XOR of A and the 128 words, 16 bits each, sent as sum high, sum
 * low, XOR high, XOR low. Seeding with A means a page that landed at the
 * wrong address never checks out.
 *
 * Host pages start wherever the image starts, so one host page covers one
 * or two device pages; each is rewritten with the words it already holds
 * outside the host page. Nothing at or above the boot section is ever
 * written, and words there count as 0xFFFF in checksums.
 *
 * Start-up: after a hand-over from the application (see handover.h) the
 * bootloader serves the host at the rate the application was asked for.
 * Otherwise it listens at BOOT_BAUD for BOOT_WAIT_MS and starts the
 * application when no command came and an application is present; with an
 * empty application section, or BOOT_WAIT_MS 0, it stays. 'E' starts the
 * application too. USART0 is the line, 8-N-1; interrupts stay off.
 */
#include <avr/boot.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/wdt.h>
#include <stdint.h>
#include <util/delay.h>

#include "handover.h"

#ifndef BOOT_BAUD
#define BOOT_BAUD 19200UL
#endif
#ifndef BOOT_WAIT_MS
#define BOOT_WAIT_MS 1000UL
#endif
#ifndef BOOT_VERSION_MAJOR
#define BOOT_VERSION_MAJOR '1'
#define BOOT_VERSION_MINOR '0'
#endif

#define BOOT_UBRR ((F_CPU + 8UL * (BOOT_BAUD)) / (16UL * (BOOT_BAUD)) - 1)

#define PAGE_WORDS 128                      /* host page and device page alike */
#define DEVICE_PAGE_BYTES SPM_PAGESIZE      /* 256 */
#define BOOT_START_WORD 0xFC00UL            /* first word of the boot section */
#define BLANK_WORD 0xFFFFu
#define DEVICE_CODE 0x44                    /* ATmega128 in the device catalogue */

#define REPLY_OK '\r'
#define REPLY_RESEND 'N'
#define REPLY_UNKNOWN '?'

/* A page byte that does not come within this time means a byte was lost on
 * the line: give up on the page and ask for it again. */
#define BYTE_TIMEOUT_MS 50
/* After garbage, input is discarded until the line has been quiet this long,
 * so that the rest of a damaged command is never taken for commands (a
 * stray 'e' in page data would erase the chip). */
#define QUIET_MS 30

/* UCSR0A bits written back as read whenever the register is written: the
 * settings U2X and MPCM, and UDRE. UDRE is read-only on the chip, but the
 * emulator stores whatever is written, and a written 0 would stall the
 * transmitter there. */
#define UCSR0A_KEEP (_BV(U2X0) | _BV(MPCM0) | _BV(UDRE0))

static uint16_t current_address; /* word address set by 'A' */
static uint8_t line_used;        /* a byte has been sent since the line opened */
static uint16_t page_words[PAGE_WORDS];
static uint16_t merged_words[PAGE_WORDS];

struct checksum {
    uint16_t sum;
    uint16_t xor;
};

/* ---- line ---------------------------------------------------------------- */

static void line_open(uint16_t ubrr)
{
    UBRR0H = (uint8_t)(ubrr >> 8);
    UBRR0L = (uint8_t)ubrr;
    UCSR0A &= _BV(UDRE0); /* normal speed, one processor (see UCSR0A_KEEP) */
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00); /* 8 data bits, no parity, 1 stop bit */
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

static uint8_t byte_waiting(void)
{
    return UCSR0A & _BV(RXC0);
}

static uint8_t get_byte(void)
{
    while (!byte_waiting()) {
    }
    return UDR0;
}

/* Waits at most timeout_ms for a byte; returns -1 when none came. */
static int16_t get_byte_within(uint16_t timeout_ms)
{
    for (uint32_t ticks = (uint32_t)timeout_ms * 100; ticks > 0; --ticks) {
        if (byte_waiting())
            return UDR0;
        _delay_us(10);
    }
    return -1;
}

static void put_byte(uint8_t value)
{
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    /* Clear TXC (written as one; U2X and MPCM kept, error flags written 0)
     * so that line_flush() waits for this very byte. */
    UCSR0A = (UCSR0A & UCSR0A_KEEP) | _BV(TXC0);
    UDR0 = value;
    line_used = 1;
}

/* Waits until the last byte has left the shift register (TXC is set only
 * after a byte has gone out). */
static void line_flush(void)
{
    if (!line_used)
        return;
    while (!(UCSR0A & _BV(TXC0))) {
    }
}

static void discard_until_quiet(void)
{
    while (get_byte_within(QUIET_MS) >= 0) {
    }
}

/* ---- flash --------------------------------------------------------------- */

/* Words in the boot section read as blank: the host's last page may run into
 * it, and the bootloader's own code is none of the host's business. */
static uint16_t flash_word(uint32_t word_address)
{
    if (word_address >= BOOT_START_WORD)
        return BLANK_WORD;
    return pgm_read_word_far(word_address << 1);
}

static void checksum_start(struct checksum *c, uint16_t page_start)
{
    c->sum = page_start;
    c->xor = page_start;
}

static void checksum_add(struct checksum *c, uint16_t word)
{
    c->sum += word;
    c->xor ^= word;
}

static struct checksum flash_checksum(uint16_t page_start)
{
    struct checksum c;
    checksum_start(&c, page_start);
    for (uint16_t i = 0; i < PAGE_WORDS; ++i)
        checksum_add(&c, flash_word((uint32_t)page_start + i));
    return c;
}

/* Every SPM operation on the application section leaves it unreadable until
 * the operation is over and the section is enabled again. */
static void spm_finish(void)
{
    boot_spm_busy_wait();
    boot_rww_enable();
    boot_spm_busy_wait();
}

static uint8_t device_page_blank(uint32_t page_byte)
{
    for (uint16_t i = 0; i < DEVICE_PAGE_BYTES; i += 2)
        if (pgm_read_word_far(page_byte + i) != BLANK_WORD)
            return 0;
    return 1;
}

static void device_page_erase(uint32_t page_byte)
{
    eeprom_busy_wait();
    boot_page_erase(page_byte);
    spm_finish();
}

/* Erases, fills and writes one device page from merged_words. */
static void device_page_program(uint32_t page_byte)
{
    device_page_erase(page_byte);
    for (uint16_t i = 0; i < PAGE_WORDS; ++i) {
        boot_spm_busy_wait(); /* SPMCSR may be written only when SPMEN is clear */
        boot_page_fill(page_byte + 2 * i, merged_words[i]);
    }
    boot_spm_busy_wait();
    boot_page_write(page_byte);
    spm_finish();
}

/* The application section, page by page; pages already blank are left
 * alone, which saves both time and wear. */
static void erase_application(void)
{
    for (uint32_t page_byte = 0; page_byte < BOOT_START_WORD * 2; page_byte += DEVICE_PAGE_BYTES)
        if (!device_page_blank(page_byte))
            device_page_erase(page_byte);
}

/* Merges the host page into the device page at device_start (word address)
 * and reports whether that changes anything. */
static uint8_t merge_device_page(uint32_t device_start, uint32_t host_start)
{
    uint8_t changed = 0;
    for (uint16_t i = 0; i < PAGE_WORDS; ++i) {
        uint32_t word_address = device_start + i;
        uint16_t old_word = flash_word(word_address);
        uint16_t new_word = old_word;
        if (word_address >= host_start && word_address < host_start + PAGE_WORDS)
            new_word = page_words[word_address - host_start];
        merged_words[i] = new_word;
        changed |= new_word != old_word;
    }
    return changed;
}

/* Programs the one or two device pages the host page touches, below the
 * boot section only. */
static void program_host_page(uint16_t host_start)
{
    uint32_t first = (uint32_t)host_start & ~(uint32_t)(PAGE_WORDS - 1);
    uint32_t end = (uint32_t)host_start + PAGE_WORDS;
    for (uint32_t device_start = first; device_start < end; device_start += PAGE_WORDS) {
        if (device_start >= BOOT_START_WORD)
            break;
        if (merge_device_page(device_start, host_start))
            device_page_program(device_start * 2);
    }
}

/* ---- commands ------------------------------------------------------------ */

static void put_checksum(struct checksum c)
{
    put_byte((uint8_t)(c.sum >> 8));
    put_byte((uint8_t)c.sum);
    put_byte((uint8_t)(c.xor >> 8));
    put_byte((uint8_t)c.xor);
}

/* Reads the page words and the host's checksum into page_words; returns 0
 * when a byte did not come in time or the checksum does not match. */
static uint8_t receive_page(void)
{
    struct checksum mine;
    checksum_start(&mine, current_address);
    uint8_t *bytes = (uint8_t *)page_words; /* little-endian, as sent */
    for (uint16_t i = 0; i < sizeof page_words; ++i) {
        int16_t b = get_byte_within(BYTE_TIMEOUT_MS);
        if (b < 0)
            return 0;
        bytes[i] = (uint8_t)b;
    }
    uint8_t theirs[4];
    for (uint8_t i = 0; i < 4; ++i) {
        int16_t b = get_byte_within(BYTE_TIMEOUT_MS);
        if (b < 0)
            return 0;
        theirs[i] = (uint8_t)b;
    }
    for (uint16_t i = 0; i < PAGE_WORDS; ++i)
        checksum_add(&mine, page_words[i]);
    return theirs[0] == (uint8_t)(mine.sum >> 8) && theirs[1] == (uint8_t)mine.sum &&
           theirs[2] == (uint8_t)(mine.xor >> 8) && theirs[3] == (uint8_t)mine.xor;
}

static uint8_t same_checksum(struct checksum a, struct checksum b)
{
    return a.sum == b.sum && a.xor == b.xor;
}

/* 'D' 'k' 'k': a page arrives, is checked, programmed and read back. */
static void write_page(void)
{
    if (!receive_page()) {
        discard_until_quiet();
        put_byte(REPLY_RESEND);
        return;
    }
    struct checksum wanted;
    checksum_start(&wanted, current_address);
    for (uint16_t i = 0; i < PAGE_WORDS; ++i)
        checksum_add(&wanted, page_words[i]);
    program_host_page(current_address);
    /* A page that does not read back as sent (a worn cell, or words the host
     * aimed at the boot section) is refused rather than acknowledged. */
    put_byte(same_checksum(flash_checksum(current_address), wanted) ? REPLY_OK : REPLY_RESEND);
}

static void page_command(void)
{
    uint8_t first = get_byte();
    uint8_t second = get_byte();
    if (first == 'k' && second == 'k') {
        write_page();
    } else if (first == 'l' && second == 'l') {
        put_checksum(flash_checksum(current_address));
    } else {
        /* A damaged mode letter: the page data may follow; drop it and have
         * the page sent again. */
        discard_until_quiet();
        put_byte(REPLY_RESEND);
    }
}

static void put_identifier(void)
{
    static const char identifier[7] = {'A', 'V', 'R', 'B', 'O', 'O', 'T'};
    for (uint8_t i = 0; i < sizeof identifier; ++i)
        put_byte((uint8_t)identifier[i]);
}

static uint8_t application_present(void)
{
    return pgm_read_word_far(0) != BLANK_WORD;
}

/* After 'E' the host reads the '\r' and then sets its line back to the
 * terminal rate; the application's first words wait for that. */
#define APPLICATION_START_DELAY_MS 50

/* USART0 is left on at its rate: the application sets it up as it needs.
 * (Turning the transmitter off here would stall it in the emulator, which
 * does not raise UDRE again when it is turned back on.) */
__attribute__((noreturn)) static void start_application(void)
{
    line_flush();
    _delay_ms(APPLICATION_START_DELAY_MS);
    RAMPZ = 0;
    __asm__ __volatile__("jmp 0");
    __builtin_unreachable();
}

__attribute__((noinline)) static void serve(uint8_t command)
{
    switch (command) {
    case 'p': /* programmer type: serial */
        put_byte('S');
        break;
    case 'S':
        put_identifier();
        break;
    case 'v': /* hardware version */
        put_byte('1');
        put_byte('0');
        break;
    case 'V': /* software version */
        put_byte(BOOT_VERSION_MAJOR);
        put_byte(BOOT_VERSION_MINOR);
        break;
    case 't': /* supported device codes, 0-terminated */
        put_byte(DEVICE_CODE);
        put_byte(0);
        break;
    case 's': /* signature, last byte first */
        put_byte(SIGNATURE_2);
        put_byte(SIGNATURE_1);
        put_byte(SIGNATURE_0);
        break;
    case 'T': /* device type: there is only one */
        get_byte();
        put_byte(REPLY_OK);
        break;
    case 'P': /* enter and leave programming mode: always in it */
    case 'L':
        put_byte(REPLY_OK);
        break;
    case 'e':
        erase_application();
        put_byte(REPLY_OK);
        break;
    case 'A':
        current_address = (uint16_t)get_byte() << 8;
        current_address |= get_byte();
        put_byte(REPLY_OK);
        break;
    case 'D':
        page_command();
        break;
    case 'E':
        put_byte(REPLY_OK);
        if (application_present())
            start_application();
        break;
    case 0x1B: /* synchronisation byte of serial programmers: no answer */
        break;
    default:
        discard_until_quiet();
        put_byte(REPLY_UNKNOWN);
        break;
    }
}

/* ---- start-up ------------------------------------------------------------ */

/* The divisor names a rate for 16 MHz; this turns it into the UBRR value for
 * the clock the chip runs at. */
static uint16_t ubrr_for_divisor(uint8_t divisor)
{
    uint32_t scaled = (uint32_t)(F_CPU / 1000000UL) * (divisor + 1u);
    return (uint16_t)((scaled + 8) / 16 - 1);
}

/* Takes the application's hand-over, if there is a valid one; see
 * handover.h. */
static uint8_t take_handover(uint8_t reset_cause, uint16_t *ubrr)
{
    volatile struct handover *h = HANDOVER;
    uint8_t check = (uint8_t)~h->divisor;
    uint8_t valid = h->magic_high == HANDOVER_MAGIC_HIGH && h->magic_low == HANDOVER_MAGIC_LOW &&
                    check == h->divisor_check && !(reset_cause & (_BV(PORF) | _BV(BORF)));
    if (valid)
        *ubrr = ubrr_for_divisor(h->divisor);
    h->magic_high = 0;
    h->magic_low = 0;
    return valid;
}

/* Whether c opens a command this bootloader knows. */
static uint8_t is_command(uint8_t c)
{
    static const char commands[] = "pSvVtsTPLeADE\x1b";
    for (const char *k = commands; *k != '\0'; ++k)
        if ((uint8_t)*k == c)
            return 1;
    return 0;
}

/* Listens for the host for BOOT_WAIT_MS and returns its first command, or
 * -1. Other bytes (noise of an adapter powering up, say) are passed over,
 * so that they cannot keep the application from starting. */
static int16_t first_command(void)
{
    for (uint32_t ticks = BOOT_WAIT_MS * 100; ticks > 0; --ticks) {
        if (byte_waiting()) {
            uint8_t c = UDR0;
            if (is_command(c))
                return c;
        }
        _delay_us(10);
    }
    return -1;
}

int main(void)
{
    __asm__ __volatile__("cli");
    uint8_t reset_cause = MCUCSR;
    MCUCSR = 0;
    wdt_disable(); /* an application's watchdog must not cut a download short */

    uint16_t ubrr = BOOT_UBRR;
    uint8_t handed_over = take_handover(reset_cause, &ubrr);
    line_open(ubrr);
    if (!handed_over && application_present() && BOOT_WAIT_MS != 0) {
        int16_t command = first_command();
        if (command < 0)
            start_application();
        serve((uint8_t)command);
    }
    for (;;)
        serve(get_byte());
}
