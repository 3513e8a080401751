// The three redaction scanners. Each finds, left to right, the non-overlapping matches that
// `re.sub` with the corresponding pattern would replace, in one linear pass (the patterns'
// backtracking outcome depends only on maximal runs of their character classes).
#pragma once

#include "logs/text.hpp"

namespace rg::logs {

// _PATH_RE:     (?:[A-Za-z]:\\|\\\\|/)(?:[^\s'\"<>|]+[/\\])+[^\s'\"<>|]+
// _EMAIL_RE:    \b[A-Za-z0-9._%+\-]+@[A-Za-z0-9.\-]+\.[A-Za-z]{2,}\b
// _TOKENISH_RE: \b[A-Za-z0-9]{4}(?:-[A-Za-z0-9]{4}){2,}\b
//
// `text` is a ready str; matches are appended to `out`. -1 with MemoryError set on failure.
int find_paths(PyObject* text, SpanList& out);
int find_emails(PyObject* text, SpanList& out);
int find_tokens(PyObject* text, SpanList& out);

// A copy of `text` with every span replaced by `marker` (ASCII), in the canonical (narrowest)
// storage for its characters, built in one allocation.
Ref splice(PyObject* text, const SpanList& spans, const char* marker);

}  // namespace rg::logs
