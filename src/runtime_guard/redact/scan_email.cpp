// E-mail scanner. The local part `[L]+` is greedy and '@' is not in L, so a start i can only
// match with the '@' right after the maximal L-run from i: every start in one run shares that
// '@', and whether the rest matches depends on the '@' alone. Within the run, the leftmost
// start with a `\b` wins. So the scan jumps from '@' to '@' and looks back for the run.
//
// After the '@', `[D]+\.[A-Za-z]{2,}\b` backtracks over the dots of the maximal D-run,
// rightmost first. For a dot at x the letters from x + 1 run to t; `\b` can only hold at t
// (inside the run both neighbours are letters), so the dot works iff the run has two or more
// letters and s[t] is not a word character. The first dot that works fixes the match end.
#include "redact/scanners.hpp"

namespace rg::redact {

namespace {

// End of the e-mail whose '@' is at j, or -1.
template <class Ch>
Py_ssize_t domain_end(const Ch* s, Py_ssize_t n, Py_ssize_t j) {
  const Py_ssize_t d = j + 1;
  Py_ssize_t m = d;
  while (m < n && is_domain(s[m])) ++m;
  // Letters after a dot end at `letters_end`; walking right to left it is carried over from
  // the previous (right-hand) dot so every character is read once.
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
bool scan(const Ch* s, Py_ssize_t n, Spans& out) {
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

}  // namespace

bool find_emails(const Str& text, Spans& out) {
  return with_text(text, [&](auto* s, Py_ssize_t n) { return scan(s, n, out); });
}

}  // namespace rg::redact
