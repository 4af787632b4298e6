/* Serial bootloader for the ATmega128, resident in the 1,024-word boot
 * section at byte 0x1F800.
 *
 * It speaks the command letters the download host uses (p S v V t e A E, plus
 * P L T s for other serial programmers), the page command 'D', the page
 * hash 'H', and the memory commands 'W' (write EEPROM), 'X' (read EEPROM)
 * and 'G' (read flash pages):
 *
 *   'D' 'k' 'k' + 128 words (low byte first) + 4 checksum bytes
 *       -> '\r' once the words are programmed, 'N' to have them sent again;
 *   'D' 'l' 'l' -> the 4 checksum bytes of the flash at the current address;
 *   'H' + first device page + page count (2 bytes each, high byte first)
 *       -> for each page the CRC-32 of its 256 bytes, most significant byte
 *          first, then '\r'; a count of 0 answers '\r' alone, a range that
 *          reaches the boot section (page 504) is refused;
 *   'G' + first device page + page count -> each page's 256 bytes followed
 *       by their CRC-32, then '\r'; the same range rules as 'H';
 *   'X' + first EEPROM block + block count (blocks of 256 bytes) -> each
 *       block's bytes followed by their CRC-32, then '\r'; a count of 0
 *       answers '\r' alone, a range past block 16 is refused;
 *   'W' + byte count (at most 256) + the bytes + the CRC-32 of the address,
 *       the count and the bytes -> the bytes written to the EEPROM from the
 *       address 'A' set, each only where it differs, then read back: '\r'
 *       when they all hold, 'N' to have the block sent again.
 *
 * The checksum of a page of 128 words starting at word address A is the sum
 * and the XOR of A and the 128 words, 16 bits each, sent as sum high, sum
 * low, XOR high, XOR low. Seeding with A means a page that landed at the
 * wrong address never checks out. The sum and XOR cannot tell two swapped
 * words apart; the page hash can, and tells the host which pages need
 * writing. It is the CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320,
 * register preset and result inverted), taken over the page's bytes in
 * address order; every CRC-32 here is that one.
 *
 * A dialogue that lost a byte on the line reads the rest of a command as
 * commands (an address 0x65xx whose 'A' was lost is an 'e'), so commands
 * that destroy are taken only where the host's sequence puts them: the
 * erase 'e' right after the identification 'V' 't' (or right after an 'H',
 * where a host that asked for page hashes falls back to the erase) and
 * alone on the line for 50 ms, 'D' and 'W' right after an 'A'. The bytes
 * of a command must come 50 ms apart at most. A byte that is no command
 * here, a command out of its place, a command whose bytes stopped coming
 * and a range that does not fit are all refused the same way: the
 * bootloader discards what comes until the line has been quiet for 30 ms,
 * and answers '?' (a page or EEPROM block cut short gets 'N' instead).
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
 * leaves room for the page hash and the memory commands in the 2 KB boot
 * section.
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

#define BLOCK_BYTES 256  /* what the reads send a CRC-32 after; a device page */
#define EEPROM_BLOCKS 16 /* 4,096 bytes */
#define EEPROM_BYTES (EEPROM_BLOCKS * BLOCK_BYTES)

#define REPLY_OK '\r'
#define REPLY_RESEND 'N'
#define REPLY_UNKNOWN '?'

/* What serve() returns: REFUSED, or what the command leaves the bootloader
 * ready for, which is the command letter itself but for the identification
 * 'V' 't', after which (and only after which, or an 'H') 'e' erases. */
#define REFUSED 0
#define IDENTIFIED 1

/* A byte of a command that does not come within this time means a byte was
 * lost on the line: give up on the command. */
#define BYTE_TIMEOUT_MS 50
/* After a refusal, input is discarded until the line has been quiet this
 * long, so that the rest of a damaged command is never taken for commands
 * (a stray 'e' in page data would erase the chip). */
#define QUIET_MS 30

/* Waits are counted in rounds of the polling loop in wait_for_byte(), which
 * takes 7 cycles a round. */
#define ROUND_CYCLES 7
#define ROUNDS(ms) ((__uint24)((F_CPU / 1000UL) * (ms) / ROUND_CYCLES))
_Static_assert((F_CPU / 1000UL) * BOOT_WAIT_MS / ROUND_CYCLES < (1UL << 24),
               "BOOT_WAIT_MS too long for the 24-bit wait");

#define NOINIT __attribute__((section(".noinit")))

/* What the host sends: a command's own bytes (an address, a range, a
 * count) as they came, and right behind them a page of 128 words and its
 * 4 checksum bytes, or the bytes of an EEPROM block and their CRC-32 (which
 * covers the address and the count before them). */
static struct {
    uint8_t arguments[4];
    uint16_t page_words[PAGE_WORDS + CHECKSUM_BYTES / 2];
} from_host NOINIT;
/* The two device pages a host page starting at any word address touches,
 * as the flash holds them (words in the boot section read as blank), with
 * the host page laid over them before they are programmed. */
static uint16_t window[2 * PAGE_WORDS] NOINIT;
/* Word address (flash) or byte address (EEPROM) set by 'A' (every command
 * that uses it comes right after an 'A'). */
static uint16_t current_address NOINIT;
/* The CRC-32 of every byte value, one 256-byte row per byte of the 32-bit
 * entry (least significant first), each row 256-byte aligned so that the
 * byte value is the low byte of the entry's address. Filled by the first
 * command that needs it once all its bytes are in (it takes 2.7 ms at
 * 16 MHz, longer than the receiver can hold bytes that come meanwhile, so
 * never while the host may be sending). */
static uint8_t crc_table[4][256] NOINIT __attribute__((aligned(256)));
static uint8_t crc_table_filled NOINIT; /* 0 at start */
/* A page checksum or a CRC-32 as it goes on the line, most significant
 * byte first. */
static uint8_t tally[4] NOINIT;
/* What is left of the listening after a reset, in rounds of
 * wait_for_byte(); in memory, not in a register, across serve(). */
static volatile __uint24 boot_wait_left NOINIT;

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

/* Reads count (1 or more) bytes of a command into bytes; returns 0 as soon
 * as one does not come in time. Bytes come every 160 cycles at 1,000,000
 * baud; a round of this loop takes 26 of them. */
static uint8_t receive(uint8_t *bytes, uint16_t count) {
    do {
        if (wait_for_byte(ROUNDS(BYTE_TIMEOUT_MS)) == 0) return 0;
        *bytes++ = UDR0;
    } while (--count);
    return 1;
}

static uint8_t receive_arguments(uint8_t count) { return receive(from_host.arguments, count); }

/* Two bytes of the arguments from index on, high byte first. */
static uint16_t argument_word(uint8_t index) {
    union {
        uint16_t word;
        uint8_t bytes[2]; /* low byte first */
    } value;
    value.bytes[1] = from_host.arguments[index];
    value.bytes[0] = from_host.arguments[index + 1];
    return value.word;
}

/* Inline where a call would cost more (in a loop that holds registers). */
__attribute__((always_inline)) static inline void put_byte_here(uint8_t value) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    /* Clear TXC (written as one; the other bits written 0 keep normal speed
     * and one processor) so that line_flush() waits for this very byte. */
    UCSR0A = _BV(TXC0);
    UDR0 = value;
}

static void put_byte(uint8_t value) { put_byte_here(value); }

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

/* Points RAMPZ:Z at the first byte of application page (or EEPROM block)
 * `page`; returns Z. */
static uint16_t page_pointer(uint16_t page) {
    RAMPZ = (uint8_t)(page >> 8);
    return page << 8;
}

/* Whether the 4 bytes the host sent at theirs are those of the tally. */
static uint8_t sent_as_tally(const uint8_t *theirs) {
    for (uint8_t i = 0; i < 4; ++i)
        if (theirs[i] != tally[i]) return 0;
    return 1;
}

/* The page checksum into the tally: sum, then XOR, high bytes first. */
static void words_checksum(uint16_t page_start, const uint16_t *words) {
    uint16_t sum = page_start;
    uint16_t parity = page_start;
    for (uint8_t i = 0; i < PAGE_WORDS; ++i) {
        sum += words[i];
        parity ^= words[i];
    }
    tally[0] = (uint8_t)(sum >> 8);
    tally[1] = (uint8_t)sum;
    tally[2] = (uint8_t)(parity >> 8);
    tally[3] = (uint8_t)parity;
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

/* One byte more through the CRC-32 register: one table look-up (the
 * register is shifted by moving its bytes down while the table rows of the
 * byte are XORed in). */
static uint32_t crc_step(uint32_t crc, uint8_t byte) {
    uint16_t x = (uint8_t)(byte ^ (uint8_t)crc);
    __asm__(
        "ldi %B[x], hi8(%[table])\n\t"
        "ld %A[crc], X\n\t"
        "eor %A[crc], %B[crc]\n\t"
        "inc %B[x]\n\t"
        "ld %B[crc], X\n\t"
        "eor %B[crc], %C[crc]\n\t"
        "inc %B[x]\n\t"
        "ld %C[crc], X\n\t"
        "eor %C[crc], %D[crc]\n\t"
        "inc %B[x]\n\t"
        "ld %D[crc], X"
        : [crc] "+r"(crc), [x] "+x"(x)
        : [table] "i"(crc_table), "m"(crc_table));
    return crc;
}

/* The table entry of each byte value: the value shifted through the
 * reflected polynomial 8 times, its 4 bytes stored down the 4 rows. */
__attribute__((noinline)) static void crc_table_fill(void) {
    if (crc_table_filled) return;
    crc_table_filled = 1;
    __asm__ __volatile__(
        "clr r26\n" /* the byte value, and the low byte of its entries' addresses */
        "1: mov r20, r26\n\t"
        "clr r21\n\t"
        "clr r22\n\t"
        "clr r23\n\t"
        "ldi r24, 8\n"
        "2: lsr r23\n\t"
        "ror r22\n\t"
        "ror r21\n\t"
        "ror r20\n\t"
        "brcc 3f\n\t"
        "eor r20, %A[polynomial]\n\t"
        "eor r21, %B[polynomial]\n\t"
        "eor r22, %C[polynomial]\n\t"
        "eor r23, %D[polynomial]\n"
        "3: dec r24\n\t"
        "brne 2b\n\t"
        "ldi r27, hi8(%[table])\n\t"
        "st X, r20\n\t"
        "inc r27\n\t"
        "st X, r21\n\t"
        "inc r27\n\t"
        "st X, r22\n\t"
        "inc r27\n\t"
        "st X, r23\n\t"
        "inc r26\n\t"
        "brne 1b"
        :
        : [polynomial] "r"(CRC_POLYNOMIAL), [table] "i"(crc_table)
        : "r20", "r21", "r22", "r23", "r24", "r26", "r27", "memory");
}

/* Runs one SPM operation on RAMPZ:z, with word in r1:r0 for a page fill,
 * once the one before is over (SPMCSR may be written only then). */
static void spm(uint8_t operation, uint16_t z, uint16_t word) {
    boot_spm_busy_wait();
    __asm__ __volatile__(
        "movw r0, %[word]\n\t"
        "sts %[spmcsr], %[operation]\n\t"
        "spm\n\t"
        "clr __zero_reg__"
        :
        : [word] "r"(word), [operation] "r"(operation), [spmcsr] "i"(_SFR_MEM_ADDR(SPMCSR)), "z"(z)
        : "r0");
}

/* Every SPM operation on the application section leaves it unreadable until
 * the operation is over and the section is enabled again. */
static void spm_finish(uint8_t operation, uint16_t z) {
    spm(operation, z, 0);
    spm(_BV(RWWSRE) | _BV(SPMEN), 0, 0);
    boot_spm_busy_wait();
}

/* An EEPROM write going on would make the chip ignore the SPM. */
static void device_page_erase(uint16_t page) {
    eeprom_busy_wait();
    spm_finish(_BV(PGERS) | _BV(SPMEN), page_pointer(page));
}

/* Erases the device page and writes the 128 words into it; a page that
 * is to be blank is only erased. */
static void device_page_program(uint16_t page, const uint16_t *words) {
    device_page_erase(page);
    uint16_t all = BLANK_WORD;
    for (uint8_t i = 0; i < PAGE_WORDS; ++i) all &= words[i];
    if (all == BLANK_WORD) return;
    uint16_t z = page_pointer(page);
    for (uint8_t i = 0; i < PAGE_WORDS; ++i) spm(_BV(SPMEN), z + 2 * i, words[i]);
    spm_finish(_BV(PGWRT) | _BV(SPMEN), z);
}

/* The application section, page by page; pages already blank are left
 * alone, which saves both time and wear. */
static void erase_application(void) {
    for (uint16_t page = 0; page < APPLICATION_PAGES; ++page)
        if (!page_blank(page)) device_page_erase(page);
}

/* ---- EEPROM ---------------------------------------------------------------- */

/* The EEPROM byte at address, once any write going on is over (the chip
 * neither reads nor takes a new address meanwhile). */
static uint8_t eeprom_byte(uint16_t address) {
    eeprom_busy_wait();
    EEAR = address;
    EECR |= _BV(EERE);
    return EEDR;
}

/* Starts the write of value to the address eeprom_byte() just read; it
 * takes 8.5 ms. Interrupts are off, so EEWE follows EEMWE within the four
 * cycles the chip allows. */
static void eeprom_put(uint8_t value) {
    EEDR = value;
    EECR |= _BV(EEMWE);
    EECR |= _BV(EEWE);
}

/* Copies device page or EEPROM block `block` (256 bytes) to `to`; flash
 * at and above the boot section reads as blank (the host's last page may
 * run into it, and the bootloader's own code is none of the host's
 * business). */
static void load_block(uint16_t block, uint8_t eeprom, uint8_t *to) {
    uint16_t z = page_pointer(block);
    if (!eeprom && block < APPLICATION_PAGES) {
        /* 8 cycles a byte; the low byte of Z wraps to 0 after the last. */
        __asm__ __volatile__(
            "1: elpm __tmp_reg__, Z+\n\t"
            "st X+, __tmp_reg__\n\t"
            "tst %A[z]\n\t"
            "brne 1b"
            : [z] "+z"(z), [to] "+x"(to)
            :
            : "memory");
        return;
    }
    do *to++ = eeprom ? eeprom_byte(z) : 0xFF;
    while ((uint8_t)++z != 0);
}

/* Loads the window of the host page that starts at word address start;
 * returns where in the window the host page starts. */
static uint16_t *load_window(uint16_t start) {
    uint16_t page = start / PAGE_WORDS;
    uint8_t shift = start % PAGE_WORDS;
    load_block(page, 0, (uint8_t *)window);
    if (shift != 0) load_block(page + 1, 0, (uint8_t *)&window[PAGE_WORDS]);
    return &window[shift];
}

/* The checksum of the 128 words of flash from word start on, those in the
 * boot section counted as blank. */
static void flash_checksum(uint16_t start) { words_checksum(start, load_window(start)); }

/* Programs the one or two device pages the host page touches, below the
 * boot section only, each only when its words change. */
static void program_host_page(uint16_t start) {
    uint16_t *over = load_window(start);
    uint8_t shift = start % PAGE_WORDS;
    uint8_t changed = 0; /* bit k: device page k of the window */
    for (uint8_t i = 0; i < PAGE_WORDS; ++i) {
        if (over[i] == from_host.page_words[i]) continue;
        over[i] = from_host.page_words[i];
        changed |= (uint8_t)(shift + i) < PAGE_WORDS ? 1 : 2;
    }
    uint16_t page = start / PAGE_WORDS;
    for (uint8_t k = 1; k <= 2; ++k, ++page)
        if ((changed & k) && page < APPLICATION_PAGES)
            device_page_program(page, &window[(k - 1) * PAGE_WORDS]);
}

/* ---- commands -------------------------------------------------------------- */

static void put_tally(void) {
    for (uint8_t i = 0; i < 4; ++i) put_byte(tally[i]);
}

/* The page checksum the host sent behind its page. */
static const uint8_t *host_checksum(void) { return (const uint8_t *)&from_host.page_words[PAGE_WORDS]; }

/* Sends the answer for a block that did not come whole or sound, once the
 * rest of it has passed. */
static void ask_again(void) {
    discard_until_quiet();
    put_byte(REPLY_RESEND);
}

/* 'D' 'k' 'k': a page arrives (the words little-endian, as sent), is
 * checked, programmed and read back. */
static void write_page(void) {
    uint8_t whole = receive((uint8_t *)from_host.page_words, sizeof from_host.page_words);
    words_checksum(current_address, from_host.page_words);
    if (!whole || !sent_as_tally(host_checksum())) {
        ask_again();
        return;
    }
    program_host_page(current_address);
    /* A page that does not read back as sent (a worn cell, or words the host
     * aimed at the boot section) is refused rather than acknowledged. */
    flash_checksum(current_address);
    put_byte(sent_as_tally(host_checksum()) ? REPLY_OK : REPLY_RESEND);
}

static void page_command(void) {
    uint8_t whole = receive_arguments(2);
    uint8_t first = from_host.arguments[0];
    uint8_t second = from_host.arguments[1];
    if (whole && first == 'k' && second == 'k') {
        write_page();
    } else if (whole && first == 'l' && second == 'l') {
        flash_checksum(current_address);
        put_tally();
    } else {
        /* A damaged or lost mode letter: the page data may follow; drop it
         * and have the page sent again. */
        ask_again();
    }
}

/* Whether count units from first stay below limit; a count of 0 always
 * does (it asks whether the command is known). */
static uint8_t range_fits(uint16_t first, uint16_t count, uint16_t limit) {
    if (count == 0) return 1;
    if (first >= limit) return 0;
    return count <= limit - first;
}

/* The register's final value, inverted, into the tally. */
__attribute__((noinline)) static void crc_into_tally(uint32_t crc) {
    crc = ~crc;
    tally[0] = (uint8_t)(crc >> 24);
    tally[1] = (uint8_t)(crc >> 16);
    tally[2] = (uint8_t)(crc >> 8);
    tally[3] = (uint8_t)crc;
}

/* The CRC-32 of count (1 or more) bytes into the tally, each byte sent on
 * the way with send. At 1,000,000 baud a byte goes out every 160 cycles;
 * the loop spends about 25 on the next one meanwhile, so the line never
 * waits. */
static void crc_of(const uint8_t *bytes, uint16_t count, uint8_t send) {
    uint32_t crc = 0xFFFFFFFFUL;
    do {
        uint8_t value = *bytes++;
        if (send) put_byte_here(value);
        crc = crc_step(crc, value);
    } while (--count);
    crc_into_tally(crc);
}

/* The CRC-32 register run over the 256 bytes of application page `page`
 * straight from flash, 23 cycles a byte: the page hash. */
static uint32_t crc_of_page(uint16_t page) {
    uint16_t z = page_pointer(page);
    uint32_t crc = 0xFFFFFFFFUL;
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
        "tst %A[z]\n\t"
        "brne 1b"
        : [crc] "+r"(crc), [z] "+z"(z)
        : [table] "i"(crc_table), "m"(crc_table)
        : "r26", "r27");
    return crc;
}

/* 'H', 'G' and 'X': the range (first block, block count, high bytes
 * first), then for each block in it, 'G' and 'X' its 256 bytes, and all
 * three its CRC-32 (most significant byte first); then '\r'. Blocks are
 * device pages for 'H' and 'G', 256-byte blocks of EEPROM for 'X'. The
 * hash of a blank page (most of a chip, usually) is known without the
 * computation. */
static uint8_t send_blocks(uint8_t command) {
    uint8_t eeprom = command == 'X';
    uint8_t send = command != 'H';
    if (!receive_arguments(4)) return REFUSED;
    uint16_t block = argument_word(0);
    uint16_t count = argument_word(2);
    if (!range_fits(block, count, eeprom ? EEPROM_BLOCKS : APPLICATION_PAGES)) return REFUSED;
    crc_table_fill();
    for (; count != 0; --count, ++block) {
        if (send) {
            load_block(block, eeprom, (uint8_t *)from_host.page_words);
            crc_of((uint8_t *)from_host.page_words, BLOCK_BYTES, send);
        } else if (page_blank(block)) {
            crc_into_tally(~BLANK_PAGE_CRC); /* known without the work */
        } else {
            crc_into_tally(crc_of_page(block));
        }
        put_tally();
    }
    put_byte(REPLY_OK);
    return command;
}

/* Whether the EEPROM holds the count bytes from current_address; with
 * write, each byte that differs is written on the way (only those: a write
 * takes 8.5 ms and wears the cell). */
static uint8_t eeprom_holds(const uint8_t *bytes, uint16_t count, uint8_t write) {
    uint8_t all = 1;
    for (uint16_t address = current_address; count != 0; --count, ++address, ++bytes) {
        if (eeprom_byte(address) == *bytes) continue;
        all = 0;
        if (write) eeprom_put(*bytes);
    }
    return all;
}

/* 'W' right after 'A': the byte count, the bytes and the CRC-32 of the
 * address, the count and the bytes. The block is taken into SRAM whole
 * before anything is written, then written and read back. The address
 * bytes of 'A' are still in the arguments, right before the count. */
static uint8_t write_eeprom(void) {
    if (!receive(from_host.arguments + 2, 2)) return REFUSED;
    uint16_t count = argument_word(2);
    if (count > BLOCK_BYTES || !range_fits(current_address, count, EEPROM_BYTES)) return REFUSED;
    uint8_t *bytes = (uint8_t *)from_host.page_words;
    if (!receive(bytes, count + CHECKSUM_BYTES)) {
        ask_again();
        return 'W';
    }
    crc_table_fill();
    crc_of(from_host.arguments, count + 4, 0);
    uint8_t sound = sent_as_tally(bytes + count);
    if (sound) eeprom_holds(bytes, count, 1);
    put_byte(sound && eeprom_holds(bytes, count, 0) ? REPLY_OK : REPLY_RESEND);
    return 'W';
}

/* The commands that only answer: each the command letter, the length of
 * its answer and the answer; a 0 ends the list. */
/* clang-format off */
static const uint8_t fixed_answers[] PROGMEM = {
    'p', 1, 'S',                                    /* programmer type: serial */
    'S', 7, 'A', 'V', 'R', 'B', 'O', 'O', 'T',      /* software identifier */
    'v', 2, '1', '0',                               /* hardware version */
    'V', 2, BOOT_VERSION_MAJOR, BOOT_VERSION_MINOR, /* software version */
    't', 2, DEVICE_CODE, 0,                         /* device codes, 0-terminated */
    's', 3, SIGNATURE_2, SIGNATURE_1, SIGNATURE_0,  /* signature, last byte first */
    'P', 1, REPLY_OK,                               /* programming mode: always in it */
    'L', 1, REPLY_OK,
    0,
};
/* clang-format on */

/* The flash byte at RAMPZ:*z; *z moves on to the next. */
static uint8_t flash_byte_next(uint16_t *z) {
    uint8_t value;
    __asm__ __volatile__("elpm %0, Z+" : "=r"(value), "+z"(*z));
    return value;
}

/* Sends the fixed answer of command; returns 0 when it has none. */
static uint8_t answer_fixed(uint8_t command) {
    uint32_t at = pgm_get_far_address(fixed_answers);
    uint16_t z = (uint16_t)at;
    RAMPZ = (uint8_t)(at >> 16); /* the list does not cross 64 KiB */
    for (;;) {
        uint8_t letter = flash_byte_next(&z);
        if (letter == 0) return 0;
        uint8_t length = flash_byte_next(&z);
        if (letter == command) {
            do put_byte(flash_byte_next(&z));
            while (--length);
            return 1;
        }
        z += length;
    }
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

/* Carries out one command, given what the one before left the bootloader
 * ready for; returns what this one leaves it ready for, or REFUSED when it
 * did nothing (a byte that is no command, a command out of its place, one
 * whose bytes did not all come or whose range does not fit).
 *
 * It saves none of the registers a C function must keep for its caller
 * (OS_task), which saves 72 bytes: its callers keep nothing in registers
 * across the call (what is ready goes in and comes back out, and the
 * listening time after a reset lives in boot_wait_left). */
__attribute__((noinline, OS_task)) static uint8_t serve(uint8_t command, uint8_t ready) {
    if (answer_fixed(command)) return command == 't' && ready == 'V' ? IDENTIFIED : command;
    switch (command) {
        case 'T': /* device type: there is only one */
            if (!receive_arguments(1)) return REFUSED;
            put_byte(REPLY_OK);
            break;
        case 'e':
            /* The host sends 'e' alone and waits for its answer; an 'e' with
             * more right behind it is the high byte of an address whose 'A'
             * was lost (0x65xx, after the page hashes). */
            if ((ready != IDENTIFIED && ready != 'H') || wait_for_byte(ROUNDS(BYTE_TIMEOUT_MS)) != 0)
                return REFUSED;
            erase_application();
            put_byte(REPLY_OK);
            break;
        case 'A':
            if (!receive_arguments(2)) return REFUSED;
            current_address = argument_word(0);
            put_byte(REPLY_OK);
            break;
        case 'D':
            if (ready != 'A') return REFUSED;
            page_command();
            break;
        case 'W':
            if (ready != 'A') return REFUSED;
            return write_eeprom();
        case 'H':
        case 'G':
        case 'X': return send_blocks(command);
        case 'E':
            put_byte(REPLY_OK);
            if (application_present()) {
                line_flush();
                _delay_ms(APPLICATION_START_DELAY_MS);
                start_application();
            }
            break;
        case 0x1B: /* synchronisation byte of serial programmers: no answer */ break;
        default: return REFUSED;
    }
    return command;
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
 * returns what it left the bootloader ready for, REFUSED when none came.
 * Other bytes (noise of an adapter powering up, say) are passed over, so
 * that they cannot keep the application from starting. */
static uint8_t first_command(void) {
    boot_wait_left = ROUNDS(BOOT_WAIT_MS);
    uint8_t ready = REFUSED;
    while (ready == REFUSED && (boot_wait_left = wait_for_byte(boot_wait_left)) != 0)
        ready = serve(UDR0, REFUSED);
    return ready;
}

int main(void) {
    uint8_t reset_cause = MCUCSR;
    MCUCSR = 0;
    wdt_disable(); /* an application's watchdog must not cut a download short */
    crc_table_filled = 0;

    uint16_t ubrr = BOOT_UBRR;
    uint8_t handed_over = take_handover(reset_cause, &ubrr);
    line_open(ubrr);
    uint8_t ready = REFUSED;
    if (!handed_over && application_present() && BOOT_WAIT_MS != 0 && (ready = first_command()) == REFUSED)
        start_application();
    for (;;) {
        ready = serve(get_byte(), ready);
        if (ready == REFUSED) {
            discard_until_quiet();
            put_byte(REPLY_UNKNOWN);
        }
    }
}
