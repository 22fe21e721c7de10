// Field types and reserved field ids of a message.
//
// Every field of a CRLMSGmessage carries one of the type numbers below; the
// number is stored with the field and travels on the wire. The command name,
// the recipients, the error code and the parameters are ordinary fields with
// the reserved ids of the table below; any other id belongs to the command
// that uses it.
//
//   Id      Name                Type        Meaning
//   0       TARGETRECIPIENT     int         recipient the message is addressed to
//   1       COMMAND             string      command name; a reply appends "R"
//   2       SOURCERECIPIENT     int         recipient of the sender
//   3       PROXYFORRECIPIENT   int         recipient a proxy forwards for
//   4       ERRORCODE           int         result; 0 success, -999 cut-off file transfer,
//                                           -998 a reply that could not be read
//   6       BROADCAST           int         1: deliver to every registered recipient
//   7       PROXYFORPROXY       int         proxy chaining flag
//   8       ENCRYPTIONTYPE      int         encryption type of the message
//   9       MESSAGEID           identifier  the message's own identifier; always present
//   10      SENDERTAG           int         client object that sent a request
//   11      reply route         string      replaced by the connection as it is written
//   99      BATCHCOUNT          int         item count of a batched command
//   100-119 parameters 1..20    any         parameter n has id 99 + n
//   65525   CALLBACKKEY         int         key of a pending asynchronous callback
//   65534   SYNCHRONOUSREQUEST  int         handle of the waiting synchronous request
//   65535   USERDATA            int         local only; never read from the wire
//
// Constants only; thread-safe.
#ifndef TW_MESSAGING_FIELD_IDS_H_
#define TW_MESSAGING_FIELD_IDS_H_

#include <cstdint>

namespace tw {

// Field type numbers.
enum FieldType : uint32_t {
  FIELD_STRING = 1,      // the characters, no terminator (may be empty)
  FIELD_INT = 2,         // one 32-bit integer, 4 bytes, host byte order
  FIELD_IDENTIFIER = 3,  // the text form of a CRLMSGmessageID
  FIELD_BINARY = 4,      // raw bytes
  FIELD_FILELIST = 5,    // local file paths joined by "?"
};

// Reserved field ids.
constexpr uint32_t TARGETRECIPIENT = 0;
constexpr uint32_t COMMAND = 1;
constexpr uint32_t SOURCERECIPIENT = 2;
constexpr uint32_t PROXYFORRECIPIENT = 3;
constexpr uint32_t ERRORCODE = 4;
constexpr uint32_t BROADCAST = 6;
constexpr uint32_t PROXYFORPROXY = 7;
constexpr uint32_t ENCRYPTIONTYPE = 8;
constexpr uint32_t MESSAGEID = 9;
constexpr uint32_t SENDERTAG = 10;
// The string field whose value the connection replaces, as the message is
// written, by the reply route recorded for the message's identifier.
constexpr uint32_t kReplyRouteField = 11;
constexpr uint32_t BATCHCOUNT = 99;
constexpr uint32_t CALLBACKKEY = 65525;
constexpr uint32_t SYNCHRONOUSREQUEST = 65534;
constexpr uint32_t USERDATA = 65535;

// Parameters 1 to 20 occupy ids 100 to 119.
constexpr uint32_t kFirstParameterId = 100;
constexpr uint32_t kLastParameterId = 119;
// The id of parameter n (1..20).
constexpr uint32_t ParameterId(int n) {
  return 99u + static_cast<uint32_t>(n);
}

// ERRORCODE values the receiving side sets itself.
// The reply's file transfer was cut off, or a file it carried could not be
// stored here.
constexpr int kErrorTransferCutOff = -999;
// A field of the reply could not be read: the reply keeps only the fields
// that say whom it answers.
constexpr int kErrorUnreadableReply = -998;

// Separator of list elements inside one string field.
constexpr char kListSeparator[] = "?";

// Wire facts this layer itself relies on (building a reply, reading a fetch
// reply); protocol/ names them for the commands that use them.
//
// A reply's command is the request's followed by "R".
constexpr char kReplySuffix[] = "R";
// Field 13: the Production binding a request works on; the reply echoes it.
constexpr uint32_t kFieldProject = 13;
// Field 100 (parameter 1): the sub-command of a command family, echoed in
// the reply.
constexpr uint32_t kFieldSubCommand = kFirstParameterId;
// The Document command; with sub-command 4 it fetches versions, and that
// reply lists in field 104 the display names of the files it carries.
constexpr char kDocumentCommand[] = "DOCUMENTCMD";
constexpr int kDocumentFetchSubCommand = 4;
constexpr uint32_t kDocumentFetchReplyNames = 104;

}  // namespace tw

#endif  // TW_MESSAGING_FIELD_IDS_H_
