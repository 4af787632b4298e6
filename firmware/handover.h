/* How the application hands the line over to the bootloader.
 *
 * The application stores a marker and the baud divisor the host asked for in
 * the top four bytes of the internal SRAM, answers the host, and jumps to the
 * boot section. Both programs move their stacks below these four bytes (see
 * HANDOVER_STACK_TOP, passed to the linker as __stack), so nothing else ever
 * writes there. The bootloader takes the divisor only when the marker is
 * whole and the chip did not come from a power-on or brown-out reset (after
 * those the SRAM holds noise), and it wipes the marker at once, so that a
 * later reset starts at the default rate again.
 *
 * A jump, not a watchdog reset: the host sends its first command about 10 ms
 * after the application's answer, and the shortest watchdog period of the
 * ATmega128 is longer than that; a byte arriving during a reset is lost.
 */
#ifndef HANDOVER_H
#define HANDOVER_H

#include <stdint.h>

#define HANDOVER_ADDRESS 0x10FC   /* RAMEND - 3 on the ATmega128 */
#define HANDOVER_STACK_TOP 0x10FB /* first byte below the marker */
#define HANDOVER_MAGIC_HIGH 0xB0
#define HANDOVER_MAGIC_LOW 0x07

struct handover {
    uint8_t magic_high;
    uint8_t magic_low;
    uint8_t divisor;       /* UBRR value at 16 MHz, normal speed */
    uint8_t divisor_check; /* ones' complement of divisor */
};

#define HANDOVER ((volatile struct handover *)HANDOVER_ADDRESS)

#endif
