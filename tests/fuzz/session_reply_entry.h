// The fuzz entry of the session's reply handling: received bytes (as chunk
// lists, see message_reader_entry.h) become messages, and each is handled
// as the session handles a fetch reply - its received files taken over and
// placed at the requested local paths. The invariant: no file but the
// reader's own scratch files is ever opened for writing, moved or removed,
// whatever a reply names (a text-typed file field, a scratch-shaped name, a
// path of the user's), and no scratch file outlives its reply. Shared by the
// libFuzzer target and the corpus replay test of every build.
#ifndef TW_TESTS_FUZZ_SESSION_REPLY_ENTRY_H_
#define TW_TESTS_FUZZ_SESSION_REPLY_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace tw::fuzz {

// Runs one input. The working directory becomes a sandbox beside the
// scratch folder holding the user's files "victim.txt" and "CRLab12cd"
// (relative names a reply may carry) and the request's targets
// "work/a.txt" and "work/b.txt". Aborts when a user's file changed, a file
// appeared anywhere but at a target, or a scratch file is left. Returns 0.
int FuzzSessionReply(const uint8_t* data, size_t size);

}  // namespace tw::fuzz

#endif  // TW_TESTS_FUZZ_SESSION_REPLY_ENTRY_H_
