// KeyValueMap and ParseKeyValues: the one key/value grammar shared by the
// service parameter string and the job-key string.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Quillet {

/// Keys to values; keys compare code unit by code unit, so case matters.
using KeyValueMap = std::map<std::wstring, std::wstring>;

/// Reads the pairs of text into out (emptied first) and returns how many
/// pairs were read, repeated keys included; when a key repeats, its first
/// value stays. Pairs are separated by spaces or tabs; a key is followed by
/// "=", blanks or both and its value, may be introduced by "-", and a key
/// directly followed by another "-key" has an empty value. A value in double
/// quotes keeps its blanks; there are no escapes, and a quote left open runs
/// to the end of the text. Any text is accepted in time linear in its length;
/// characters that are not Unicode scalar values come back as U+FFFD.
/// Throws only std::bad_alloc.
std::int32_t ParseKeyValues(const std::wstring& text, KeyValueMap& out);

}  // namespace Quillet
