// The request/reply protocol between PropertyFileClient and the property
// file server TWPMSvr, written once for both sides: the request codes, the
// recipient name, the request and reply texts, the path form, the size caps
// and the one key string that every owner of a client uses.
//
// A request is one mailslot message of four lines joined by "\n" (no
// trailing line break): code, store name, argument 1, argument 2. A reply is
// one message: "1" or another status, then "\n" and the result when there
// is one. Paths travel as escaped name segments joined with "/".
//
// Pure functions; thread-safe.
#ifndef TW_SETTINGS_PROPERTY_PROTOCOL_H_
#define TW_SETTINGS_PROPERTY_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// The recipient name under which the server registers.
constexpr char kPropertyServerRecipient[] = "Veltrane:APPpropertyFileServer";
// The server program, found in the module directory.
constexpr char kPropertyServerProgram[] = "TWPMSvr";
// The per-process store prefix, matched in any letter case.
constexpr char kScratchStorePrefix[] = "[SD]";

// The key string from which names and values are encrypted (its SHA-256
// digest keys AES-256-CBC). Every owner of a client uses this one.
constexpr char kPropertyKeyString[] = "Veltrane-PropStore-K23!";
static_assert(sizeof(kPropertyKeyString) - 1 == 23, "the key string has 23 bytes");

// Request codes.
constexpr char kRequestRegister[] = "AR";
constexpr char kRequestUnregister[] = "RR";
constexpr char kRequestPing[] = "PN";
constexpr char kRequestSetData[] = "SD";
constexpr char kRequestGetData[] = "GD";
constexpr char kRequestGetList[] = "GL";
constexpr char kRequestDelete[] = "DL";
constexpr char kRequestFlush[] = "FL";
constexpr char kRequestReset[] = "RS";

// Largest request and largest reply, in bytes (one mailslot message each).
constexpr uint32_t kMaxPropertyMessage = 65535;
// Reply status of success; anything else is a failure.
constexpr char kReplyOk[] = "1";
constexpr char kReplyFailed[] = "0";
// Separator of the child names in a "GL" result.
constexpr char kChildSeparator = '\r';

struct PropertyRequest {
  std::string code;
  std::string store;
  std::string arg1;
  std::string arg2;
};

// The four lines joined by "\n".
std::string BuildPropertyRequest(std::string_view code, std::string_view store,
                                 std::string_view arg1, std::string_view arg2);
// Splits a request; false (and *out untouched) unless it has exactly four
// lines.
bool ParsePropertyRequest(std::string_view text, PropertyRequest* out);

// "1\n<result>" on success; the failure status alone otherwise.
std::string BuildPropertyReply(bool ok, std::string_view result);
// True when the first field is exactly "1"; *result gets the second field
// (empty when absent). The text ends at its first zero byte.
bool ParsePropertyReply(std::string_view text, std::string* result);

// Encodes a full property path: a single leading "/" is dropped, the rest
// split at "/", each segment passed through `encode_name`, and the results
// joined with "/", a "/" being written only when the output is not empty.
std::string EncodePropertyPath(std::string_view path,
                               const std::function<std::string(std::string_view)>& encode_name);
// The two halves of EncodePropertyPath, for callers that keep names apart (a
// name may hold "/"). AppendPropertyPathNames splits `path` at "/" (at least
// one name), dropping a single leading "/" first when `at_start` is set.
void AppendPropertyPathNames(std::string_view path, bool at_start, std::vector<std::string>* names);
std::string EncodePropertyNames(const std::vector<std::string>& names,
                                const std::function<std::string(std::string_view)>& encode_name);

// The server's check of an encoded path: every segment is the strict escaped
// form of a name, and the path holds at most kMaxPathSegments segments.
bool IsValidEncodedPath(std::string_view path);
constexpr size_t kMaxPathSegments = 64;

}  // namespace tw

#endif  // TW_SETTINGS_PROPERTY_PROTOCOL_H_
