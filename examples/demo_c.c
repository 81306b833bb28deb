/* Demo program for Tarlek in C, for SDCC. It carries the resident's hooks
   (tarlek.h), says hello through the resident with printf, and then counts:
   main's loop in loops, a timer 0 interrupt in ticks. A host reads the
   variables through the resident while the program runs (9600 baud, 8N1,
   11.0592 MHz); the addresses are in demo_c.map.

   SDCC's start-up runs as usual: marker and xmarker hold their initial
   values, cleared and xcleared are zero whatever RAM held at power-up.

   Compile, pack and merge in this folder, with tarlek.bin in it:
       sdcc -mmcs51 -DTARLEK_PAGE=0x80 --code-loc 0x0030 --code-size 0x8000 \
            --iram-size 128 --stack-size 38 -I../resident demo_c.c
       packihx demo_c.ihx > demo_c.hex
       tarlek demo_c.hex
   (add --model-large, or another memory model, to the sdcc line at will,
   and --stack-size 48: internal RAM is no longer tight there). The stack
   size is this program's need, printf's and the timer interrupt's included,
   plus the resident's 11 bytes: the simulator saw at most 34 bytes in use in
   the small model, whose globals, printf's and the resident's 14 leave 39,
   and 41 in the huge one. */

#include <8051.h>
#include <stdio.h>

#include "tarlek.h"

__data unsigned char marker = 0x5A;     /* initialised, internal RAM */
__xdata unsigned int xmarker = 0x1234;  /* initialised, external RAM */
__data unsigned char cleared;           /* zero at start */
__xdata unsigned int xcleared;          /* zero at start */
__data volatile unsigned int loops;     /* passes of main's loop */
__data volatile unsigned int ticks;     /* timer 0 overflows */

/* Typed variables to look at by name: compile and link with --debug and give
   tarlek-mon the demo_c.cdb SDCC writes (tarlek-mon -m demo_c.cdb watch
   last history scaled odd). Every 256 passes of main's loop the program
   takes a sample; the host may write gain, and scaled follows it. */
struct sample {
  unsigned int count; /* samples taken */
  int negated;        /* -count */
  float level;        /* count / 4 */
};
__xdata struct sample last;      /* a struct, in external RAM */
__xdata unsigned int history[4]; /* an array: history[count % 4] = count */
__data unsigned char gain = 2;   /* written by the host at will */
__data unsigned int scaled;      /* count * gain */
__bit odd;                       /* count is odd */

/* Timer 0 in mode 2 reloads 256 - 230: a tick every 230 machine cycles,
   about 4000 a second. */
void timer0_tick(void) __interrupt(TF0_VECTOR) {
  ticks++;
}

void main(void) {
  /* Timer 1 belongs to the resident (the baud rate): only timer 0's half of
     TMOD changes. The resident's init has set EA already. */
  TMOD = (TMOD & 0xF0) | 0x02;
  TH0 = 256 - 230;
  TL0 = 256 - 230;
  TR0 = 1;
  ET0 = 1;
  EA = 1;

  printf("Hello from C: marker %02X, xmarker %04X\r\n", (unsigned int)marker, xmarker);
  for (;;) {
    loops++;
    if ((unsigned char)loops == 0) {
      last.count++;
      last.negated = -(int)last.count;
      last.level = last.count * 0.25f;
      history[last.count & 3] = last.count;
      scaled = last.count * gain;
      odd = last.count & 1;
    }
  }
}
