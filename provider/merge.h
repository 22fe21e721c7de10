// The files the provider puts beside a working file to compare or merge it
// with the server's current version (the tip): "<name>.[Tip]" and
// "<name>.[Local]", always in the folder of the file the host named, and
// written only by the provider (its own fetch, its own copy), never at a
// path the server names. And the interactive merge that the overwrite
// question's Merge button runs.
//
// Used on the host's thread that runs the export, while it holds the shared
// session slot.
#ifndef TW_PROVIDER_MERGE_H_
#define TW_PROVIDER_MERGE_H_

#include <string>

namespace tw {

class ClientSession;

// "<path>.[Tip]" and "<path>.[Local]".
std::string TipFilePath(const std::string& path);
std::string LocalCopyPath(const std::string& path);

// Fetches version `version` (0: the current one) of the Document into
// TipFilePath(path), replacing a file of that name. False when the fetch or
// the placing failed; a file of that name is then as it was.
bool FetchTip(ClientSession* session, const std::string& document_id, int version,
              const std::string& path);

// The Merge button of the overwrite question for the working file `path`:
// the tip and a "[Local]" copy of the file are put beside it and the
// user's merge program runs on them (waiting for it to end); then the user
// keeps the merged "[Local]" copy as the working file, or not. Returns true
// when the merge was kept (the question closes with Merge, and the file is
// not fetched), false to keep the question open: no merge program could be
// run ("Diff Program Not Found"), the user discarded the result, or the
// files could not be put in place (said in a box). The tip and the copy are
// removed either way, except a merged copy that could not replace the
// working file, which stays so that the merge is not lost. Boxes appear
// over `owner`. `project` fills "[Project1]" and "[Project2]".
bool RunInteractiveMerge(void* owner, ClientSession* session, const std::string& document_id,
                         const std::string& path, const std::string& project);

}  // namespace tw

#endif  // TW_PROVIDER_MERGE_H_
