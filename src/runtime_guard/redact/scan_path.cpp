// Path scanner. A match lies inside one maximal run of component characters [a, q) (the root
// characters and both separators are component characters too). The greedy body
// `(?:C+[/\\])+C+` always ends at q when it can match at all: it needs a separator with at
// least one component character before it (after the root) and at least one after it, so a
// root ending at p matches iff some separator sits in [p + 1, q - 2]. Only the last such
// separator of the run matters, and the leftmost root that satisfies it wins.
//
// Every root holds a separator, so only runs with one are looked at: the scan jumps from
// separator to separator and widens each to its run.
#include "redact/scanners.hpp"

namespace rg::redact {

namespace {

// Length of the root at s[i] (drive "X:\", UNC "\\" or "/"), or 0. Reads at most s[i + 2],
// which the caller guarantees to be inside the run.
template <class Ch>
int root_length(const Ch* s, Py_ssize_t i) {
  const Py_UCS4 c = s[i];
  if (c == '/') return 1;
  if (c == '\\') return s[i + 1] == '\\' ? 2 : 0;
  if (is_alpha(c) && s[i + 1] == ':' && s[i + 2] == '\\') return 3;
  return 0;
}

template <class Ch>
bool scan(const Ch* s, Py_ssize_t n, Spans& out) {
  Py_ssize_t done = 0;  // everything before is settled
  Py_ssize_t slash = find_char<Ch>(s, 0, n, '/');
  Py_ssize_t back = find_char<Ch>(s, 0, n, '\\');
  while (true) {
    const Py_ssize_t h = slash < back ? slash : back;  // first separator at or after `done`
    if (h >= n) break;
    Py_ssize_t a = h;
    while (a > done && is_component(s[a - 1])) --a;
    Py_ssize_t q = h, last = -1, before_last = -1;
    for (; q < n && is_component(s[q]); ++q) {
      if (is_sep(s[q])) {
        before_last = last;
        last = q;
      }
    }
    // The last separator that still leaves a component character after it.
    const Py_ssize_t sep = last <= q - 2 ? last : before_last;
    // A root of length r at st needs sep >= st + r + 1, so st <= sep - 2 at best.
    for (Py_ssize_t st = a; st + 2 <= sep; ++st) {
      const int r = root_length(s, st);
      if (r && sep >= st + r + 1) {
        if (!out.push({st, q})) return false;
        break;
      }
    }
    done = q;
    if (slash < q) slash = find_char<Ch>(s, q, n, '/');
    if (back < q) back = find_char<Ch>(s, q, n, '\\');
  }
  return true;
}

}  // namespace

bool find_paths(const Str& text, Spans& out) {
  return with_text(text, [&](auto* s, Py_ssize_t n) { return scan(s, n, out); });
}

}  // namespace rg::redact
