// The plain and exponent layouts of floating-point text.
#pragma once

#include "number/digit_groups.h"
#include "number/float_digits.h"
#include "number/int_text.h"

#include <cstdint>
#include <cstring>

namespace quibex::detail {

// 'e', the sign and |e| without leading zeros (1 to 3 digits).
inline uint8_t* write_exponent(uint8_t* p, int e) noexcept {
  p[0] = 'e';
  p[1] = e < 0 ? '-' : '+';
  const uint32_t a = static_cast<uint32_t>(e < 0 ? -e : e);
  if (a < 10) {
    p[2] = static_cast<uint8_t>('0' + a);
    return p + 3;
  }
  if (a < 100) {
    detail::put_pair(p + 2, a);
    return p + 4;
  }
  p[2] = static_cast<uint8_t>('0' + a / 100);
  detail::put_pair(p + 3, a % 100);
  return p + 5;
}

// The text of d's 17 digits at q. Stores stay inside
// q[0, 23): the longest texts, 0.0000ddddddddddddddddd and
// d.ddddddddddddddddde-308, are 23 bytes.
[[gnu::always_inline]] inline uint8_t* format_f64(uint8_t* q, Digits17 d) noexcept {
  const int e = d.exponent;
  using namespace digit_groups;
  const Block head = ascii16(static_cast<uint32_t>(d.head / 100000000),
                             static_cast<uint32_t>(d.head % 100000000));
  const uint8_t last = static_cast<uint8_t>('0' + d.last);
  // The first digit is never '0': the mask is never zero, and no branch for
  // a zero mask is needed.
  const int n = 32 - __builtin_clz(nonzero_digits(head) | (static_cast<uint32_t>(last != '0') << 16));
  if (e < -5 || e > 15) {
    store16(q + 1, head);
    q[0] = first_byte(head);
    q[1] = '.';
    q[17] = last;
    return write_exponent(q + n + (n > 1), e);  // over the point when there is one digit
  }
  if (e < 0) {
    std::memcpy(q, "0.000000", 8);
    store16(q + 1 - e, head);
    q[17 - e] = last;
    return q + 1 - e + n;
  }
  if (e >= n - 1) {  // integral: the padding zeros supply the digits up to the point
    store16(q, head);
    q[e + 1] = '.';
    q[e + 2] = '0';
    return q + e + 3;
  }
  store16(q, insert_point(head, e));
  q[16] = e == 15 ? '.' : last_byte(head);
  q[17] = last;
  return q + n + 1;
}

}  // namespace quibex::detail
