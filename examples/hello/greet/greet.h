#ifndef GREET_H
#define GREET_H

/* Prints a greeting for the given name. */
void greet(const char *name);

#endif
