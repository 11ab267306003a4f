#include "browse/local_media.h"

#include <vector>

#include "common/text.h"
#include "common/answer.h"
#include "common/module_log.h"
#include "common/scoped_variant.h"

namespace zel::browse {
namespace {

constexpr const wchar_t* kMediaTypes[] = {L"audio", L"video", L"photo", L"document"};

// The extensions a satellite answered for `type`, or nothing when its status or answer is
// unusable. An entry that is not a string is skipped with a WARN line; the rest still count.
std::vector<std::wstring> ExtensionsOf(const channel::BrokerChannel::Reply& reply, const wchar_t* type) {
  std::vector<std::wstring> extensions;
  if (reply.Code() != 0) return extensions;
  try {
    const input::Elements result(*reply.result);
    const input::Elements entries(result.At(0));
    const LONG count = entries.ZeroBasedLength().value_or(0);
    for (LONG i = 0; i < count; ++i) {
      const VARIANT& entry = entries.At(i);
      if (V_VT(&entry) == VT_BSTR && V_BSTR(&entry) != nullptr) {
        extensions.emplace_back(V_BSTR(&entry), ::SysStringLen(V_BSTR(&entry)));
      } else {
        ModuleLog().Warn(L"GetExtensions: entry %d of the %s extensions is not a string (type %d); skipped",
                         static_cast<int>(i), type, static_cast<int>(V_VT(&entry)));
      }
    }
  } catch (const WideError&) {
    extensions.clear();  // not a list of VARIANT: the type adds nothing
  }
  return extensions;
}

}  // namespace

void CLocalMedia::LoadMediaTypes(const std::wstring& passed) {
  if (channel_.Broker() == nullptr) return;  // not connected: nothing to ask, and nothing to report
  for (const wchar_t* type : kMediaTypes) {
    std::vector<std::wstring> extensions;
    try {
      const ScopedVariant parameters = answer::List(answer::String(passed), answer::String(type));
      const channel::BrokerChannel::Reply reply = channel_.Send(L"ZidAvaraV2", L"GetExtensions", *parameters);
      extensions = ExtensionsOf(reply, type);
    } catch (const _com_error&) {
      continue;  // a type whose request fails adds nothing
    }
    auto guard = extensions_.Lock();
    for (const std::wstring& extension : extensions) extensions_.container[extension] = type;
  }
}

void CLocalMedia::ClassifyFile(const std::wstring& name, std::wstring* mime_type, std::wstring* media_type) {
  std::wstring type;
  const size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) {
    const std::wstring key = LowerCase(name.substr(dot));
    auto guard = extensions_.Lock();
    const auto found = extensions_.container.find(key);
    if (found != extensions_.container.end()) type = found->second;
  }
  if (type.empty()) {
    *mime_type = L"application/x-download";
    *media_type = L"file";
    return;
  }
  *mime_type = type == L"document" ? L"application/x-download" : type + L"/x-unknown";
  *media_type = type + L".file";
}

void CLocalMedia::EnsureMediaTypes(const std::wstring& passed) {
  if (shared_types_.IsFilled()) return;
  LoadMediaTypes(passed);
  ExtensionTable copy;
  {
    auto guard = extensions_.Lock();
    copy = extensions_.container;
  }
  shared_types_.FillOnce(copy);
}

LONG CLocalMedia::DecodeMediumId(const std::wstring& id, TLocalMedium* record) {
  if (id.size() < 2 || id[1] != L'*') return 404;
  record->Path = DecodeLocalMediumPath(id, local_prefix_.size());
  ClassifyFile(record->Path, &record->mimeType, &record->mediaType);
  std::wstring name = record->Path.substr(0, record->Path.rfind(L'.'));
  const size_t slash = name.rfind(L'\\');
  record->Name = slash != std::wstring::npos ? name.substr(slash + 1) : name;
  return 0;
}

void CLocalMedia::Prepare(const input::Text& passed) {
  if (passed.form() == input::Text::Form::kAbsent) throw WideError::Input(input::kWrongType);
  EnsureMediaTypes(passed.Value());
}

LONG CLocalMedia::GetFileFromId(const input::Text& passed, const std::wstring& id, VARIANT& output) {
  Prepare(passed);
  TLocalMedium record;
  const LONG code = DecodeMediumId(id, &record);
  if (code == 0 && !record.mimeType.empty() && !record.Path.empty()) {
    answer::List(answer::String(record.mimeType), answer::String(record.Path)).ReleaseInto(output);
  }
  return code;
}

LONG CLocalMedia::GetFileInfoFromId(const input::Text& passed, const std::wstring& id, VARIANT& output) {
  Prepare(passed);
  ScopedVariant info;
  TLocalMedium record;
  if (DecodeMediumId(id, &record) == 0) BuildMediumInfo(record, info.Get());
  info.ReleaseInto(output);
  return 0;
}

LONG CLocalMedia::GetFileListInfoFromId(const input::Text& passed,
                                        const std::optional<std::vector<std::optional<std::wstring>>>& ids,
                                        VARIANT& output) {
  Prepare(passed);
  if (!ids) throw WideError::Input(input::kNotZeroBased);
  answer::ArrayBuilder infos(static_cast<LONG>(ids->size()));
  for (size_t i = 0; i < ids->size(); ++i) {
    const std::optional<std::wstring>& id = (*ids)[i];
    if (!id) throw WideError::Input(input::kWrongType);
    // An empty id is the one invalid argument of the list: bad input, named in the WARN line.
    if (id->empty()) throw WideError(E_INVALIDARG, L"the id list holds an empty medium id (E_INVALIDARG)");
    TLocalMedium record;
    if (DecodeMediumId(*id, &record) != 0) continue;  // stays VT_EMPTY
    ScopedVariant info;
    BuildMediumInfo(record, info.Get());
    infos.Set(static_cast<LONG>(i), std::move(info));
  }
  infos.Finish().ReleaseInto(output);
  return 0;
}

void BuildMediumInfo(const TLocalMedium& record, VARIANT* out) {
  std::vector<ScopedVariant> pairs;
  const std::pair<const wchar_t*, const std::wstring*> texts[] = {
      {L"mimeType", &record.mimeType}, {L"mediaType", &record.mediaType}, {L"Path", &record.Path},
      {L"Name", &record.Name},         {L"Artist", &record.Artist},       {L"Album", &record.Album}};
  for (const auto& [name, value] : texts) {
    if (!value->empty()) pairs.push_back(answer::List(answer::String(name), answer::String(*value)));
  }
  if (record.Duration != 0) {
    pairs.push_back(answer::List(answer::String(L"Duration"), answer::UnsignedLong(record.Duration)));
  }
  answer::ArrayBuilder info(static_cast<LONG>(pairs.size()));
  for (size_t i = 0; i < pairs.size(); ++i) info.Set(static_cast<LONG>(i), std::move(pairs[i]));
  info.Finish().ReleaseInto(*out);
}

}  // namespace zel::browse
