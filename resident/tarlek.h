/* Hooks for the Tarlek resident monitor, for C programs built with SDCC.

   Include this file in exactly ONE source file of the program, the one with
   main(), and define the resident's page on the compiler's command line:

       sdcc -mmcs51 -DTARLEK_PAGE=0x80 --code-loc 0x0030 --code-size 0x8000 \
            --iram-size 128 --stack-size N -I<folder of tarlek.h> prog.c

   (N: the program's own stack need plus the resident's.) The file defines
   code at fixed addresses and a function: a second source file that includes
   it lays a second copy over 0000h, which SDCC's linker only warns about
   ("memory overlap"); the second putchar then makes it fail with "Multiple
   definition of _putchar". Including it twice in the same file is harmless.

   What it puts in the program:
   - 0000h..002Fh, one block: a long call to the resident's page at 0000h,
     whose init sets up the serial port and returns to 0003h; a long jump
     there to 0030h, where SDCC's own vector table begins with the jump to
     its start-up (stack pointer, clearing and initialising globals, then
     main), hence --code-loc 0x0030; a long jump at each other interrupt
     vector to the same vector in SDCC's table, so that __interrupt(n)
     functions work as usual; and at 0023h, the serial interrupt vector, a
     long jump into the resident (its start + 3).
   - putchar(), which hands each character to the resident's character
     output entry (its start + 6): printf and puts write to the serial line.
     Characters go out as they are: write "\r\n" for a terminal's new line.
     The program defines no putchar of its own.

   The resident owns timer 1, the serial port and the external interrupt 0
   vector (0003h): the program uses none of them.

   The resident keeps its state in 12 bytes of internal RAM that the program
   never touches; at 0006h the block holds MOV R0,#state / RET (0006h..0008h),
   which the resident calls to find them. By default SDCC's linker places
   them like any other variable, in tarlek_ram (14 bytes of __data, the
   state from its third byte on; see below). To give their place yourself,
   define it: -DTARLEK_STATE_AT=0x74 puts the state at 74h..7Fh, as
   tarlek_state (__idata, so 0Ah..F4h on an 8052). The linker does not keep
   its own variables or the stack off a place given so: give it the top of
   internal RAM and shorten the RAM the linker uses to end below it
   (--iram-size 0x74 for 74h..7Fh), or keep the place free some other way.

   Why 14 bytes: at reset SP is 07h, so the long call at 0000h leaves its
   return address (0003h) at 08h..09h while the resident's init clears the
   state and sets up the serial port. SDCC's linker puts the first variable
   at 08h whenever register bank 1 is unused; state bytes there would clear
   that return address, and init would return to 0000h and start again,
   forever, with the serial port silent. The two bytes before the state keep
   it off 08h..09h wherever the linker places tarlek_ram; a place given with
   TARLEK_STATE_AT must keep off them too. The program never touches
   tarlek_ram or tarlek_state. */

#ifndef TARLEK_H
#define TARLEK_H

#ifndef TARLEK_PAGE
#error "tarlek.h: define the resident's page, for example -DTARLEK_PAGE=0x80 for 8000h"
#elif (TARLEK_PAGE) < 0x01 || (TARLEK_PAGE) > 0xFE
#error "tarlek.h: TARLEK_PAGE must lie in 0x01..0xFE"
#endif

/* Where SDCC's vector table goes: the value of --code-loc. */
#define TARLEK_CODE_LOC 0x30

#define TARLEK_LJMP_(address) 0x02, (unsigned char)((address) >> 8), (unsigned char)(address)
#define TARLEK_FORWARD_(vector) TARLEK_LJMP_(TARLEK_CODE_LOC + (vector))
#define TARLEK_FREE5_ 0xFF, 0xFF, 0xFF, 0xFF, 0xFF

#ifdef TARLEK_STATE_AT
#if (TARLEK_STATE_AT) < 0x0A || (TARLEK_STATE_AT) > 0xF4
#error "tarlek.h: TARLEK_STATE_AT must lie in 0x0A..0xF4 (12 bytes, off 08h..09h)"
#endif
/* The resident's state, where the program puts it. */
/* clang-format off */
__idata __at(TARLEK_STATE_AT) unsigned char tarlek_state[12];
/* clang-format on */
#define TARLEK_STATE_ tarlek_state
#else
/* The resident's state where the linker puts it: the 12 bytes from the
   third on. The first two are never the state: if the linker puts
   tarlek_ram at 08h, they are where the reset's call to the resident's init
   keeps its return address. */
struct tarlek_ram_ {
  unsigned char reset_return[2];
  unsigned char state[12];
};
__data struct tarlek_ram_ tarlek_ram;
#define TARLEK_STATE_ tarlek_ram.state
#endif

/* The block with the address of the state inside: a structure, since an
   address the linker fills in is no constant of an array. */
struct tarlek_hooks_ {
  unsigned char reset[0x07];
  __idata unsigned char *state;
  unsigned char rest[TARLEK_CODE_LOC - 0x08];
};

/* One block: separate absolute areas let the linker move SDCC's table.
   The C++ formatter of the project knows neither the table's layout nor
   SDCC's inline assembly: it leaves the rest of this file alone. */
/* clang-format off */
__code __at(0x0000) const struct tarlek_hooks_ tarlek_hooks = {
  {
    0x12, (unsigned char)(TARLEK_PAGE), 0x00, /* 0000h: LCALL PP00h, the resident's init */
    TARLEK_FORWARD_(0x00),                    /* 0003h: LJMP 0030h, SDCC's start-up */
    0x78,                                     /* 0006h: MOV R0,#state */
  },
  TARLEK_STATE_,
  {
    0x22, 0xFF, 0xFF,                         /* 0008h: RET; 0009h..000Ah: not used */
    TARLEK_FORWARD_(0x0B), TARLEK_FREE5_,     /* 000Bh: timer 0 */
    TARLEK_FORWARD_(0x13), TARLEK_FREE5_,     /* 0013h: external interrupt 1 */
    TARLEK_FORWARD_(0x1B), TARLEK_FREE5_,     /* 001Bh: timer 1 */
    TARLEK_LJMP_((TARLEK_PAGE) * 256u + 3u),  /* 0023h: serial port: the resident */
    TARLEK_FREE5_,                            /* 0026h..002Ah: not used */
    TARLEK_FORWARD_(0x2B), 0xFF, 0xFF,        /* 002Bh: timer 2 (8052) */
  },
};

/* The character goes to the resident in A; SDCC passes it in DPL, and the
   entry changes no register, so DPH:DPL still hold the return value. In the
   huge model every function is banked and returns through SDCC's banking
   code. */
#ifdef __SDCC_MODEL_HUGE
#define TARLEK_RETURN_ ljmp __sdcc_banked_ret
#else
#define TARLEK_RETURN_ ret
#endif
int putchar(int c) __naked {
  (void)c;
  __asm
    mov   a, dpl
    lcall (TARLEK_PAGE * 256 + 6)
    TARLEK_RETURN_
  __endasm;
}

/* clang-format on */

#endif /* TARLEK_H */
