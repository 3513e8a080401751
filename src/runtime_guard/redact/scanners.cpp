// The redaction scanners, each with the proof that its single pass finds what `re` finds.
#include "redact/scanners.hpp"

namespace rg::redact {
namespace {
// Path scanner. A match lies inside one maximal run of component characters [a, q) (roots and
// separators included). The greedy `(?:C+[/\\])+C+` ends at q if it matches at all: it needs a
// separator with a component character on each side, so a root ending at p matches iff some
// separator sits in [p + 1, q - 2]; only the run's last such one matters, and the leftmost root
// satisfying it wins. Every root holds a separator: the scan jumps from separator to separator.

// Length of the root at s[i] (drive "X:\", UNC "\\" or "/"), or 0; s[i + 2] is inside the run.
template <class Ch>
int root_length(const Ch* s, Py_ssize_t i) {
  const Py_UCS4 c = s[i];
  if (c == '/') return 1;
  if (c == '\\') return s[i + 1] == '\\' ? 2 : 0;
  if (is_alpha(c) && s[i + 1] == ':' && s[i + 2] == '\\') return 3;
  return 0;
}

template <class Ch>
bool scan_paths(const Ch* s, Py_ssize_t n, Spans& out) {
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

// E-mail scanner. `[L]+` is greedy and '@' is not in L, so every start in one L-run shares the
// '@' right after it, and the rest depends on the '@' alone; the leftmost start with a `\b`
// wins. So the scan jumps from '@' to '@' and looks back for the run.
// After the '@', `[D]+\.[A-Za-z]{2,}\b` backtracks over the D-run's dots, rightmost first. For
// a dot at x the letters from x + 1 run to t, and `\b` can hold only at t: the dot works iff
// there are two or more letters and s[t] is not a word character.

// End of the e-mail whose '@' is at j, or -1.
template <class Ch>
Py_ssize_t domain_end(const Ch* s, Py_ssize_t n, Py_ssize_t j) {
  const Py_ssize_t d = j + 1;
  Py_ssize_t m = d;
  while (m < n && is_domain(s[m])) ++m;
  // Carried over from the dot to the right, so every character is read once.
  Py_ssize_t letters_end = m;
  for (Py_ssize_t x = m - 1; x > d; --x) {
    if (s[x] != '.') {
      if (!is_alpha(s[x])) letters_end = x;
      continue;
    }
    if (letters_end - (x + 1) >= 2 && (letters_end == n || !is_word(s[letters_end])))
      return letters_end;
    letters_end = x;
  }
  return -1;
}

template <class Ch>
bool scan_emails(const Ch* s, Py_ssize_t n, Spans& out) {
  Py_ssize_t done = 0;  // end of the last match
  for (Py_ssize_t j = find_char<Ch>(s, 0, n, '@'); j < n; j = find_char<Ch>(s, j + 1, n, '@')) {
    Py_ssize_t a = j;
    while (a > done && is_local(s[a - 1])) --a;
    if (a == j) continue;
    const Py_ssize_t t = domain_end(s, n, j);
    if (t < 0) continue;
    Py_ssize_t k = a;
    while (k < j && !at_boundary(s, n, k)) ++k;
    if (k == j) continue;
    if (!out.push({k, t})) return false;
    done = t;
    j = t - 1;
  }
  return true;
}

// Token scanner. `(?:-[A-Za-z0-9]{4}){2,}` takes all g groups it can, then needs `\b`, which
// holds after a group iff no word character follows; else dropping one group leaves a '-' next,
// where it always holds. So a start matches with g groups, else g - 1 when g >= 3. A failing
// start reads at most 15 characters (linear); its first '-' is four on: the scan jumps by '-'.
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
  for (; e < n && s[e] == '-' && four_alnum(s, n, e + 1); e += 5) ++groups;
  if (groups < 2) return -1;
  if (e == n || !is_word(s[e])) return e;
  return groups >= 3 ? e - 5 : -1;
}

template <class Ch>
bool scan_tokens(const Ch* s, Py_ssize_t n, Spans& out) {
  Py_ssize_t h = find_char<Ch>(s, 4, n, '-');
  while (h < n) {
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

bool find_paths(const Str& text, Spans& out) {
  return with_text(text, [&](auto* s, Py_ssize_t n) { return scan_paths(s, n, out); });
}
bool find_emails(const Str& text, Spans& out) {
  return with_text(text, [&](auto* s, Py_ssize_t n) { return scan_emails(s, n, out); });
}
bool find_tokens(const Str& text, Spans& out) {
  return with_text(text, [&](auto* s, Py_ssize_t n) { return scan_tokens(s, n, out); });
}
}  // namespace rg::redact
