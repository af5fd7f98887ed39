#include "front/builtin_table.h"

#include <array>

namespace kiln::front {

namespace {

// Library opcodes 128-206 and the build extension's 64-97.
constexpr builtin_entry k_builtins[] = {
    {tok::kw_strsub, 128, 3},       {tok::kw_strfromchr, 129, 1},  {tok::kw_strappend, 130, 2},
    {tok::kw_strcmp, 131, 2},       {tok::kw_strlistjoin, 132, 2}, {tok::kw_strlower, 133, 1},
    {tok::kw_strupper, 134, 1},     {tok::kw_strreverse, 135, 1},  {tok::kw_strstr, 136, 2},
    {tok::kw_strgsub, 137, 3},      {tok::kw_strrep, 138, 2},      {tok::kw_strset, 140, 3},
    {tok::kw_strstrip, 141, 2},     {tok::kw_strword, 142, 3},     {tok::kw_strwordlist, 143, 2},
    {tok::kw_strwordcnt, 144, 2},   {tok::kw_tostring, 145, 1},    {tok::kw_tonumber, 146, 1},
    {tok::kw_abs, 147, 1},          {tok::kw_acos, 148, 1},        {tok::kw_asin, 149, 1},
    {tok::kw_atan, 150, 1},         {tok::kw_ceil, 151, 1},        {tok::kw_floor, 152, 1},
    {tok::kw_cos, 153, 1},          {tok::kw_sin, 154, 1},         {tok::kw_tan, 155, 1},
    {tok::kw_exp, 156, 1},          {tok::kw_log, 157, 1},         {tok::kw_sqrt, 158, 1},
    {tok::kw_dupnonrec, 161, 1},    {tok::kw_splice, 166, 3},      {tok::kw_fopen, 172, 2},
    {tok::kw_fclose, 173, 1},       {tok::kw_fread, 174, 4},       {tok::kw_fseek, 175, 3},
    {tok::kw_fflush, 176, 1},       {tok::kw_fwrite, 177, 4},      {tok::kw_fpclassify, 179, 1},
    {tok::kw_jsonenc, 180, 1},      {tok::kw_jsondec, 181, 1},     {tok::kw_pbnew, 185, 0},
    {tok::kw_scopeparent, 186, 1},  {tok::kw_round, 190, 1},       {tok::kw_trunc, 191, 1},
    {tok::kw_getenv, 192, 1},       {tok::kw_chomp, 193, 1},       {tok::kw_pb2str, 194, 3},
    {tok::kw_str2pb, 195, 1},       {tok::kw_fgetdelim, 196, 5},   {tok::kw_gettime, 197, 0},
    {tok::kw_localtime, 198, 1},    {tok::kw_gmtime, 199, 1},      {tok::kw_mktime, 200, 1},
    {tok::kw_jsontest, 203, 1},     {tok::kw_strlistrmdupes, 206, 1}, {tok::kw_type, 55, 1},
    {tok::kw_getscopedyn, 51, 0},
    {tok::kw_dirup, 64, 0},         {tok::kw_dirdown, 65, 0},      {tok::kw_sufsuball, 68, 3},
    {tok::kw_sufsubone, 69, 3},     {tok::kw_suffilter, 70, 2},    {tok::kw_pathsuffix, 71, 1},
    {tok::kw_pathbasename, 72, 1},  {tok::kw_pathdir, 73, 1},      {tok::kw_pathnotdir, 74, 1},
    {tok::kw_pathsimplify, 75, 1},  {tok::kw_pathsuffixall, 76, 1}, {tok::kw_pathbasenameall, 77, 1},
    {tok::kw_pathdirall, 78, 1},    {tok::kw_pathnotdirall, 79, 1}, {tok::kw_pathsimplifyall, 80, 1},
    {tok::kw_glob, 81, 1},          {tok::kw_jsonin, 82, 1},       {tok::kw_suffilterout, 83, 2},
    {tok::kw_shellescape, 84, 1},   {tok::kw_dirupall, 85, 0},     {tok::kw_dirdownall, 86, 0},
    {tok::kw_presuball, 87, 3},     {tok::kw_presubone, 88, 3},    {tok::kw_abspath, 89, 1},
    {tok::kw_regfilter, 90, 3},     {tok::kw_eregfilter, 91, 3},   {tok::kw_prefilter, 92, 2},
    {tok::kw_prefilterout, 93, 2},  {tok::kw_filter, 94, 2},       {tok::kw_filterout, 95, 2},
    {tok::kw_access, 96, 2},        {tok::kw_shellescapemulti, 97, 1},
};

}  // namespace

const builtin_entry* find_builtin(tok kind) {
  static const auto table = [] {
    std::array<const builtin_entry*, static_cast<size_t>(tok::n_kinds)> t{};
    for (const builtin_entry& b : k_builtins) t[static_cast<size_t>(b.kind)] = &b;
    return t;
  }();
  size_t i = static_cast<size_t>(kind);
  return i < table.size() ? table[i] : nullptr;
}

}  // namespace kiln::front
