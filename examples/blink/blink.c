/* Blinks an LED on P1.0 of an 80C51-family chip, about twice a second with an 11.0592 MHz
   crystal in 12-clock mode (four times a second after "Set 6-clock mode"), and counts the
   blinks on port 2. The example image that the demo programs into the simulated chip. */
#include <8051.h>

/* About ms milliseconds: the inner loop takes roughly 1 ms at 11.0592 MHz, 12 clocks. */
static void Wait(unsigned int ms) {
  while (ms--) {
    volatile unsigned char i;
    for (i = 0; i < 110; ++i) {
    }
  }
}

void main(void) {
  unsigned char blinks = 0;
  for (;;) {
    P1_0 = !P1_0;
    P2 = ++blinks;
    Wait(250);
  }
}
