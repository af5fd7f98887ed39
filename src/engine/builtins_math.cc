// Mathematics built-ins.
#include <cmath>

#include "engine/operands.h"

namespace kiln::engine::lib {

namespace {

// f of the number operand; a classified result, or always a double.
int apply(engine* e, double (*f)(double), bool classified) {
  double x = 0;
  if (int rc = number_arg(e, 1, &x)) return rc;
  double r = f(x);
  return result(e, 1, classified ? make_number(r) : make_double(r));
}

}  // namespace

int run_acos(engine* e) { return apply(e, std::acos, false); }
int run_asin(engine* e) { return apply(e, std::asin, false); }
int run_atan(engine* e) { return apply(e, std::atan, false); }
int run_ceil(engine* e) { return apply(e, std::ceil, true); }
int run_floor(engine* e) { return apply(e, std::floor, true); }
int run_cos(engine* e) { return apply(e, std::cos, false); }
int run_sin(engine* e) { return apply(e, std::sin, false); }
int run_tan(engine* e) { return apply(e, std::tan, false); }
int run_exp(engine* e) { return apply(e, std::exp, false); }
int run_log(engine* e) { return apply(e, std::log, false); }
int run_sqrt(engine* e) { return apply(e, std::sqrt, false); }
int run_round(engine* e) { return apply(e, std::round, true); }
int run_trunc(engine* e) { return apply(e, std::trunc, true); }

// An int stays an int; anything else becomes a double.
int run_abs(engine* e) {
  double x = 0;
  if (int rc = number_arg(e, 1, &x)) return rc;
  bool is_int = operand(e, 1).type == t_int;
  return result(e, 1, is_int ? make_number(std::fabs(x)) : make_double(std::fabs(x)));
}

// 0 zero, 1 subnormal, 2 normal, 3 infinite, 4 NaN.
int run_fpclassify(engine* e) {
  double x = 0;
  if (int rc = number_arg(e, 1, &x)) return rc;
  int kind = 0;
  switch (std::fpclassify(x)) {
    case FP_ZERO: kind = 0; break;
    case FP_SUBNORMAL: kind = 1; break;
    case FP_NORMAL: kind = 2; break;
    case FP_INFINITE: kind = 3; break;
    default: kind = 4;
  }
  return number_result(e, 1, kind);
}

}  // namespace kiln::engine::lib
