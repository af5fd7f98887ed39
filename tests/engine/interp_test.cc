#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/bytecode.h"
#include "engine/engine.h"
#include "engine/asm.h"
#include "engine/core_fixture.h"

namespace kiln::engine::testing {
namespace {

class Interp : public engine_test {
 protected:
  // Runs raw bytes as a fragment.
  int run_bytes(const std::vector<uint8_t>& code) { return engine_run(&e, code.data(), code.size()); }

  // Runs a fragment and leaves its stack for inspection.
  int run(assembler& a) { return a.run_fragment(&e); }

  value top_value() { return e.stack.items[e.stack.length - 1]; }

  void clear_stack() {
    e.bp = 0;
    pop_n(&e, e.stack.length);
  }

  void TearDown() override {
    clear_stack();
    backtrace_clear(&e);
    clear_error(&e);
    engine_test::TearDown();
  }

  int64_t name(const char* text) { return cache_add_string(&e, text, strlen(text)); }
};

TEST_F(Interp, IllegalEncodingsCarryTheirAdditionalNumber) {
  struct {
    std::vector<uint8_t> code;
    double number;
  } cases[] = {
      {{0xC1, 0xBF}, 0x3007F},        // overlong two-byte form
      {{0x80}, 0x10080},              // stray continuation byte
      {{0xC2, 0x41}, 0x200C2},        // bad second byte of a two-byte form
      {{0xE1, 0x41, 0x80}, 0x40041},  // bad second byte of a three-byte form
      {{0xE1, 0x80, 0x41}, 0x50080},  // bad third byte
      {{0xE0, 0x9F, 0xBF}, 0x607FF},  // overlong three-byte form
      {{0xF0, 0x80}, 0x700F0},        // lead 0xF0 and above
  };
  // A nil pushed first: the error names the undecodable lead byte, not
  // the instruction before it.
  for (auto& c : cases) {
    std::vector<uint8_t> code = {op_nil};
    code.insert(code.end(), c.code.begin(), c.code.end());
    EXPECT_EQ(run_bytes(code), -86);
    EXPECT_EQ(e.err.code, 15);
    EXPECT_EQ(e.err.number, c.number);
    EXPECT_EQ(e.err.opcode, c.code[0]);
    clear_stack();
  }
  // Ending inside an opcode is a byte-code fault.
  EXPECT_EQ(run_bytes({op_nil, 0xE1, 0x80}), -14);
  EXPECT_EQ(e.err.code, 16);
  EXPECT_EQ(e.err.opcode, 0xE1);
}

TEST_F(Interp, PopCountBeyondTheFrameIsRefused) {
  for (double n : {3.0, 1e300, 18446744073709551616.0, static_cast<double>(NAN)}) {
    assembler a;
    a.op(op_nil).op(op_nil).dbl(n).op(op_pop_n);
    EXPECT_EQ(run(a), -84) << n;
    EXPECT_EQ(e.err.code, 30);
    EXPECT_EQ(e.stack.length, 3u);  // nothing popped
    clear_stack();
  }
  assembler a;
  a.op(op_nil).op(op_nil).num(7).num(2).op(op_pop_n).num(-5).op(op_pop_n);
  ASSERT_EQ(run(a), 0);
  ASSERT_EQ(e.stack.length, 1u);
  EXPECT_EQ(top_value().type, t_nil);
}

TEST_F(Interp, EncodingRoundTrips) {
  for (unsigned op : {0u, 127u, 128u, 2047u, 2048u, 65535u}) {
    std::vector<uint8_t> code;
    emit_opcode(code, op);
    unsigned decoded = 0;
    unsigned illegal = 0;
    EXPECT_EQ(decode_opcode(code.data(), code.size(), &decoded, &illegal),
              static_cast<int>(code.size()));
    EXPECT_EQ(decoded, op);
  }
  std::vector<uint8_t> c2_80 = {0xC2, 0x80};
  unsigned op = 0;
  unsigned illegal = 0;
  decode_opcode(c2_80.data(), 2, &op, &illegal);
  EXPECT_EQ(op, 128u);
}

TEST_F(Interp, ArithmeticKeepsIntOnlyForIntOperands) {
  assembler a;
  a.num(2).num(3).op(op_add);              // int 5
  a.num(1.5).num(1.5).op(op_add);          // double 3
  a.num(7).num(2).op(op_div);              // double 3.5
  a.num(-7).num(2).op(op_mod);             // int -1
  a.num(1).num(62).op(op_shl);             // int? 2^62 is no int: double
  a.op(op_true).num(1).op(op_add);         // bool operand: double 2
  a.num(5).op(op_neg);                     // int -5
  ASSERT_EQ(run(a), 0);
  ASSERT_EQ(e.stack.length, 7u);
  struct { uint32_t type; double num; } expect[] = {
      {t_int, 5}, {t_double, 3}, {t_double, 3.5}, {t_int, -1},
      {t_double, 4611686018427387904.0}, {t_double, 2}, {t_int, -5}};
  for (size_t i = 0; i < 7; i++) {
    EXPECT_EQ(e.stack.items[i].type, expect[i].type) << i;
    EXPECT_EQ(e.stack.items[i].num, expect[i].num) << i;
  }
}

TEST_F(Interp, RemainderByZeroFailsWithoutTrapping) {
  assembler a;
  a.num(1).num(0).op(op_mod);
  EXPECT_EQ(run(a), -22);
  EXPECT_EQ(e.err.code, 67);
  clear_stack();
  assembler b;
  b.num(-9223372036854775807.0 - 1).num(-1).op(op_mod);
  EXPECT_EQ(run(b), -22);
}

TEST_F(Interp, NumericOperandsMustBeNumbers) {
  assembler a;
  a.num(1).op(op_nil).op(op_add);
  EXPECT_EQ(run(a), -22);
  EXPECT_EQ(e.err.code, 39);
  EXPECT_EQ(e.err.info.type, t_nil);
  EXPECT_EQ(e.err.opcode, op_add);
}

// f(a, b) = a - b with a local, returned with counts.
int64_t define_sub(engine* e, int64_t name_index) {
  assembler f(static_cast<int64_t>(e->bytecode.length));
  f.label("f").header(2);
  f.num(100);                                 // local l1 (slot 4)
  f.dbl(0).op(op_load_slot).dbl(1).op(op_load_slot).op(op_sub);
  f.dbl(2).dbl(1).op(op_return_counts);       // k = 2, m = 1
  f.trailer(name_index);
  int64_t at = f.at("f");
  f.append_to(e);
  return at;
}

TEST_F(Interp, CallsReturnWithCountsIntoTheFunctionSlot) {
  int64_t f = define_sub(&e, name("sub"));
  assembler a(-100 - 60);
  a.num(11);  // something below the frame survives
  a.dbl(static_cast<double>(f)).op(op_make_fun).num(7).num(3).dbl(2).op(op_call);
  ASSERT_EQ(run(a), 0) << error_message(e.err.code);
  ASSERT_EQ(e.stack.length, 2u);
  EXPECT_EQ(e.stack.items[0].num, 11);
  EXPECT_EQ(e.stack.items[1].type, t_int);
  EXPECT_EQ(e.stack.items[1].num, 4);
  EXPECT_EQ(e.bp, 0u);
}

TEST_F(Interp, ArgumentsAreSlotsFromBp) {
  // A function that stores its two arguments' sum in slot 0 and returns
  // slot 1 with the plain return of a zero-argument frame is not possible;
  // check the frame directly by failing inside the body.
  assembler f(static_cast<int64_t>(e.bytecode.length));
  f.label("f").header(2).op(op_invalid).trailer(name("g"));
  int64_t at = f.at("f");
  f.append_to(&e);
  assembler a(-100 - 40);
  a.dbl(static_cast<double>(at)).op(op_make_fun).num(5).num(6).dbl(2).op(op_call);
  EXPECT_EQ(run(a), -86);
  EXPECT_EQ(e.stack.items[e.bp].num, 5);
  EXPECT_EQ(e.stack.items[e.bp + 1].num, 6);
  EXPECT_EQ(e.stack.items[e.bp + 2].type, t_bp);
  EXPECT_EQ(e.stack.items[e.bp + 3].type, t_ip);
}

TEST_F(Interp, WrongArgumentCountFailsBeforeTheBody) {
  int64_t f = define_sub(&e, name("sub"));
  assembler a(-100 - 30);
  a.dbl(static_cast<double>(f)).op(op_make_fun).num(7).dbl(1).op(op_call);
  EXPECT_EQ(run(a), -22);
  EXPECT_EQ(e.err.code, 18);
  EXPECT_EQ(e.err.info.num, 2);   // declared
  EXPECT_EQ(e.err.number, 1);     // given
  EXPECT_EQ(e.stack.length, 4u);  // fun, 7, bp, ip: no local was pushed
}

TEST_F(Interp, FragmentsJumpIntoTheBufferAndBack) {
  assembler code(static_cast<int64_t>(e.bytecode.length));
  code.label("start").num(42).dbl(-100).op(op_jump);
  int64_t start = code.at("start");
  code.append_to(&e);
  EXPECT_EQ(run_at(&e, start), 0);
  ASSERT_EQ(e.stack.length, 1u);
  EXPECT_EQ(e.stack.items[0].num, 42);
  // Reaching the end of the buffer ends a run normally too.
  clear_stack();
  assembler tail(static_cast<int64_t>(e.bytecode.length));
  tail.label("t").num(1);
  int64_t t = tail.at("t");
  tail.append_to(&e);
  EXPECT_EQ(run_at(&e, t), 0);
  EXPECT_EQ(e.stack.length, 1u);
}

TEST_F(Interp, JumpOutsideTheCodeIsAFault) {
  assembler a;
  a.dbl(-2).op(op_jump);
  EXPECT_EQ(run(a), -14);
  EXPECT_EQ(e.err.code, 16);
  EXPECT_EQ(e.err.number, -2);
}

TEST_F(Interp, IntegerConversion) {
  struct { unsigned op; double size, in, out; } cases[] = {
      {op_to_signed, 1, 65535, -1}, {op_to_unsigned, 1, -1, 65535}, {op_to_signed, 0, 255, -1},
      {op_to_signed, 0, 127, 127},  {op_to_signed, 0, 256, -1},     {op_to_unsigned, 0, 200, 128},
      {op_to_unsigned, 2, -1, 4294967295.0}, {op_to_signed, 2, 2147483648.0, -2147483648.0},
  };
  for (auto& c : cases) {
    assembler a;
    a.num(c.size).num(c.in).op(c.op);
    ASSERT_EQ(run(a), 0);
    EXPECT_EQ(top_value().num, c.out) << c.op << " " << c.size << " " << c.in;
    clear_stack();
  }
  assembler bad;
  bad.num(3).num(1).op(op_to_signed);
  EXPECT_EQ(run(bad), -22);
  EXPECT_EQ(e.err.code, 55);
}

TEST_F(Interp, ProtocolBufferFieldsStayInsideTheBuffer) {
  pb_obj* p = pb_new(&e);
  ASSERT_EQ(pb_set_length(&e, p, 3), 0);
  p->data[2] = 0xAB;
  value pv = make_object(t_pb, p);
  ASSERT_EQ(push_value(&e, pv), 0);
  value_unref(&e, pv);
  assembler get16;
  get16.op(op_dup).num(2).num(1).op(op_pb_get);
  EXPECT_EQ(run(get16), -84);
  EXPECT_EQ(e.err.code, 26);
  pop_n(&e, e.stack.length - 1);
  assembler get8;
  get8.op(op_dup).num(2).num(0).op(op_pb_get);
  ASSERT_EQ(run(get8), 0);
  EXPECT_EQ(top_value().num, 0xAB);
  pop(&e);
  assembler set16;
  set16.op(op_dup).num(0).num(-1).num(0x1234).op(op_pb_set);  // little-endian
  ASSERT_EQ(run(set16), 0);
  EXPECT_EQ(p->data[0], 0x34);
  EXPECT_EQ(p->data[1], 0x12);
  assembler too_big;
  too_big.op(op_dup).num(0).num(0).num(256).op(op_pb_set);
  EXPECT_EQ(run(too_big), -22);
  EXPECT_EQ(e.err.code, 23);
}

TEST_F(Interp, ScopeLookupFollowsParentsUntilAHoleyScope) {
  scope_obj* root = e.current_scope.scope;
  scope_obj* holey = scope_new(&e, 128, root, true);
  scope_obj* child = scope_new(&e, 128, holey, false);
  value one = make_number(1);
  ASSERT_EQ(scope_add_cstr(&e, root, "top", one), 0);
  ASSERT_EQ(scope_add_cstr(&e, holey, "mid", make_number(2)), 0);
  int64_t top_name = name("top");
  int64_t mid_name = name("mid");
  auto lookup = [&](scope_obj* s, int64_t n) {
    value_assign(&e, &e.current_scope, make_object(t_sc, s));
    assembler a;
    a.op(op_scope_current).dbl(static_cast<double>(n)).op(op_cache_get).op(op_scope_get);
    int rc = run(a);
    clear_stack();
    return rc;
  };
  EXPECT_EQ(lookup(child, mid_name), 0);
  EXPECT_EQ(lookup(child, top_name), -2);  // the holey scope ends the search
  EXPECT_EQ(e.err.code, 34);
  EXPECT_EQ(lookup(root, top_name), 0);
  value_assign(&e, &e.current_scope, make_object(t_sc, root));
  scope_delete(&e, holey, "mid", 3);
  value_unref(&e, make_object(t_sc, holey));
  value_unref(&e, make_object(t_sc, child));
}

TEST_F(Interp, DictionaryOperations) {
  int64_t k = name("k");
  tree_obj* t = tree_new(&e);
  value tv = make_object(t_tree, t);
  push_value(&e, tv);
  value_unref(&e, tv);
  assembler set;
  set.dbl(static_cast<double>(k)).op(op_cache_get).num(9).op(op_dict_set);  // tree stays
  ASSERT_EQ(run(set), 0);
  assembler query;
  query.op(op_dup).dbl(static_cast<double>(k)).op(op_cache_get).op(op_dict_get);
  query.dbl(-2).op(op_load_slot).op(op_dict_length);
  query.dbl(-3).op(op_load_slot).dbl(static_cast<double>(k)).op(op_cache_get).op(op_dict_has);
  ASSERT_EQ(run(query), 0);
  ASSERT_EQ(e.stack.length, 4u);
  EXPECT_EQ(e.stack.items[1].num, 9);
  EXPECT_EQ(e.stack.items[2].num, 1);
  EXPECT_EQ(e.stack.items[3].type, t_bool);
  EXPECT_EQ(e.stack.items[3].num, 1);
}

TEST_F(Interp, BacktraceNamesTheFailingFunctionThenItsCaller) {
  int64_t g_name = name("g");
  int64_t f_name = name("f");
  assembler code(static_cast<int64_t>(e.bytecode.length));
  code.label("g").header(0).op(op_nil).num(1).op(op_add).trailer(g_name);
  code.label("f").header(0).addr("g").op(op_make_fun).dbl(0).op(op_call).op(op_return).trailer(f_name);
  int64_t f = code.at("f");
  code.append_to(&e);
  assembler a(-100 - 30);
  a.dbl(static_cast<double>(f)).op(op_make_fun).dbl(0).op(op_call);
  EXPECT_EQ(run(a), -22);
  ASSERT_GE(e.backtrace.length, 2u);
  EXPECT_EQ(std::string(e.backtrace.items[0].str->bytes), "g");
  EXPECT_EQ(std::string(e.backtrace.items[1].str->bytes), "f");
  // The caller's own frame lies in the fragment: no trailer, nil.
  if (e.backtrace.length > 2) {
    EXPECT_EQ(e.backtrace.items[2].type, t_nil);
  }
}

// A trailer whose index is no object cache index (NaN, negative, past
// the end, as corrupt code may hold) names no function.
TEST_F(Interp, BacktraceOfATrailerWithABadIndexIsNil) {
  for (double index : {std::nan(""), -1.0, 1e300}) {
    assembler code(static_cast<int64_t>(e.bytecode.length));
    code.label("g").header(0).op(op_nil).num(1).op(op_add).trailer(0);
    int64_t g = code.at("g");
    std::vector<uint8_t> bytes = code.finish();
    store_immediate(bytes.data() + bytes.size() - 8, index);
    bytecode_append(&e, bytes.data(), bytes.size());
    assembler a(-100 - 30);
    a.dbl(static_cast<double>(g)).op(op_make_fun).dbl(0).op(op_call);
    EXPECT_EQ(run(a), -22);
    ASSERT_GE(e.backtrace.length, 1u);
    EXPECT_EQ(e.backtrace.items[0].type, t_nil) << index;
    backtrace_clear(&e);
    clear_stack();
    clear_error(&e);
  }
}

int grow_c_stack(engine* e, unsigned, const uint8_t*, size_t) {
  cstack_push(e, make_number(1));
  return 0;
}

TEST_F(Interp, CStackGrowthIsReportedAndUndone) {
  e.extension_hook = grow_c_stack;
  std::vector<uint8_t> code;
  emit_opcode(code, 70);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_bytes(code), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: C stack grew in engine, popping stuff, ins=70, ret=-35\n");
  EXPECT_EQ(e.cstack.length, 0u);
  e.extension_hook = nullptr;
  EXPECT_EQ(run_bytes(code), -86);
  EXPECT_EQ(e.err.code, 14);
}

TEST_F(Interp, OpcodeRanges) {
  std::vector<uint8_t> unknown;
  emit_opcode(unknown, 3000);
  EXPECT_EQ(run_bytes(unknown), -86);
  EXPECT_EQ(e.err.code, 14);
  EXPECT_EQ(e.err.number, 3000);
  std::vector<uint8_t> header;
  emit_opcode(header, op_function);
  emit_immediate(header, 0);
  EXPECT_EQ(run_bytes(header), -13);
  EXPECT_EQ(e.err.code, 3);
  EXPECT_STREQ(opcode_description(13), "| operator");
  EXPECT_STREQ(opcode_description(201), "array deletion, $array[5]\xC2\xA0= -");
  EXPECT_STREQ(opcode_description(9), "Unknown opcode");
  EXPECT_STREQ(error_message(43), "Expected insruction pointer value");
  EXPECT_STREQ(error_message(70), "Unknown error");
}

// The run loop executes the common instruction shapes inline (and fused
// with their neighbours) unless a trap hook forces one checked step per
// instruction. Both ways must leave the same stack, result, error slot and
// backtrace, on success and on every kind of failure inside a fused shape.
struct run_outcome {
  int result = 0;
  int code = 0;
  unsigned opcode = 0;
  double number = 0;
  uint32_t info_type = 0;
  size_t bp = 0;
  std::vector<std::string> stack;
  size_t backtrace = 0;
};

int count_steps(void* data, unsigned) {
  ++*static_cast<int*>(data);
  return 0;
}

std::string describe(value v) {
  if (v.type == t_str) return "str:" + std::string(v.str->bytes, v.str->length);
  if (is_object_type(v.type)) return "obj:" + std::to_string(v.type);
  char buf[64];
  snprintf(buf, sizeof buf, "%u:%.17g", v.type, v.num);
  return buf;
}

// Builds the program into the buffer of a fresh engine and returns its
// entry address.
using program = int64_t (*)(engine* e);

run_outcome run_program(program build, bool stepwise) {
  engine e;
  EXPECT_EQ(engine_init(&e, 0), 0);
  int steps = 0;
  if (stepwise) {
    e.trap_hook = count_steps;
    e.trap_data = &steps;
  }
  int64_t entry = build(&e);
  run_outcome o;
  o.result = run_at(&e, entry);
  if (stepwise) {
    EXPECT_GT(steps, 0);
  }
  o.code = e.err.code;
  o.opcode = e.err.opcode;
  o.number = e.err.number;
  o.info_type = e.err.info.type;
  o.bp = e.bp;
  for (size_t i = 0; i < e.stack.length; i++) o.stack.push_back(describe(e.stack.items[i]));
  o.backtrace = e.backtrace.length;
  e.bp = 0;
  pop_n(&e, e.stack.length);
  backtrace_clear(&e);
  clear_error(&e);
  engine_verify_refcounts(&e);
  engine_free(&e);
  return o;
}

int64_t cache_string(engine* e, const char* s) { return cache_add_string(e, s, strlen(s)); }

// fn(x) with two locals: the shapes the compiler emits for slot loads,
// constants, assignments, comparisons, conditional jumps and returns.
int64_t emit_local_function(engine* e, assembler& f, const char* name) {
  int64_t idx = cache_string(e, name);
  f.label(name).header(1);
  f.num(0).num(0);                                                       // slots 3, 4
  f.dbl(3).dbl(0).op(op_load_slot).num(2).op(op_mul).op(op_store_slot);  // l1 = x * 2
  f.dbl(4).dbl(3).op(op_load_slot).dbl(0).op(op_load_slot).op(op_sub).op(op_store_slot);
  f.dbl(0).op(op_load_slot).num(5).op(op_lt).addr(std::string(name) + "_else").op(op_jump_false);
  f.dbl(4).op(op_load_slot).dbl(1).dbl(2).op(op_return_counts);
  f.label(std::string(name) + "_else");
  f.dbl(3).op(op_load_slot).dbl(1).dbl(2).op(op_return_counts);
  f.trailer(idx);
  return f.at(name);
}

const program k_programs[] = {
    // Success: calls, locals, a loop growing the stack past its capacity.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      int64_t f = emit_local_function(e, a, "f");
      a.label("start").num(0);  // a counter at slot 0 of the fragment's frame
      a.label("loop").dbl(static_cast<double>(f)).op(op_make_fun).dbl(0).op(op_load_slot);
      a.dbl(1).op(op_call);
      a.dbl(0).dbl(0).op(op_load_slot).num(1).op(op_add).op(op_store_slot);
      a.dbl(0).op(op_load_slot).num(9000).op(op_ge).addr("loop").op(op_jump_false);
      a.append_to(e);
      return a.at("start");
    },
    // Success: counts pushed as numbers run the lone call and return.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("fib").header(1).dbl(0).op(op_load_slot).num(2).op(op_lt).addr("rec");
      a.op(op_jump_false).dbl(0).op(op_load_slot).num(1).num(0).op(op_return_counts);
      a.label("rec").addr("fib").op(op_make_fun).dbl(0).op(op_load_slot).num(1).op(op_sub);
      a.num(1).op(op_call).addr("fib").op(op_make_fun).dbl(0).op(op_load_slot).num(2);
      a.op(op_sub).num(1).op(op_call).op(op_add).num(1).num(0).op(op_return_counts);
      a.trailer(cache_string(e, "fib"));
      a.label("start").addr("fib").op(op_make_fun).num(15).num(1).op(op_call);
      a.addr("fib").op(op_make_fun).num(1).num(2).num(2).op(op_call);  // wrong count
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("f").header(0).num(5).num(0).num(-1).op(op_return_counts);
      a.trailer(cache_string(e, "f"));
      a.label("start").addr("f").op(op_make_fun).num(0).op(op_call);
      a.append_to(e);
      return a.at("start");
    },
    // Slot indexes outside the frame, not integral, or below bp.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).dbl(5).op(op_load_slot);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).dbl(1.5).op(op_load_slot);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).dbl(-2).op(op_load_slot);
      a.append_to(e);
      return a.at("start");
    },
    // Assignments whose target or operand is wrong.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).dbl(1).dbl(0).op(op_load_slot).num(1).op(op_add).op(op_store_slot);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      int64_t s = cache_string(e, "text");
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).dbl(static_cast<double>(s)).op(op_cache_get);
      a.dbl(0).dbl(0).op(op_load_slot).dbl(1).op(op_load_slot).op(op_add).op(op_store_slot);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      int64_t s = cache_string(e, "text");
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).dbl(static_cast<double>(s)).op(op_cache_get);
      a.dbl(0).dbl(1).op(op_load_slot).num(2).op(op_mul).op(op_store_slot);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      // An object overwritten in a slot is released; the operands may be
      // the target itself.
      int64_t s = cache_string(e, "text");
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").dbl(static_cast<double>(s)).op(op_cache_get).num(4);
      a.dbl(0).dbl(1).op(op_load_slot).dbl(1).op(op_load_slot).op(op_mul).op(op_store_slot);
      a.dbl(1).dbl(1).op(op_load_slot).num(0.5).op(op_sub).op(op_store_slot);
      a.append_to(e);
      return a.at("start");
    },
    // A comparison and conditional jump to a bad target: taken and not.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).num(2).op(op_lt).dbl(1e12).op(op_jump_false);
      a.num(2).num(1).op(op_lt).dbl(1e12).op(op_jump_false);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").op(op_nil).dbl(0).op(op_load_slot).num(2).op(op_lt);
      a.append_to(e);
      return a.at("start");
    },
    // Calls: wrong count, no function, no header there.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      int64_t f = emit_local_function(e, a, "f");
      a.label("start").dbl(static_cast<double>(f)).op(op_make_fun).num(1).num(2).dbl(2).op(op_call);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      // An argument computed right before the call, then a wrong count.
      assembler a(static_cast<int64_t>(e->bytecode.length));
      int64_t f = emit_local_function(e, a, "f");
      a.label("start").dbl(static_cast<double>(f)).op(op_make_fun).num(5).num(1).op(op_sub);
      a.dbl(1).op(op_call).dbl(static_cast<double>(f)).op(op_make_fun).num(5);
      a.num(6).num(1).op(op_sub).dbl(2).op(op_call);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(3).num(1).dbl(1).op(op_call);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").dbl(0).op(op_make_fun).dbl(0).op(op_call);
      a.append_to(e);
      return a.at("start");
    },
    // Returns without a frame, or with counts that do not fit it.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).num(2).num(3).num(4).dbl(0).dbl(0).op(op_return_counts);
      a.append_to(e);
      return a.at("start");
    },
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").num(1).dbl(1.5).dbl(0).op(op_return_counts);
      a.append_to(e);
      return a.at("start");
    },
    // A failure inside a called function: its frame and the backtrace.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("g").header(1).dbl(7).op(op_load_slot).trailer(cache_string(e, "g"));
      a.label("start").dbl(static_cast<double>(a.at("g"))).op(op_make_fun);
      a.num(1).dbl(1).op(op_call);
      a.append_to(e);
      return a.at("start");
    },
    // Dynamic variables: found, and missing.
    [](engine* e) {
      int64_t name = cache_string(e, "v");
      value seven = make_number(7);
      EXPECT_EQ(scope_set(e, e->current_scope.scope, e->object_cache.items[name], seven), 0);
      int64_t missing = cache_string(e, "nope");
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").op(op_scope_current).dbl(static_cast<double>(name)).op(op_cache_get);
      a.op(op_scope_get).op(op_scope_current).dbl(static_cast<double>(missing));
      a.op(op_cache_get).op(op_scope_get);
      a.append_to(e);
      return a.at("start");
    },
    // A variable defined in a nearer scope hides the one found before.
    [](engine* e) {
      int64_t name = cache_string(e, "v");
      scope_obj* root = e->current_scope.scope;
      EXPECT_EQ(scope_set(e, root, e->object_cache.items[name], make_number(7)), 0);
      scope_obj* inner = scope_new(e, 8, root, false);
      value_assign(e, &e->current_scope, make_object(t_sc, inner));
      value_unref(e, make_object(t_sc, inner));  // the current scope and the cache hold it
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start");
      for (int i = 0; i < 2; i++) {
        a.op(op_scope_current).dbl(static_cast<double>(name)).op(op_cache_get).op(op_scope_get);
        a.op(op_scope_current).dbl(static_cast<double>(name)).op(op_cache_get).num(9 + i);
        a.op(op_scope_set);
      }
      a.op(op_scope_current).dbl(static_cast<double>(name)).op(op_cache_get).op(op_scope_get);
      a.append_to(e);
      return a.at("start");
    },
    // Cache indexes out of range.
    [](engine* e) {
      assembler a(static_cast<int64_t>(e->bytecode.length));
      a.label("start").dbl(1e6).op(op_cache_get);
      a.append_to(e);
      return a.at("start");
    },
};

TEST(InterpLoops, FastLoopAgreesWithCheckedSteps) {
  for (size_t i = 0; i < std::size(k_programs); i++) {
    run_outcome fast = run_program(k_programs[i], false);
    run_outcome checked = run_program(k_programs[i], true);
    EXPECT_EQ(fast.result, checked.result) << "program " << i;
    EXPECT_EQ(fast.code, checked.code) << "program " << i;
    EXPECT_EQ(fast.opcode, checked.opcode) << "program " << i;
    EXPECT_EQ(fast.number, checked.number) << "program " << i;
    EXPECT_EQ(fast.info_type, checked.info_type) << "program " << i;
    EXPECT_EQ(fast.bp, checked.bp) << "program " << i;
    EXPECT_EQ(fast.stack, checked.stack) << "program " << i;
    EXPECT_EQ(fast.backtrace, checked.backtrace) << "program " << i;
  }
  // The first program ran to its end with the loop's count on top.
  run_outcome ok = run_program(k_programs[0], false);
  EXPECT_EQ(ok.result, 0) << error_message(ok.code);
  ASSERT_EQ(ok.stack.size(), 9001u);
  EXPECT_EQ(ok.stack[0], "0:9000");
  EXPECT_EQ(ok.stack[9000], "0:17998");  // f(8999) = 2 * 8999
  run_outcome fib = run_program(k_programs[1], false);
  ASSERT_GE(fib.stack.size(), 1u);
  EXPECT_EQ(fib.stack[0], "0:610");  // fib(15), before the failing call
  EXPECT_EQ(fib.code, 18);
  run_outcome hidden = run_program(k_programs[std::size(k_programs) - 2], false);
  EXPECT_EQ(hidden.stack, (std::vector<std::string>{"0:7", "0:9", "0:10"}));
}

}  // namespace
}  // namespace kiln::engine::testing
