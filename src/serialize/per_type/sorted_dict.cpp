#include "serialize/per_type/sorted_dict.h"

#include "serialize/per_type/dict_members.h"

namespace quibex {

template <class L>
DumpResult write_dict_sorted(const SerializerFrame& frame, L& layout) noexcept {
  DictMembers members(frame.obj, true);
  QUIBEX_TRY(members.collect([](PyObject*) noexcept { return make_dump_error(DumpErrorKind::KeyMustBeStr); }));
  members.sort();
  return members.write(frame, layout);
}

template DumpResult write_dict_sorted<CompactLayout>(const SerializerFrame&, CompactLayout&) noexcept;
template DumpResult write_dict_sorted<IndentWriter>(const SerializerFrame&, IndentWriter&) noexcept;

}  // namespace quibex
