#include "browse/local_media.h"

#include <comdef.h>

#include <vector>

#include "common/text.h"
#include "common/answer.h"
#include "common/module_log.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"

namespace zel::browse {
namespace {

constexpr const wchar_t* kMediaTypes[] = {L"audio", L"video", L"photo", L"document"};

// The extensions a satellite answered, or nothing when its status or answer is unusable.
std::vector<std::wstring> ExtensionsOf(const VARIANT& status, const VARIANT& result) {
  std::vector<std::wstring> extensions;
  try {
    if (VUtil::GetLongElement(status, 0) != 0) return extensions;
    ScopedVariant list;
    VUtil::GetElement(result, 0, list.Get());
    const LONG count = VUtil::GetArrayLength(*list);
    for (LONG i = 0; i < count; ++i) {
      ScopedVariant extension;
      VUtil::GetElement(*list, i, extension.Get());
      if (extension.Type() == VT_BSTR && V_BSTR(extension.Get()) != nullptr) {
        extensions.emplace_back(V_BSTR(extension.Get()), ::SysStringLen(V_BSTR(extension.Get())));
      }
    }
  } catch (const WideError&) {
    extensions.clear();
  }
  return extensions;
}

// Element 0 (passed on unchanged) and element 1 of a local handler's input, both strings.
void ReadPair(const VARIANT& input, std::wstring* passed, VARIANT* second, VARTYPE second_type) {
  ScopedVariant first;
  VUtil::GetElement(input, 0, first.Get());
  VUtil::CheckType(*first, VT_BSTR);
  VUtil::GetElement(input, 1, second);
  VUtil::CheckType(*second, second_type);
  *passed = VUtil::StringOf(*first);
}

// The single-id handlers' input check: an array of VARIANT with at least two elements.
void CheckSingleIdInput(const VARIANT& input) {
  VUtil::CheckType(input, VUtil::kVariantArray);
  const LONG count = VUtil::GetArrayLength(input);
  if (count < 2) {
    ModuleLog().Error(L"Invalid array size: %d (expected 2 or more)", static_cast<int>(count));
    throw WideError(L"CheckArrayType failed");
  }
}

}  // namespace

void CLocalMedia::LoadMediaTypes(const std::wstring& passed) {
  if (channel_.Broker() == nullptr) return;  // not connected: nothing to ask, and nothing to report
  for (const wchar_t* type : kMediaTypes) {
    std::vector<std::wstring> extensions;
    try {
      const ScopedVariant parameters = answer::List(answer::String(passed), answer::String(type));
      const channel::BrokerChannel::Reply reply = channel_.Send(L"ZidAvaraV2", L"GetExtensions", *parameters);
      extensions = ExtensionsOf(*reply.status, *reply.result);
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
  if (id.empty()) _com_issue_error(E_INVALIDARG);
  if (id.size() < 2 || id[1] != L'*') return 404;
  record->Path = DecodeLocalMediumPath(id, local_prefix_.size());
  ClassifyFile(record->Path, &record->mimeType, &record->mediaType);
  std::wstring name = record->Path.substr(0, record->Path.rfind(L'.'));
  const size_t slash = name.rfind(L'\\');
  record->Name = slash != std::wstring::npos ? name.substr(slash + 1) : name;
  return 0;
}

std::wstring CLocalMedia::ReadSingleId(const VARIANT& input) {
  CheckSingleIdInput(input);
  std::wstring passed;
  ScopedVariant id;
  ReadPair(input, &passed, id.Get(), VT_BSTR);
  EnsureMediaTypes(passed);
  return VUtil::StringOf(*id);
}

LONG CLocalMedia::GetFileFromId(const VARIANT& input, VARIANT& output) {
  const std::wstring id = ReadSingleId(input);
  TLocalMedium record;
  const LONG code = DecodeMediumId(id, &record);
  if (code == 0 && !record.mimeType.empty() && !record.Path.empty()) {
    ScopedVariant answer;
    VUtil::CreateArray(answer.Get(), VT_VARIANT, 2);
    VUtil::PutElement(*answer, 0, *StringVariant(record.mimeType));
    VUtil::PutElement(*answer, 1, *StringVariant(record.Path));
    answer.ReleaseInto(output);
  }
  return code;
}

LONG CLocalMedia::GetFileInfoFromId(const VARIANT& input, VARIANT& output) {
  const std::wstring id = ReadSingleId(input);
  ::VariantClear(&output);
  TLocalMedium record;
  if (DecodeMediumId(id, &record) == 0) BuildMediumInfo(record, &output);
  return 0;
}

LONG CLocalMedia::GetFileListInfoFromId(const VARIANT& input, VARIANT& output) {
  VUtil::CheckArrayType(input, VT_VARIANT, 2);
  std::wstring passed;
  ScopedVariant ids;
  ReadPair(input, &passed, ids.Get(), VUtil::kVariantArray);
  EnsureMediaTypes(passed);
  const LONG count = VUtil::GetArrayLength(*ids);
  answer::ArrayBuilder infos(count);
  for (LONG i = 0; i < count; ++i) {
    ScopedVariant id;
    VUtil::GetElement(*ids, i, id.Get());
    VUtil::CheckType(*id, VT_BSTR);
    TLocalMedium record;
    if (DecodeMediumId(VUtil::StringOf(*id), &record) != 0) continue;  // stays VT_EMPTY
    ScopedVariant info;
    BuildMediumInfo(record, info.Get());
    infos.Set(i, std::move(info));
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
