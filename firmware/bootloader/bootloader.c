/* Serial bootloader for the ATmega128, resident in the 1,024-word boot
 * section at byte 0x1F800.
 *
 * It speaks the command letters the download host uses (p S v V t e A E, plus
 * P L T s for other serial programmers), the page command 'D' and the page
 * hash 'H':
 *
 *   'D' 'k' 'k' + 128 words (low byte first) + 4 checksum bytes
 *       -> '\r' once the words are programmed, 'N' to have them sent again;
 *   'D' 'l' 'l' -> the 4 checksum bytes of the flash at the current address;
 *   'H' + first device page + page count (2 bytes each, high byte first)
 *       -> for each page the CRC-32 of its 256 bytes, most significant byte
 *          first, then '\r'; a count of 0 answers '\r' alone, a range that
 *          reaches the boot section (page 504) answers '?' alone.
 *
 * The checksum of a page of 128 words starting at word address A is the sum
 * and the XOR of A and the 128 words, 16 bits each, sent as sum high, sum
 * low, XOR high, XOR low. Seeding with A means a page that landed at the
 * wrong address never checks out. The sum and XOR cannot tell two swapped
 * words apart; the page hash can, and tells the host which pages need
 * writing. It is the CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320,
 * register preset and result inverted), taken over the page's bytes in
 * address order.
 *
 * Host pages start wherever the image starts, so one host page covers one
 * or two device pages; each is rewritten with the words it already holds
 * outside the host page. Nothing at or above the boot section is ever
 * written, and words there count as 0xFFFF in checksums. A device page whose
 * words would not change is left alone, so an aligned host page rewrites
 * exactly its own device page, erased chip or not.
 *
 * Start-up: after a hand-over from the application (see handover.h) the
 * bootloader serves the host at the rate the application was asked for.
 * Otherwise it listens at BOOT_BAUD for BOOT_WAIT_MS and starts the
 * application when no command came and an application is present; with an
 * empty application section, or BOOT_WAIT_MS 0, it stays. 'E' starts the
 * application too. USART0 is the line, 8-N-1; interrupts stay off.
 *
 * The bootloader has no interrupt vectors and no initialised data (it is
 * linked without the C start-up files): boot_entry below is its first word,
 * and every variable lives in .noinit and is set before it is read. That
 * leaves room for the page hash in the 2 KB boot section.
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
#define BOOT_VERSION_MINOR '1'
#endif

#define BOOT_UBRR ((F_CPU + 8UL * (BOOT_BAUD)) / (16UL * (BOOT_BAUD)) - 1)

#define PAGE_WORDS 128                 /* host page and device page alike */
#define DEVICE_PAGE_BYTES SPM_PAGESIZE /* 256 */
#define CHECKSUM_BYTES 4
#define BOOT_START_WORD 0xFC00UL                         /* first word of the boot section */
#define APPLICATION_PAGES (BOOT_START_WORD / PAGE_WORDS) /* 504 */
#define BLANK_WORD 0xFFFFu
#define DEVICE_CODE 0x44 /* ATmega128 in the device catalogue */

#define CRC_POLYNOMIAL 0xEDB88320UL /* reflected */
#define BLANK_PAGE_CRC 0xFEA8A821UL /* CRC-32 of 256 bytes of 0xFF */

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

/* Waits are counted in rounds of the polling loop in wait_for_byte(), which
 * takes 7 cycles a round. */
#define ROUND_CYCLES 7
#define ROUNDS(ms) ((__uint24)((F_CPU / 1000UL) * (ms) / ROUND_CYCLES))
_Static_assert((F_CPU / 1000UL) * BOOT_WAIT_MS / ROUND_CYCLES < (1UL << 24),
               "BOOT_WAIT_MS too long for the 24-bit wait");

#define NOINIT __attribute__((section(".noinit")))

/* The page from the host: 128 words, then the 4 checksum bytes. */
static uint16_t page_words[PAGE_WORDS + CHECKSUM_BYTES / 2] NOINIT;
static uint16_t merged_words[PAGE_WORDS] NOINIT;
static uint16_t current_address NOINIT; /* word address set by 'A' (0 at start) */
/* The CRC-32 of every byte value, one 256-byte row per byte of the 32-bit
 * entry (least significant first), each row 256-byte aligned so that the
 * byte value is the low byte of the entry's address. Filled by the first
 * 'H' (it takes 2.7 ms at 16 MHz, longer than the receiver can hold bytes
 * that come meanwhile, so never while the host may be sending). */
static uint8_t crc_table[4][256] NOINIT __attribute__((aligned(256)));
static uint8_t crc_table_filled NOINIT; /* 0 at start */

struct checksum {
    uint16_t sum;
    uint16_t parity; /* the XOR */
};

/* ---- start ----------------------------------------------------------------- */

int main(void) __attribute__((OS_main));

/* The first word of the boot section, where a reset (BOOTRST) and the
 * application's hand-over arrive: interrupts off, the stack below the
 * hand-over marker, the zero register cleared. */
__attribute__((naked, used, section(".vectors"))) static void boot_entry(void) {
    __asm__ __volatile__(
        "clr __zero_reg__\n\t"
        "out __SREG__, __zero_reg__\n\t"
        "ldi r28, lo8(__stack)\n\t"
        "ldi r29, hi8(__stack)\n\t"
        "out __SP_H__, r29\n\t"
        "out __SP_L__, r28\n\t"
        "rjmp main\n\t");
}

/* ---- line ------------------------------------------------------------------ */

static void line_open(uint16_t ubrr) {
    UBRR0H = (uint8_t)(ubrr >> 8);
    UBRR0L = (uint8_t)ubrr;
    UCSR0A = 0;                         /* normal speed, one processor */
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00); /* 8 data bits, no parity, 1 stop bit */
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

/* Polls the receiver until a byte is there or `rounds` rounds went by;
 * returns the rounds left, 0 when no byte came. A round takes 7 cycles, so
 * a byte is noticed at most 7 cycles after its stop bit. (At 1,000,000 baud
 * a byte comes every 160 cycles; the receiver holds two, so a byte must be
 * taken before the second one after it is in.) */
__attribute__((noinline)) static __uint24 wait_for_byte(__uint24 rounds) {
    __asm__ __volatile__(
        "1: sbic %[ucsra], %[rxc]\n\t"
        "rjmp 2f\n\t"
        "subi %A[n], 1\n\t"
        "sbci %B[n], 0\n\t"
        "sbci %C[n], 0\n\t"
        "brne 1b\n"
        "2:"
        : [n] "+d"(rounds)
        : [ucsra] "I"(_SFR_IO_ADDR(UCSR0A)), [rxc] "I"(RXC0));
    return rounds;
}

static uint8_t get_byte(void) {
    while (!(UCSR0A & _BV(RXC0))) {
    }
    return UDR0;
}

/* Two bytes, high byte first. */
static uint16_t get_word(void) {
    uint16_t high = get_byte();
    return (uint16_t)(high << 8) | get_byte();
}

static void put_byte(uint8_t value) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    /* Clear TXC (written as one; the other bits written 0 keep normal speed
     * and one processor) so that line_flush() waits for this very byte. */
    UCSR0A = _BV(TXC0);
    UDR0 = value;
}

/* Two bytes, high byte first. */
static void put_word(uint16_t value) {
    put_byte((uint8_t)(value >> 8));
    put_byte((uint8_t)value);
}

/* Waits until the last byte sent has left the shift register (TXC is set
 * only after a byte has gone out). */
static void line_flush(void) {
    while (!(UCSR0A & _BV(TXC0))) {
    }
}

static void discard_until_quiet(void) {
    while (wait_for_byte(ROUNDS(QUIET_MS)) != 0) (void)UDR0;
}

/* ---- flash ----------------------------------------------------------------- */

/* Words in the boot section read as blank: the host's last page may run into
 * it, and the bootloader's own code is none of the host's business. */
static uint16_t flash_word(uint16_t word_address) {
    if (word_address >= BOOT_START_WORD) return BLANK_WORD;
    return pgm_read_word_far((uint32_t)word_address << 1);
}

static struct checksum words_checksum(uint16_t page_start, const uint16_t *words) {
    struct checksum c = {page_start, page_start};
    for (uint8_t i = 0; i < PAGE_WORDS; ++i) {
        c.sum += words[i];
        c.parity ^= words[i];
    }
    return c;
}

/* The checksum of the 128 words of flash from word page_start on, those in
 * the boot section counted as blank. The words are read in one run, 13
 * cycles each (RAMPZ:Z counts on across 64 KiB), so the host's verify waits
 * about 0.1 ms for the answer. */
static struct checksum flash_checksum(uint16_t page_start) {
    struct checksum c = {page_start, page_start};
    uint8_t readable = PAGE_WORDS;
    if (page_start >= BOOT_START_WORD)
        readable = 0;
    else if (page_start > BOOT_START_WORD - PAGE_WORDS)
        readable = (uint8_t)(BOOT_START_WORD - page_start);
    uint8_t blank = PAGE_WORDS - readable;
    c.sum -= blank; /* each blank word adds 0xFFFF */
    if (blank & 1) c.parity = ~c.parity;
    if (readable == 0) return c;
    RAMPZ = (uint8_t)(page_start >> 15);
    uint16_t z = page_start << 1;
    __asm__ __volatile__(
        "1: elpm r24, Z+\n\t"
        "elpm r25, Z+\n\t"
        "add %A[sum], r24\n\t"
        "adc %B[sum], r25\n\t"
        "eor %A[parity], r24\n\t"
        "eor %B[parity], r25\n\t"
        "dec %[n]\n\t"
        "brne 1b"
        : [sum] "+r"(c.sum), [parity] "+r"(c.parity), [n] "+r"(readable), [z] "+z"(z)
        :
        : "r24", "r25");
    return c;
}

/* Whether c is the checksum the host sent behind its page. */
static uint8_t host_checksum_is(struct checksum c) {
    const uint8_t *theirs = (const uint8_t *)&page_words[PAGE_WORDS];
    return theirs[0] == (uint8_t)(c.sum >> 8) && theirs[1] == (uint8_t)c.sum &&
           theirs[2] == (uint8_t)(c.parity >> 8) && theirs[3] == (uint8_t)c.parity;
}

/* Points RAMPZ:Z at the first byte of application page `page`; returns Z. */
static uint16_t page_pointer(uint16_t page) {
    RAMPZ = (uint8_t)(page >> 8);
    return page << 8;
}

/* Whether every byte of the application page is 0xFF. Reads four bytes a
 * round, about 5.3 cycles a byte, and stops at the first four that are not
 * blank. */
static uint8_t page_blank(uint16_t page) {
    uint16_t z = page_pointer(page);
    uint8_t all;
    __asm__ __volatile__(
        "ldi %[all], 0xFF\n"
        "1: elpm __tmp_reg__, Z+\n\t"
        "and %[all], __tmp_reg__\n\t"
        "elpm __tmp_reg__, Z+\n\t"
        "and %[all], __tmp_reg__\n\t"
        "elpm __tmp_reg__, Z+\n\t"
        "and %[all], __tmp_reg__\n\t"
        "elpm __tmp_reg__, Z+\n\t"
        "and %[all], __tmp_reg__\n\t"
        "cpi %[all], 0xFF\n\t"
        "brne 2f\n\t"
        "tst %A[z]\n\t" /* the low byte wraps to 0 after the page's last byte */
        "brne 1b\n"
        "2:"
        : [all] "=&d"(all), [z] "+z"(z));
    return all == 0xFF;
}

/* Runs the CRC-32 register over the 128 bytes of flash from RAMPZ:*z on:
 * one table look-up a byte, about 22 cycles a byte (the register is shifted
 * by moving its bytes down while the table rows of the byte are XORed in). */
static uint32_t crc_half_page(uint32_t crc, uint16_t *z) {
    uint16_t next = *z;
    uint8_t count = DEVICE_PAGE_BYTES / 2;
    __asm__ __volatile__(
        "1: elpm r26, Z+\n\t"
        "eor r26, %A[crc]\n\t"
        "ldi r27, hi8(%[table])\n\t"
        "ld %A[crc], X\n\t"
        "eor %A[crc], %B[crc]\n\t"
        "inc r27\n\t"
        "ld %B[crc], X\n\t"
        "eor %B[crc], %C[crc]\n\t"
        "inc r27\n\t"
        "ld %C[crc], X\n\t"
        "eor %C[crc], %D[crc]\n\t"
        "inc r27\n\t"
        "ld %D[crc], X\n\t"
        "dec %[count]\n\t"
        "brne 1b"
        : [crc] "+r"(crc), [z] "+z"(next), [count] "+r"(count)
        : [table] "i"(crc_table)
        : "r26", "r27");
    *z = next;
    return crc;
}

static void crc_table_fill(void) {
    if (crc_table_filled) return;
    crc_table_filled = 1;
    uint8_t i = 0;
    do {
        uint32_t c = i;
        for (uint8_t bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ CRC_POLYNOMIAL : c >> 1;
        for (uint8_t row = 0; row < 4; ++row, c >>= 8) crc_table[row][i] = (uint8_t)c;
    } while (++i != 0);
}

/* Every SPM operation on the application section leaves it unreadable until
 * the operation is over and the section is enabled again. */
static void spm_finish(void) {
    boot_spm_busy_wait();
    boot_rww_enable();
    boot_spm_busy_wait();
}

static void device_page_erase(uint32_t page_byte) {
    eeprom_busy_wait();
    boot_page_erase(page_byte);
    spm_finish();
}

/* Erases the device page and writes merged_words into it; a page that is
 * to be blank is only erased. */
static void device_page_program(uint32_t page_byte, uint8_t blank) {
    device_page_erase(page_byte);
    if (blank) return;
    for (uint8_t i = 0; i < PAGE_WORDS; ++i) {
        boot_spm_busy_wait(); /* SPMCSR may be written only when SPMEN is clear */
        boot_page_fill(page_byte + 2 * i, merged_words[i]);
    }
    boot_spm_busy_wait();
    boot_page_write(page_byte);
    spm_finish();
}

/* The application section, page by page; pages already blank are left
 * alone, which saves both time and wear. */
static void erase_application(void) {
    for (uint16_t page = 0; page < APPLICATION_PAGES; ++page)
        if (!page_blank(page)) device_page_erase((uint32_t)page * DEVICE_PAGE_BYTES);
}

/* Programs the one or two device pages the host page touches, below the
 * boot section only, each only when its words change. */
static void program_host_page(uint16_t host_start) {
    uint16_t device_start = host_start & ~(uint16_t)(PAGE_WORDS - 1);
    uint16_t end = host_start + PAGE_WORDS; /* no wrap below the boot section */
    for (; device_start < BOOT_START_WORD && device_start < end; device_start += PAGE_WORDS) {
        uint8_t changed = 0;
        uint8_t blank = 1;
        for (uint8_t i = 0; i < PAGE_WORDS; ++i) {
            uint16_t word_address = device_start + i;
            uint16_t old_word = flash_word(word_address);
            uint16_t new_word = old_word;
            if (word_address >= host_start && word_address < end)
                new_word = page_words[word_address - host_start];
            merged_words[i] = new_word;
            changed |= new_word != old_word;
            blank &= new_word == BLANK_WORD;
        }
        if (changed) device_page_program((uint32_t)device_start * 2, blank);
    }
}

/* ---- commands -------------------------------------------------------------- */

static void put_checksum(struct checksum c) {
    put_word(c.sum);
    put_word(c.parity);
}

/* Reads the page words and the host's checksum into page_words; returns 0
 * when a byte did not come in time or the checksum does not match. Bytes
 * come every 160 cycles at 1,000,000 baud; a round of this loop takes 26
 * of them, and the checksum is worked out once all are in. */
static uint8_t receive_page(void) {
    uint8_t *bytes = (uint8_t *)page_words; /* little-endian, as sent */
    uint8_t *end = bytes + sizeof page_words;
    do {
        if (wait_for_byte(ROUNDS(BYTE_TIMEOUT_MS)) == 0) return 0;
        *bytes++ = UDR0;
    } while (bytes != end);
    return host_checksum_is(words_checksum(current_address, page_words));
}

/* 'D' 'k' 'k': a page arrives, is checked, programmed and read back. */
static void write_page(void) {
    if (!receive_page()) {
        discard_until_quiet();
        put_byte(REPLY_RESEND);
        return;
    }
    program_host_page(current_address);
    /* A page that does not read back as sent (a worn cell, or words the host
     * aimed at the boot section) is refused rather than acknowledged. */
    put_byte(host_checksum_is(flash_checksum(current_address)) ? REPLY_OK : REPLY_RESEND);
}

static void page_command(void) {
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

/* 'H': the CRC-32 of each page in the range, each sent as soon as it is
 * worked out; blank pages (most of a chip, usually) are known without the
 * computation. The transmitter holds two bytes, so a hash goes out as two
 * pairs, the second while the next page is half done: the line stays busy
 * while the bootloader works. */
static void hash_pages(void) {
    uint16_t page = get_word();
    uint16_t count = get_word();
    if (count != 0 && (page >= APPLICATION_PAGES || count > APPLICATION_PAGES - page)) {
        put_byte(REPLY_UNKNOWN);
        return;
    }
    crc_table_fill();
    uint16_t tail = 0; /* the low half of the last hash, not yet sent */
    uint8_t tail_waits = 0;
    for (; count != 0; --count, ++page) {
        uint8_t blank = page_blank(page);
        uint16_t z = page_pointer(page);
        uint32_t crc = BLANK_PAGE_CRC;
        if (!blank) crc = crc_half_page(0xFFFFFFFFUL, &z);
        if (tail_waits) put_word(tail);
        if (!blank) crc = ~crc_half_page(crc, &z);
        put_word((uint16_t)(crc >> 16));
        tail = (uint16_t)crc;
        tail_waits = 1;
    }
    if (tail_waits) put_word(tail);
    put_byte(REPLY_OK);
}

static void put_identifier(void) {
    put_byte('A');
    put_byte('V');
    put_byte('R');
    put_byte('B');
    put_byte('O');
    put_byte('O');
    put_byte('T');
}

static uint8_t application_present(void) { return pgm_read_word_far(0) != BLANK_WORD; }

/* After 'E' the host reads the '\r' and then sets its line back to the
 * terminal rate; the application's first words wait for that. */
#define APPLICATION_START_DELAY_MS 50

/* USART0 is left on at its rate: the application sets it up as it needs. */
__attribute__((noreturn)) static void start_application(void) {
    RAMPZ = 0;
    __asm__ __volatile__("jmp 0");
    __builtin_unreachable();
}

/* Carries out one command; returns 0, having done nothing, for a byte that
 * is no command. */
__attribute__((noinline)) static uint8_t serve(uint8_t command) {
    switch (command) {
        case 'p': /* programmer type: serial */ put_byte('S'); break;
        case 'S': put_identifier(); break;
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
        case 'L': put_byte(REPLY_OK); break;
        case 'e':
            erase_application();
            put_byte(REPLY_OK);
            break;
        case 'A':
            current_address = get_word();
            put_byte(REPLY_OK);
            break;
        case 'D': page_command(); break;
        case 'H': hash_pages(); break;
        case 'E':
            put_byte(REPLY_OK);
            if (application_present()) {
                line_flush();
                _delay_ms(APPLICATION_START_DELAY_MS);
                start_application();
            }
            break;
        case 0x1B: /* synchronisation byte of serial programmers: no answer */ break;
        default: return 0;
    }
    return 1;
}

/* ---- start-up -------------------------------------------------------------- */

/* The divisor names a rate for 16 MHz; this turns it into the UBRR value for
 * the clock the chip runs at. */
static uint16_t ubrr_for_divisor(uint8_t divisor) {
    uint16_t scaled = (uint16_t)(F_CPU / 1000000UL) * (divisor + 1u);
    return (uint16_t)((scaled + 8) / 16 - 1);
}

/* Takes the application's hand-over, if there is a valid one; see
 * handover.h. */
static uint8_t take_handover(uint8_t reset_cause, uint16_t *ubrr) {
    volatile struct handover *h = HANDOVER;
    uint8_t check = (uint8_t)~h->divisor;
    uint8_t valid = h->magic_high == HANDOVER_MAGIC_HIGH && h->magic_low == HANDOVER_MAGIC_LOW &&
                    check == h->divisor_check && !(reset_cause & (_BV(PORF) | _BV(BORF)));
    if (valid) *ubrr = ubrr_for_divisor(h->divisor);
    h->magic_high = 0;
    h->magic_low = 0;
    return valid;
}

/* Listens for the host for BOOT_WAIT_MS and serves its first command;
 * returns 0 when none came. Other bytes (noise of an adapter powering up,
 * say) are passed over, so that they cannot keep the application from
 * starting. */
static uint8_t first_command(void) {
    __uint24 rounds = ROUNDS(BOOT_WAIT_MS);
    while ((rounds = wait_for_byte(rounds)) != 0)
        if (serve(UDR0)) return 1;
    return 0;
}

int main(void) {
    uint8_t reset_cause = MCUCSR;
    MCUCSR = 0;
    wdt_disable(); /* an application's watchdog must not cut a download short */
    current_address = 0;
    crc_table_filled = 0;

    uint16_t ubrr = BOOT_UBRR;
    uint8_t handed_over = take_handover(reset_cause, &ubrr);
    line_open(ubrr);
    if (!handed_over && application_present() && BOOT_WAIT_MS != 0 && !first_command()) start_application();
    for (;;) {
        if (!serve(get_byte())) {
            discard_until_quiet();
            put_byte(REPLY_UNKNOWN);
        }
    }
}
