#include "module_client.h"

#include <utility>

namespace zelhost {
namespace {

zel::ScopedVariant String(const std::wstring& text) { return zel::StringVariant(text); }

zel::ScopedVariant Integer(long long value) {
  zel::ScopedVariant v;
  V_VT(v.Get()) = VT_I8;
  V_I8(v.Get()) = value;
  return v;
}

zel::ScopedVariant Long(LONG value) {
  zel::ScopedVariant v;
  v.SetLong(value);
  return v;
}

// A zero-based VARIANT array of `values`, moved in. Throws std::bad_alloc.
zel::ScopedVariant List(std::vector<zel::ScopedVariant> values) {
  zel::ScopedVariant list;
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(values.size()));
  if (array == nullptr) throw std::bad_alloc();
  V_VT(list.Get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(list.Get()) = array;
  const zel::SafeArrayDataLock lock(array);
  if (!lock.Ok()) throw std::bad_alloc();
  VARIANT* slots = static_cast<VARIANT*>(lock.Data());
  for (size_t i = 0; i < values.size(); ++i) slots[i] = values[i].Release();
  return list;
}

template <class... Values>
zel::ScopedVariant ListOf(Values&&... values) {
  std::vector<zel::ScopedVariant> list;
  (list.push_back(std::forward<Values>(values)), ...);
  return List(std::move(list));
}

// The elements of a zero-based one-dimensional VARIANT array, read in place for one scope. Empty
// (Count() 0) for anything else.
class Elements {
 public:
  explicit Elements(const VARIANT& value) {
    if (V_VT(&value) != (VT_ARRAY | VT_VARIANT) || V_ARRAY(&value) == nullptr) return;
    SAFEARRAY* array = V_ARRAY(&value);
    LONG lower = 0;
    LONG upper = -1;
    if (::SafeArrayGetDim(array) != 1 || FAILED(::SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(::SafeArrayGetUBound(array, 1, &upper)) || lower != 0) {
      return;
    }
    lock_ = std::make_unique<zel::SafeArrayDataLock>(array);
    if (lock_->Ok()) {
      slots_ = static_cast<const VARIANT*>(lock_->Data());
      count_ = upper + 1;
    }
  }
  LONG Count() const noexcept { return count_; }
  const VARIANT& operator[](LONG index) const noexcept { return slots_[index]; }

 private:
  std::unique_ptr<zel::SafeArrayDataLock> lock_;
  const VARIANT* slots_ = nullptr;
  LONG count_ = 0;
};

std::optional<std::wstring> TextOf(const VARIANT& value) {
  if (V_VT(&value) != VT_BSTR || V_BSTR(&value) == nullptr) return std::nullopt;
  return std::wstring(V_BSTR(&value), ::SysStringLen(V_BSTR(&value)));
}

// A size: a non-negative integer of any of the widths the module answers with.
std::optional<uint64_t> SizeOf(const VARIANT& value) {
  long long number = -1;
  switch (V_VT(&value)) {
    case VT_I4: number = V_I4(&value); break;
    case VT_UI4: number = V_UI4(&value); break;
    case VT_I8: number = V_I8(&value); break;
    case VT_UI8: return V_UI8(&value);
    default: break;
  }
  if (number < 0) return std::nullopt;
  return static_cast<uint64_t>(number);
}

std::optional<LONG> LongOf(const VARIANT& value) {
  if (V_VT(&value) != VT_I4) return std::nullopt;
  return V_I4(&value);
}

std::vector<zel::ScopedVariant> Strings(const std::wstring& first, const std::vector<std::wstring>& rest) {
  std::vector<zel::ScopedVariant> values;
  values.reserve(rest.size() + 1);
  values.push_back(String(first));
  for (const std::wstring& text : rest) values.push_back(String(text));
  return values;
}

// [path, size, ...]: the path of an archive and its size, as "CreateZip" and "ZipLogs" begin.
std::optional<ArchiveAnswer> ArchiveOf(const Elements& answer) {
  if (answer.Count() < 2) return std::nullopt;
  const std::optional<std::wstring> path = TextOf(answer[0]);
  const std::optional<uint64_t> size = SizeOf(answer[1]);
  if (!path || !size) return std::nullopt;
  return ArchiveAnswer{*path, *size, {}};
}

// The outcome of a call, with its output read by `read` when it succeeded.
template <class T, class Read>
ModuleAnswer<T> Typed(const CallOutcome& outcome, const zel::ScopedVariant& output, Read read) {
  ModuleAnswer<T> answer;
  static_cast<CallOutcome&>(answer) = outcome;
  if (outcome.Succeeded()) answer.value = read(*output);
  return answer;
}

}  // namespace

FileBytes::FileBytes(zel::ScopedVariant answer) : answer_(std::move(answer)) {
  if (answer_.Type() != (VT_ARRAY | VT_UI1) || V_ARRAY(answer_.Get()) == nullptr) return;
  SAFEARRAY* array = V_ARRAY(answer_.Get());
  LONG lower = 0;
  LONG upper = -1;
  if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper))) return;
  if (upper < lower) {
    ok_ = true;
    return;
  }
  lock_ = std::make_unique<zel::SafeArrayDataLock>(array);
  if (!lock_->Ok()) return;
  data_ = static_cast<const char*>(lock_->Data());
  size_ = static_cast<size_t>(static_cast<ULONG>(upper - lower) + 1);
  ok_ = true;
}

CallOutcome ModuleClient::Call(const wchar_t* service, VARIANT& input, zel::ScopedVariant* output, LONG rc) const {
  return CallAs(requester_, service, input, output, rc);
}

CallOutcome ModuleClient::CallAs(const std::wstring& requester, const wchar_t* service, VARIANT& input,
                                 zel::ScopedVariant* output, LONG rc) const {
  CallOutcome outcome;
  outcome.rc = rc;
  outcome.delivery = session_.Deliver(requester, service, input, output->Get(), &outcome.rc);
  return outcome;
}

ModuleAnswer<uint64_t> ModuleClient::GetFileInfo(const std::wstring& path) const {
  zel::ScopedVariant input = ListOf(String(path));
  zel::ScopedVariant output;
  return Typed<uint64_t>(Call(L"GetFileInfo", *input, &output), output, [](const VARIANT& answer) {
    const Elements info(answer);
    return info.Count() == 1 ? SizeOf(info[0]) : std::nullopt;
  });
}

ModuleAnswer<FileBytes> ModuleClient::GetFile(const std::wstring& path, uint64_t offset, uint64_t maximum) const {
  zel::ScopedVariant input =
      ListOf(String(path), Integer(static_cast<long long>(offset)), Integer(static_cast<long long>(maximum)));
  zel::ScopedVariant output;
  ModuleAnswer<FileBytes> answer;
  static_cast<CallOutcome&>(answer) = Call(L"GetFile", *input, &output);
  if (!answer.Succeeded()) return answer;
  FileBytes bytes(std::move(output));
  if (bytes.Ok()) answer.value.emplace(std::move(bytes));
  return answer;
}

ModuleAnswer<ArchiveAnswer> ModuleClient::CreateZip(const std::vector<std::wstring>& ids,
                                                    const std::wstring& first) const {
  zel::ScopedVariant input = List(Strings(first, ids));
  zel::ScopedVariant output;
  return Typed<ArchiveAnswer>(Call(L"CreateZip", *input, &output), output, [](const VARIANT& value) {
    const Elements answer(value);
    std::optional<ArchiveAnswer> archive = ArchiveOf(answer);
    if (!archive || answer.Count() > 3) return std::optional<ArchiveAnswer>();
    if (answer.Count() == 3) {
      const Elements left_out(answer[2]);
      for (LONG i = 0; i < left_out.Count(); ++i) {
        const Elements pair(left_out[i]);
        std::optional<std::wstring> path = pair.Count() == 2 ? TextOf(pair[0]) : std::nullopt;
        std::optional<std::wstring> why = pair.Count() == 2 ? TextOf(pair[1]) : std::nullopt;
        if (!path || !why) return std::optional<ArchiveAnswer>();
        archive->left_out.push_back({std::move(*path), std::move(*why)});
      }
    }
    return archive;
  });
}

ModuleAnswer<FileCount> ModuleClient::QueryFileSize(const std::vector<std::wstring>& ids,
                                                    const std::wstring& first) const {
  zel::ScopedVariant input = List(Strings(first, ids));
  zel::ScopedVariant output;
  return Typed<FileCount>(Call(L"QueryFileSize", *input, &output), output, [](const VARIANT& value) {
    const Elements answer(value);
    const std::optional<LONG> count = answer.Count() == 2 ? LongOf(answer[0]) : std::nullopt;
    const std::optional<uint64_t> total = answer.Count() == 2 ? SizeOf(answer[1]) : std::nullopt;
    return count && total ? std::optional<FileCount>(FileCount{*count, *total}) : std::nullopt;
  });
}

ModuleAnswer<ArchiveAnswer> ModuleClient::ZipLogs(const std::optional<std::wstring>& folder) const {
  zel::ScopedVariant input = folder ? String(*folder) : zel::ScopedVariant();
  zel::ScopedVariant output;
  return Typed<ArchiveAnswer>(Call(L"ZipLogs", *input, &output), output, [](const VARIANT& value) {
    const Elements answer(value);
    return answer.Count() == 2 ? ArchiveOf(answer) : std::nullopt;
  });
}

CallOutcome ModuleClient::DeleteTempFile(const std::wstring& path) const {
  zel::ScopedVariant input = ListOf(String(L""), String(path));
  zel::ScopedVariant output;
  return Call(L"DeleteTempFile", *input, &output);
}

ModuleAnswer<LogTail> ModuleClient::TailLog(const std::wstring& path, LONG limit) const {
  zel::ScopedVariant input = ListOf(String(path), Long(limit));
  zel::ScopedVariant output;
  return Typed<LogTail>(Call(L"my-ZEL_TailLog", *input, &output), output, [](const VARIANT& value) {
    const Elements answer(value);
    if (answer.Count() != 3 || V_VT(&answer[2]) != VT_BSTR) return std::optional<LogTail>();
    const std::optional<LONG> file_size = LongOf(answer[0]);
    const std::optional<LONG> length = LongOf(answer[1]);
    if (!file_size || !length) return std::optional<LogTail>();
    return std::optional<LogTail>(LogTail{*file_size, *length, TextOf(answer[2])});
  });
}

}  // namespace zelhost
