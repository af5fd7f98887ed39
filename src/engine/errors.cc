#include "engine/engine.h"

namespace kiln::engine {

namespace {

// Messages of the engine's error codes 0 to 69, in code order.
constexpr const char* k_messages[] = {
#define KILN_ERROR_MESSAGE(name, number, text) text,
    KILN_ENGINE_ERRORS(KILN_ERROR_MESSAGE)
#undef KILN_ERROR_MESSAGE
};

}  // namespace

const char* error_message(int code) {
  if (code < 0 || code >= static_cast<int>(sizeof k_messages / sizeof k_messages[0])) {
    return "Unknown error";
  }
  return k_messages[code];
}

}  // namespace kiln::engine
