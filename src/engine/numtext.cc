// The shortest number text: the fewest digits that read back to exactly
// the same double, in plain or exponent form, whichever reads better.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"

namespace kiln::engine {

namespace {

struct candidate {
  char text[32];
  size_t length;
  bool exponent;  // written with an exponent
  bool fits;      // reads back to the value
};

// The value with precision p ("%.<p>g"), normalised: "e" lower case, no
// "+" and no leading zeros in the exponent; ".0" added to a finite plain
// number without a point.
candidate format(double x, int p) {
  candidate c;
  char raw[320];  // room for any %g output, though 17 digits need far less
  snprintf(raw, sizeof raw, "%.*g", p, x);
  char* e = strpbrk(raw, "eE");
  c.exponent = e != nullptr;
  if (e) {
    size_t mantissa = static_cast<size_t>(e - raw);
    memcpy(c.text, raw, mantissa);
    size_t n = mantissa;
    c.text[n++] = 'e';
    const char* q = e + 1;
    if (*q == '+') {
      q++;
    } else if (*q == '-') {
      c.text[n++] = '-';
      q++;
    }
    while (*q == '0' && q[1] != '\0') q++;
    while (*q) c.text[n++] = *q++;
    c.text[n] = '\0';
    c.length = n;
  } else {
    c.length = strlen(raw);
    memcpy(c.text, raw, c.length + 1);
    if (!strchr(c.text, '.') && std::isfinite(x)) {
      memcpy(c.text + c.length, ".0", 3);
      c.length += 2;
    }
  }
  c.fits = atof(c.text) == x;
  return c;
}

// The smallest precision in [1, 17] whose text fits (and, when plain_only,
// is not in exponent form), found by bisection; 17 is known to qualify.
candidate bisect(double x, bool plain_only) {
  int lo = 1;
  int hi = 17;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    candidate c = format(x, mid);
    if (c.fits && !(plain_only && c.exponent)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return format(x, hi);
}

}  // namespace

bool number_candidate(double x, int precision, char* buffer, size_t* length, bool* exponent) {
  candidate c = format(x, precision);
  memcpy(buffer, c.text, c.length + 1);
  *length = c.length;
  *exponent = c.exponent;
  return c.fits;
}

int number_text(double x, char* buffer) {
  candidate f = format(x, 17);
  candidate result = f;
  if (f.fits) {
    candidate one = format(x, 1);
    candidate plain = f;
    if (!f.exponent) plain = one.fits && !one.exponent ? one : bisect(x, true);
    candidate expo = f;
    if (one.exponent) expo = one.fits ? one : bisect(x, false);
    if (f.exponent || (expo.exponent && expo.length + 6 < plain.length)) {
      result = expo;
    } else {
      result = plain;
    }
  }
  memcpy(buffer, result.text, result.length + 1);
  return static_cast<int>(result.length);
}

}  // namespace kiln::engine
