// The script engine's error codes and their messages, one line each:
// the enum and the message table are both made from this list.
#pragma once

#define KILN_ENGINE_ERRORS(X) \
  X(err_no_error, 0, "No error") \
  X(err_exited, 1, "Exited") \
  X(err_instruction_not_supported, 2, "Instruction not supported") \
  X(err_run_into_function, 3, "Run into function") \
  X(err_index_out_of_bounds, 4, "Index out of bounds") \
  X(err_index_not_an_integer, 5, "Index not an integer") \
  X(err_not_enough_memory, 6, "Not enough memory") \
  X(err_invalid_character, 7, "Invalid character") \
  X(err_invalid_stream_index, 8, "Invalid stream index") \
  X(err_i_o_error, 9, "I/O error") \
  X(err_error_exit, 10, "Error exit") \
  X(err_repeat_count_not_unsigned, 11, "Repeat count not unsigned integer") \
  X(err_string_is_not_numeric, 12, "String is not numeric") \
  X(err_expected_array_or_tree, 13, "Expected array or tree") \
  X(err_unknown_instruction, 14, "Unknown instruction") \
  X(err_illegal_instruction, 15, "Illegal instruction") \
  X(err_bytecode_fault, 16, "Bytecode fault") \
  X(err_expected_function_header, 17, "Expected function header") \
  X(err_invalid_argument_count, 18, "Invalid argument count") \
  X(err_stack_underflow, 19, "Stack underflow") \
  X(err_stack_overflow, 20, "Stack overflow") \
  X(err_array_underflow, 21, "Array underflow") \
  X(err_pb_new_length_not_unsigned, 22, "Protocol buffer new length not unsigned integer") \
  X(err_pb_value_out_of_bounds, 23, "Protocol buffer value out of bounds") \
  X(err_pb_offset_not_unsigned, 24, "Protocol buffer offset not unsigned integer") \
  X(err_pb_operation_size_invalid, 25, "Protocol buffer operation size invalid") \
  X(err_pb_get_out_of_bounds, 26, "Protocol buffer get out of bounds") \
  X(err_pb_set_out_of_bounds, 27, "Protocol buffer set out of bounds") \
  X(err_return_instruction_local_variable_count_not_unsigned, 28, "Return instruction local variable count not unsigned integer") \
  X(err_stack_index_not_unsigned, 29, "Stack index not unsigned integer") \
  X(err_stack_index_out_of_bounds, 30, "Stack index out of bounds") \
  X(err_return_argument_count_not_unsigned, 31, "Return argument count not unsigned integer") \
  X(err_cache_index_not_unsigned, 32, "Cache index not unsigned integer") \
  X(err_cache_index_out_of_bounds, 33, "Cache index out of bounds") \
  X(err_scope_variable_not_found, 34, "Scope variable not found") \
  X(err_scope_variable_name_not_string, 35, "Scope variable name not string") \
  X(err_tree_entry_not_found, 36, "Tree entry not found") \
  X(err_tree_key_not_string, 37, "Tree key not string") \
  X(err_expected_recursion_guard, 38, "Expected recursion guard") \
  X(err_expected_double_precision_number, 39, "Expected double-precision number") \
  X(err_expected_boolean, 40, "Expected boolean") \
  X(err_expected_function_address, 41, "Expected function address") \
  X(err_expected_base_pointer_value, 42, "Expected base pointer value") \
  X(err_expected_instruction_pointer_value, 43, "Expected insruction pointer value") \
  X(err_expected_nil, 44, "Expected nil") \
  X(err_expected_tree, 45, "Expected tree") \
  X(err_expected_i_o_stream, 46, "Expected I/O-stream") \
  X(err_expected_array, 47, "Expected array") \
  X(err_expected_string, 48, "Expected string") \
  X(err_expected_pb, 49, "Expected protocol buffer") \
  X(err_expected_scope, 50, "Expected scope") \
  X(err_function_address_not_integer, 51, "Function address not integer") \
  X(err_register_value_not_integer, 52, "Register value not integer") \
  X(err_call_argument_count_not_unsigned, 53, "Call argument count not unsigned integer") \
  X(err_integer_conversion_size_not_unsigned, 54, "Integer conversion size not unsigned integer") \
  X(err_integer_conversion_size_not_supported, 55, "Integer conversion size not supported") \
  X(err_time_budget_exceeded, 56, "Time budget exceeded") \
  X(err_instruction_not_permitted, 57, "Instruction not permitted") \
  X(err_lua_interface_error, 58, "Lua interface error") \
  X(err_tree_iterator_not_string_or_nil, 59, "Tree iterator not string or nil") \
  X(err_invalid_mode, 60, "Invalid mode") \
  X(err_file_open_error, 61, "File open error") \
  X(err_negative, 62, "Negative") \
  X(err_file_is_closed, 63, "File is closed") \
  X(err_invalid_whence, 64, "Invalid whence") \
  X(err_expect_character, 65, "Expect character") \
  X(err_non_json_type, 66, "Non-JSON type") \
  X(err_number_overflow, 67, "Number overflow") \
  X(err_json_parse_error, 68, "JSON parse error") \
  X(err_expected_integer, 69, "Expected integer")

namespace kiln::engine {

// An engine error code (0 to 69); the build extension's start at 4097.
enum error_code : int {
#define KILN_ERROR_ENUM(name, number, text) name = number,
  KILN_ENGINE_ERRORS(KILN_ERROR_ENUM)
#undef KILN_ERROR_ENUM
};

}  // namespace kiln::engine
