#include "media/media_test_support.h"

#include "common/module_log.h"
#include "common/product_folders.h"
#include "common/text.h"

namespace zeltest {

std::shared_ptr<zel::channel::BrokerChannel> ModuleChannel() {
  auto channel = std::make_shared<zel::channel::BrokerChannel>();
  channel->Attach(zel::core::CurrentBroker());
  return channel;
}

std::wstring ZelDocumentScope::Path() {
  return zel::GetProductFolder(zel::ProductFolder::kConfig).value_or(L"") + L"\\zel.xml";
}

std::optional<std::string> ZelDocumentScope::Read() {
  if (::GetFileAttributesW(Path().c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return ReadBytes(Path());
}

void ZelDocumentScope::Write(const std::optional<std::string>& content) {
  const std::wstring path = Path();
  if (!content) {
    ::DeleteFileW(path.c_str());
    return;
  }
  zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  ::WriteFile(file.Get(), content->data(), static_cast<DWORD>(content->size()), &written, nullptr);
}

// The lock file beside the document goes too: a note of unsaved keys one test left must not reach
// the next.
ZelDocumentScope::ZelDocumentScope(const std::optional<std::string>& content) : previous_(Read()) {
  ::DeleteFileW((Path() + L".lock").c_str());
  Write(content);
}
ZelDocumentScope::~ZelDocumentScope() {
  ::SetFileAttributesW(Path().c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW((Path() + L".lock").c_str());
  Write(previous_);
}

std::string PrefixDocument(const std::string& prefixes, const std::string& version_attribute) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n<Settings " + version_attribute +
         "><Common><MediumIdPrefixs>" + prefixes + "</MediumIdPrefixs></Common></Settings>\n";
}

LogWindow::LogWindow() : marker_(Narrow(UniqueName(L"log-window"))) {
  zel::ModuleLog().Error(L"test window %hs", marker_.c_str());
}

std::vector<std::string> LogWindow::Lines(const std::string& needle) const {
  std::vector<std::string> found;
  bool inside = false;
  for (const std::string& line : ModuleLogLinesWith("")) {
    if (inside && line.find(needle) != std::string::npos) found.push_back(line);
    if (line.find(marker_) != std::string::npos) inside = true;
  }
  return found;
}

HRESULT ComputedSatellites::Answer(const std::wstring& target, const std::wstring& service, const VARIANT& parameters,
                                   VARIANT* result, VARIANT* status) {
  journal_.Record(target, service, parameters);
  const Reply reply = script_(Narrow(target), Narrow(service), J(parameters));
  if (FAILED(reply.hresult)) return reply.hresult;
  ::VariantClear(result);
  if (reply.result) {
    zelhost::JsonToVariant(*reply.result, result, nullptr);
  } else if (reply.answer) {
    Json wrapped = Json::array();
    wrapped.push_back(*reply.answer);
    zelhost::JsonToVariant(wrapped, result, nullptr);
  }
  if (reply.status) {
    ::VariantClear(status);
    zelhost::JsonToVariant(*reply.status, status, nullptr);
  } else {
    zelhost::MakeStatus(reply.rc, status);
  }
  return S_OK;
}

Json Routed(const std::string& target, const std::string& service, const Json& params) {
  return Json{{"target", target}, {"service", service}, {"params", params}};
}

Json CallOver(RunningModule& module, const std::wstring& service, const std::string& input, const std::string& output,
              const std::wstring& requester) {
  zel::ScopedVariant out = V(output);
  LONG rc = 9;
  EXPECT_EQ(module.Scope().Call(service, *V(input), out.Get(), &rc, requester), S_OK) << Narrow(service);
  return Json::array({rc, J(*out)});
}

void SatelliteServiceTest::SetUp() { zel::ModuleLog().SetLevel(zel::CTkLog::kDebug); }
void SatelliteServiceTest::TearDown() { zel::ModuleLog().SetLevel(zel::CTkLog::kError); }

std::shared_ptr<ComputedSatellites> SatelliteServiceTest::Satellites(RunningModule& module,
                                                                     ComputedSatellites::Script script) {
  auto satellites = std::make_shared<ComputedSatellites>(std::move(script));
  module.Scope().Broker().SetRouter(satellites);
  return satellites;
}

}  // namespace zeltest
