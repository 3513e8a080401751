// The three redaction scanners. Each finds, left to right, the non-overlapping matches that
// `re.sub` with the corresponding pattern would replace, in one linear pass (the patterns'
// backtracking outcome depends only on maximal runs of their character classes).
#pragma once

#include "redact/text.hpp"

namespace rg::redact {

// _PATH_RE:     (?:[A-Za-z]:\\|\\\\|/)(?:[^\s'\"<>|]+[/\\])+[^\s'\"<>|]+
// _EMAIL_RE:    \b[A-Za-z0-9._%+\-]+@[A-Za-z0-9.\-]+\.[A-Za-z]{2,}\b
// _TOKENISH_RE: \b[A-Za-z0-9]{4}(?:-[A-Za-z0-9]{4}){2,}\b
// Matches are appended to `out`; false with MemoryError set when it cannot grow.
bool find_paths(const Str& text, Spans& out);
bool find_emails(const Str& text, Spans& out);
bool find_tokens(const Str& text, Spans& out);

// A copy of `text` with every span replaced by `marker` (ASCII), in the canonical (narrowest)
// storage for its characters, built in one allocation.
Str splice(const Str& text, const Spans& spans, const char* marker);

}  // namespace rg::redact
