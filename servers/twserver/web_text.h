// Texts of the web view: the one place where names, comments and user names
// from the repository become HTML, where paths become URLs and URLs paths
// again, and where a download's headers are made.
//
// Values only; every function may be called from any thread.
#ifndef TW_SERVERS_TWSERVER_WEB_TEXT_H_
#define TW_SERVERS_TWSERVER_WEB_TEXT_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tw::twserver {

// `text` with & < > " ' replaced by entities: safe inside an element and
// inside a quoted attribute.
std::string HtmlEscape(std::string_view text);

// Every byte but A-Z a-z 0-9 - . _ ~ as %XX (upper-case hex): one path
// segment or one query value of a URL.
std::string PercentEncode(std::string_view text);

// Reverses PercentEncode strictly: false for a '%' not followed by two hex
// digits. `plus_is_space` for form and query values.
bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out);

// "a=1&b=2" (a form body or a query) into its decoded pairs; a name given
// twice keeps its first value. False for a malformed escape.
bool ParseForm(std::string_view text, std::map<std::string, std::string>* out);

// The Content-Type of a download by the name's extension (letter case
// ignored); "application/octet-stream" for one the table does not know.
std::string ContentTypeFor(std::string_view name);

// "attachment; filename=\"...\"; filename*=UTF-8''..." for `name`: the
// plain form with every byte outside printable ASCII, and " and \, as '_'.
std::string AttachmentDisposition(std::string_view name);

// A version's stamp ("YYYY:MM:DD:hh:mm:ss:mmm", UTC) as
// "YYYY-MM-DDThh:mm:ssZ"; empty for a text of another form.
std::string IsoStamp(std::string_view stamp);

// One byte range of a body of `size` bytes.
struct ByteRange {
  uint64_t first = 0;
  uint64_t length = 0;
};
enum class RangeResult { kWhole, kPartial, kUnsatisfiable };
// Reads a Range header: kWhole for an empty header, another unit, several
// ranges or a malformed one (the whole body is sent, as a server that knows
// no ranges would); kPartial with `range` inside the body; kUnsatisfiable
// for a single range that starts past its end.
RangeResult ParseRange(std::string_view header, uint64_t size, ByteRange* range);

// The value of the cookie `name` in a Cookie header; empty when absent.
std::string CookieValue(std::string_view header, std::string_view name);

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_WEB_TEXT_H_
