/* Prints the ANSI code page Windows gives a program with lumetra.exe's
   manifest. */
#include <stdio.h>
#include <windows.h>

int main(void) {
  printf("%u\n", GetACP());
  return 0;
}
