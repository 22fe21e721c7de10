// The fuzz entry of TWServer's command handler, shared by the libFuzzer
// target and the corpus replay test of every build. A fake transport hands
// the handler whole messages built from the input, before and after logon,
// against one repository held in memory (its content store in a scratch
// folder), reset after every input.
//
// Aborts (so that the fuzzer reports it) when, beside a crash:
//   - a refused request (any error) changed the Productions, Documents,
//     versions, locks or the content store;
//   - a reply cannot be serialized as the connection would send it;
//   - the database is found inconsistent after an input;
//   - a received file is left behind.
#ifndef TW_TESTS_FUZZ_TWSERVER_COMMANDS_ENTRY_H_
#define TW_TESTS_FUZZ_TWSERVER_COMMANDS_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace tw::fuzz {

// Runs one input. Its form: one byte of flags (bit 0: the requests come on
// connections logged on as "alice" and "bob"; otherwise on a fresh one that
// is not), then messages, each:
//   u8 command (modulo the command table; with bit 7 and logged on, bob's
//      connection), u8 sub-command (255: none), u8 field count, fields;
//   field: u8 id (modulo the id table), u8 type (modulo 5, plus 1),
//      u16 big-endian length, that many bytes (fewer when the input ends).
// In string values the byte 0x01 followed by k stands for the k-th
// identifier the server has handed out so far (the root first). A file
// list's elements (split at "?") become received files with those bytes;
// an element that starts with 0x00 names a file that never arrived.
// Returns 0.
int TwServerCommandsOneInput(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_TWSERVER_COMMANDS_ENTRY_H_
