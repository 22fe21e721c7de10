// "PRELOGON" and "LOGON": the two-step logon that opens a client's
// conversation with the server.
//
//   PRELOGON request  100, 101, 102 = 0
//            reply    100 server public key (hex DER, PKCS #1)
//                     101 encryption selector (0, 1 or 9)
//                     102 compression switch (0 or 1)
//                     103 lock policy (LockPolicy)
//   LOGON    request  100 user name
//                     101 RSA-OAEP hex of the upper-case hex MD5 of the
//                         password followed by the user name
//                     102 the client's public key (hex DER)
//            reply    100 logon token
//                     102 the channel key, encrypted to the client's key (hex)
// After a successful LOGONR every frame in both directions goes under the
// announced selector and compression. A refused LOGON (error 1) leaves the
// connection open and in clear text.
//
// Constants only; thread-safe.
#ifndef TW_PROTOCOL_LOGON_COMMAND_H_
#define TW_PROTOCOL_LOGON_COMMAND_H_

#include <cstdint>

namespace tw {

// What the server demands of the locks its clients take (PRELOGON reply
// field 103).
enum LockPolicy : int {
  kLockPolicyNone = 0,
  kLockPolicyExclusive = 1,  // every lock is exclusive
  kLockPolicyShared = 2,     // every lock is shared
};

namespace prelogon {
constexpr char kCommand[] = "PRELOGON";
// The request carries 0 in each of these fields.
constexpr uint32_t kRequestZeroFields[] = {100, 101, 102};
constexpr uint32_t kReplyServerKey = 100;
constexpr uint32_t kReplySelector = 101;
constexpr uint32_t kReplyCompression = 102;
constexpr uint32_t kReplyLockPolicy = 103;
}  // namespace prelogon

namespace logon {
constexpr char kCommand[] = "LOGON";
constexpr uint32_t kFieldUserName = 100;
constexpr uint32_t kFieldDigest = 101;
constexpr uint32_t kFieldClientKey = 102;
constexpr uint32_t kReplyToken = 100;
constexpr uint32_t kReplyChannelKey = 102;
}  // namespace logon

}  // namespace tw

#endif  // TW_PROTOCOL_LOGON_COMMAND_H_
