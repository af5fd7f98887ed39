#include <stdio.h>

int main(void) {
  puts("hello from a kiln-built program");
  return 0;
}
