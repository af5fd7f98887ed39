// Mathematics built-ins.
#include <cmath>

#include "engine/operands.h"

namespace kiln::engine::lib {

int math_builtin(engine* e, unsigned op) {
  double (*f)(double) = nullptr;
  bool classified = false;
  switch (op) {
    case 147: break;
    case 148: f = std::acos; break;
    case 149: f = std::asin; break;
    case 150: f = std::atan; break;
    case 151: f = std::ceil; classified = true; break;
    case 152: f = std::floor; classified = true; break;
    case 153: f = std::cos; break;
    case 154: f = std::sin; break;
    case 155: f = std::tan; break;
    case 156: f = std::exp; break;
    case 157: f = std::log; break;
    case 158: f = std::sqrt; break;
    case 179: break;
    case 190: f = std::round; classified = true; break;
    case 191: f = std::trunc; classified = true; break;
    default: return 1;
  }
  if (int rc = need(e, 1)) return rc;
  double x = 0;
  if (int rc = number_arg(e, 1, &x)) return rc;
  if (op == 147) {
    // An int stays an int; anything else becomes a double.
    bool is_int = operand(e, 1).type == t_int;
    return result(e, 1, is_int ? make_number(std::fabs(x)) : make_double(std::fabs(x)));
  }
  if (op == 179) {
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
  double r = f(x);
  return result(e, 1, classified ? make_number(r) : make_double(r));
}

}  // namespace kiln::engine::lib
