#include "engine/engine.h"

namespace kiln::engine {

namespace {

// Messages of the engine's error codes 0 to 69.
constexpr const char* k_messages[] = {
    "No error",
    "Exited",
    "Instruction not supported",
    "Run into function",
    "Index out of bounds",
    "Index not an integer",
    "Not enough memory",
    "Invalid character",
    "Invalid stream index",
    "I/O error",
    "Error exit",
    "Repeat count not unsigned integer",
    "String is not numeric",
    "Expected array or tree",
    "Unknown instruction",
    "Illegal instruction",
    "Bytecode fault",
    "Expected function header",
    "Invalid argument count",
    "Stack underflow",
    "Stack overflow",
    "Array underflow",
    "Protocol buffer new length not unsigned integer",
    "Protocol buffer value out of bounds",
    "Protocol buffer offset not unsigned integer",
    "Protocol buffer operation size invalid",
    "Protocol buffer get out of bounds",
    "Protocol buffer set out of bounds",
    "Return instruction local variable count not unsigned integer",
    "Stack index not unsigned integer",
    "Stack index out of bounds",
    "Return argument count not unsigned integer",
    "Cache index not unsigned integer",
    "Cache index out of bounds",
    "Scope variable not found",
    "Scope variable name not string",
    "Tree entry not found",
    "Tree key not string",
    "Expected recursion guard",
    "Expected double-precision number",
    "Expected boolean",
    "Expected function address",
    "Expected base pointer value",
    "Expected insruction pointer value",
    "Expected nil",
    "Expected tree",
    "Expected I/O-stream",
    "Expected array",
    "Expected string",
    "Expected protocol buffer",
    "Expected scope",
    "Function address not integer",
    "Register value not integer",
    "Call argument count not unsigned integer",
    "Integer conversion size not unsigned integer",
    "Integer conversion size not supported",
    "Time budget exceeded",
    "Instruction not permitted",
    "Lua interface error",
    "Tree iterator not string or nil",
    "Invalid mode",
    "File open error",
    "Negative",
    "File is closed",
    "Invalid whence",
    "Expect character",
    "Non-JSON type",
    "Number overflow",
    "JSON parse error",
    "Expected integer",
};

}  // namespace

const char* error_message(int code) {
  if (code < 0 || code >= static_cast<int>(sizeof k_messages / sizeof k_messages[0])) {
    return "Unknown error";
  }
  return k_messages[code];
}

}  // namespace kiln::engine
