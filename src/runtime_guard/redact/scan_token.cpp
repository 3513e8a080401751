// Token scanner. `(?:-[A-Za-z0-9]{4}){2,}` is greedy: it takes every group it can (g of them),
// then needs `\b`. The end of a group is a letter or digit, so `\b` holds there iff the next
// character is not a word character; when it fails after g groups, dropping one group leaves
// a '-' next, where `\b` always holds. So a start matches with g groups (boundary after them),
// else with g - 1 groups when g >= 3, else not at all. A failing start reads at most 15
// characters, so the scan is linear. A start has its first '-' four characters on, so the
// scan jumps from '-' to '-'.
#include "redact/scanners.hpp"

namespace rg::redact {

namespace {

template <class Ch>
bool four_alnum(const Ch* s, Py_ssize_t n, Py_ssize_t i) {
  return i + 4 <= n && is_alnum(s[i]) && is_alnum(s[i + 1]) && is_alnum(s[i + 2]) &&
         is_alnum(s[i + 3]);
}

// End of the token starting at i (which has `\b` before it), or -1.
template <class Ch>
Py_ssize_t token_end(const Ch* s, Py_ssize_t n, Py_ssize_t i) {
  if (!four_alnum(s, n, i)) return -1;
  Py_ssize_t e = i + 4;
  int groups = 0;
  while (e < n && s[e] == '-' && four_alnum(s, n, e + 1)) {
    e += 5;
    ++groups;
  }
  if (groups < 2) return -1;
  if (e == n || !is_word(s[e])) return e;
  return groups >= 3 ? e - 5 : -1;
}

template <class Ch>
bool scan(const Ch* s, Py_ssize_t n, Spans& out) {
  Py_ssize_t h = find_char<Ch>(s, 4, n, '-');
  while (h < n) {
    // A start is an ASCII letter or digit with no word character before it.
    const Py_ssize_t i = h - 4;
    if (is_alnum(s[i]) && (i == 0 || !is_word(s[i - 1]))) {
      const Py_ssize_t e = token_end(s, n, i);
      if (e >= 0) {
        if (!out.push({i, e})) return false;
        h = find_char<Ch>(s, e + 4, n, '-');
        continue;
      }
    }
    h = find_char<Ch>(s, h + 1, n, '-');
  }
  return true;
}

}  // namespace

bool find_tokens(const Str& text, Spans& out) {
  return with_text(text, [&](auto* s, Py_ssize_t n) { return scan(s, n, out); });
}

}  // namespace rg::redact
