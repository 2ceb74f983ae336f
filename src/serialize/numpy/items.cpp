#include "serialize/numpy/items.h"

#include "serialize/per_type/datetime.h"

namespace quibex {
namespace {

[[gnu::cold]] DumpResult datetime_failure(DatetimeFailure kind, int64_t count,
                                          const DatetimeDescr& descr) noexcept {
  Owned message = Owned::steal(datetime_error_message({kind, descr.unit, descr.text, count}));
  if (!message) return make_dump_error(DumpErrorKind::OutOfMemory);
  return make_dump_error(DumpErrorKind::MessageText, message.get());
}

}  // namespace

DumpResult write_datetime64_item(OutputBuffer& out, int64_t count, const DatetimeDescr& descr,
                                 OptionSet options) noexcept {
  CivilDateTime value;
  const DatetimeFailure failure = convert_datetime64(count, descr.unit, &value);
  if (failure != DatetimeFailure::None) [[unlikely]]
    return datetime_failure(failure, count, descr);
  return write_quoted(out, [&](uint8_t* text, size_t* len) noexcept {
    *len = write_naive_datetime_text(value, options, text);
    return kDumpOk;
  });
}

}  // namespace quibex
