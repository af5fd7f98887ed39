#include "greet/greet.h"

int main(void) {
  greet("world");
  return 0;
}
