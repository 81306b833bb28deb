// A C program for the 8051 with every kind of global and static it may have,
// built here with sdcc for the tests of the symbol readers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/test_support.h"

namespace tarlek::testing {

// Every kind of global and static a C program for the 8051 has. SDCC lays
// structs out without padding: sensor_t is temp 0, flags 2, in 3 (a 1, b 4),
// the bit-fields in byte 6, scale 7.
inline constexpr const char* kProgram = R"(#include <8051.h>
#include <stdbool.h>
struct inner { unsigned char a; int b; };
struct sensor_t { int temp; unsigned char flags; struct inner in;
                  unsigned int f1 : 3; unsigned int f2 : 5; float scale; };
union u_t { unsigned long l; unsigned char b[4]; };
struct log_t { unsigned int when; signed char what; };
__data unsigned char counter8 = 1;
__data int counter = -2;
__idata long along = 100000;
__xdata long long ll = -5;
__xdata float fl = 1.5;
__bit flag;
__bit flag2;
bool boolean;
__pdata unsigned char pd = 3;
__code const unsigned char table[4] = {1, 2, 3, 4};
__xdata struct sensor_t sensor;
__xdata union u_t un;
__xdata struct log_t log[5];
__data unsigned char * __data dptr;
__idata unsigned char * __data iptr;
__xdata unsigned char * __data xptr;
__code unsigned char * __data cptr;
unsigned char *gptr;
__pdata unsigned char *pptr;
static __data unsigned char fstatic = 7;
__sfr __at(0xA8) MYIE;
__sbit __at(0x93) MYP13;
__sfr16 __at(0x8C8A) T0W;
__data __at(0x30) unsigned char absvar;
__xdata __at(0x2000) unsigned int absx;
int f(int x) { static int st; int loc = x * 2; st += loc; return st + fstatic; }
void main(void) {
  unsigned char i;
  for (i = 0; i < 5; i++) log[i].when = i;
  counter = f(counter); fl = fl * 2; flag = !flag; flag2 = flag; boolean = !flag2;
  P1 = 3; MYIE = 0; MYP13 = 1; T0W = 0;
  for (;;) {}
}
)";

inline bool HaveSdcc() { return std::system("command -v sdcc >/dev/null 2>&1") == 0; }

// Builds kProgram in dir with --debug: prog.cdb, prog.map, prog.rst.
inline void BuildWithSdcc(const TempDir& dir) {
  WriteFile(dir / "prog.c", std::string(kProgram));
  const std::string command =
      "cd '" + dir.path() + "' && sdcc -mmcs51 --debug prog.c >sdcc.log 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << testing::ReadText(dir / "sdcc.log");
}

}  // namespace tarlek::testing
