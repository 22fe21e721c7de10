// Text helpers for JSON lines: the record of the user interface, the
// machine-readable output of the command-line host, logs.
//
// Stateless; callable from any thread.
#ifndef TW_PLATFORM_JSON_TEXT_H_
#define TW_PLATFORM_JSON_TEXT_H_

#include <cstddef>
#include <string>

namespace tw {

// Length of the valid UTF-8 sequence that starts at text[i] (i < size), or
// 0 when the bytes there are not one: overlong forms, surrogates and code
// points above U+10FFFF are not valid. ASCII bytes are not sequences here.
size_t Utf8SequenceLength(const std::string& text, size_t i);

// `native` (narrow text of the process) as a JSON string literal in UTF-8,
// quotes included.
std::string JsonQuote(const std::string& native);

}  // namespace tw

#endif  // TW_PLATFORM_JSON_TEXT_H_
