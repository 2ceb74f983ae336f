// Placeholder; replaced by the digit writers.
#include "serialize/per_type/int.h"

#include <cstdio>

namespace quibex {

DumpResult write_int_object(OutputBuffer& out, PyObject* obj, OptionSet opts) noexcept {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow) return make_dump_error(DumpErrorKind::Integer64Bits);
  if ((opts & OPT_STRICT_INTEGER) && (v > 9007199254740991LL || v < -9007199254740991LL))
    return make_dump_error(DumpErrorKind::Integer53Bits);
  QUIBEX_TRY(out.reserve(128));
  out.advance(std::snprintf(reinterpret_cast<char*>(out.write_ptr()), 64, "%lld", v));
  return kDumpOk;
}

}  // namespace quibex
