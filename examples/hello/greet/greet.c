#include "greet.h"

#include <stdio.h>

void greet(const char *name) { printf("hello, %s, from a kiln-built program\n", name); }
