// Key and value names: the stored and the case-folded form, subkey paths,
// and handing names back to callers.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "wince/registry.h"

namespace wince::reg {

// Folded or stored names travel as byte strings (SQLite blobs).
using Bytes = std::string;

size_t Length(LPCWSTR s);

// A name as created, UTF-16LE, for display.
Bytes StoredName(LPCWSTR s, size_t n);

// Unicode simple case folding per code point; unpaired surrogates are kept.
// UTF-16BE, so that byte order is code-unit order.
Bytes FoldedName(LPCWSTR s, size_t n);

// Splits a subkey path at backslashes. One trailing backslash is tolerated;
// a leading one, an empty component or an over-long one is an error.
LONG SplitPath(LPCWSTR path, std::vector<std::pair<LPCWSTR, size_t>>* parts);

// Both forms of a value name (NULL is the default value).
LONG ValueName(LPCWSTR name, Bytes* stored, Bytes* fold);

// Copies a stored UTF-16LE name into a caller's buffer sized in code units.
LONG CopyName(const Bytes& stored, LPWSTR out, LPDWORD cch);

}  // namespace wince::reg
