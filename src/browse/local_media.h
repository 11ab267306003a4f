#pragma once

#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string>
#include <vector>

#include "browse/extension_map.h"
#include "browse/file_tools.h"
#include "common/request_input.h"
#include "common/tk_section.h"
#include "channel/broker_channel.h"

namespace zel::browse {

// A local file as a medium: filled by the decoder of local medium ids, read by the local handlers.
struct TLocalMedium {
  std::wstring id;  // stays empty for local files
  std::wstring mimeType;
  std::wstring mediaType;
  std::wstring Path;
  std::wstring Name;  // the file name without folder and extension
  std::wstring Artist;
  std::wstring Album;
  ULONG Duration = 0;
};

// The member of CKroAtl that serves folder listings ("GetDiskFolderContent") and answers the
// medium ids of local files ("F") in-process. It owns the extension map filled from the
// "ZidAvaraV2" satellite and the shared map that item properties read.
//
// Every operation may run on several broker threads at once.
class CLocalMedia {
 public:
  // `channel` reaches "ZidAvaraV2"; it must outlive this object.
  explicit CLocalMedia(const channel::BrokerChannel& channel) : channel_(channel) {}
  CLocalMedia(const CLocalMedia&) = delete;
  CLocalMedia& operator=(const CLocalMedia&) = delete;

  // Asks "ZidAvaraV2" for "GetExtensions" of "audio", "video", "photo" and "document", in that order,
  // through the broker channel, and adds each answer to the extension map (a later type
  // overrides an earlier one). `passed` is element 0 of the triggering request, sent on unchanged.
  // A type whose request fails adds nothing; nothing is reported. No lock is held across the calls.
  void LoadMediaTypes(const std::wstring& passed);

  // The MIME and media types of a file by the text from its last "." on, lower-cased:
  // "audio/x-unknown" and "audio.file" for an audio type, "application/x-download" for documents
  // and for unknown names (media type "document.file" or "file").
  void ClassifyFile(const std::wstring& name, std::wstring* mime_type, std::wstring* media_type);

  // While the shared map is empty: loads the media types and fills the shared map from a copy of
  // the extension map. Once filled, it is never asked again.
  void EnsureMediaTypes(const std::wstring& passed);
  const SharedExtensionMap& SharedMediaTypes() const noexcept { return shared_types_; }

  // Fills `record` from a local medium id: 0, or 404 when the id's second character is not "*".
  LONG DecodeMediumId(const std::wstring& id, TLocalMedium* record);

  // The local counterparts of the satellite operations, called by the medium lookup services for
  // "F" ids with the request's decoded element 0 (`passed`, which must be a string, null or not:
  // VT_EMPTY raises WideError::Input "CheckType failed") and its ids. The media types are loaded
  // first.
  //   GetFileFromId: output [mimeType, Path] when the id decodes; returns the decoder's code.
  //   GetFileInfoFromId: output the information array (empty when the id does not decode); 0.
  //   GetFileListInfoFromId: output one information array per id (empty where it does not
  //   decode); 0. `ids` holds each id's text, nothing for an element that is not a string (raises
  //   "CheckType failed"); no list at all stands for an array that is not zero-based. An empty id
  //   raises WideError E_INVALIDARG.
  LONG GetFileFromId(const input::Text& passed, const std::wstring& id, VARIANT& output);
  LONG GetFileInfoFromId(const input::Text& passed, const std::wstring& id, VARIANT& output);
  LONG GetFileListInfoFromId(const input::Text& passed,
                             const std::optional<std::vector<std::optional<std::wstring>>>& ids, VARIANT& output);

 private:
  // Checks that `passed` is a string and loads the media types with it.
  void Prepare(const input::Text& passed);

  const channel::BrokerChannel& channel_;
  ExtensionMap extensions_;
  const std::wstring local_prefix_ = kLocalMediumPrefix;
  SharedExtensionMap shared_types_;
};

// The information array of a local medium: [["mimeType", ..], ["mediaType", ..], ["Path", ..],
// ["Name", ..], ...], a pair for each field that is not empty (Duration: not 0, as VT_UI4).
void BuildMediumInfo(const TLocalMedium& record, VARIANT* out);

}  // namespace zel::browse
