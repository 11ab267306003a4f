#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "broker/satellites.h"
#include "common/unique_handle.h"
#include "common/vutil.h"
#include "core/kro_atl.h"
#include "core/module.h"
#include "media/medium_route.h"
#include "media/prefix_table.h"
#include "support/test_support.h"

namespace zeltest {

// The real configuration document of the prefix (the module reads no other) replaced for one
// scope: `content` in its place, or no document at all; what was there before comes back at the
// end, so that runs stay repeatable.
class ZelDocumentScope {
 public:
  explicit ZelDocumentScope(const std::optional<std::string>& content = std::nullopt);
  ~ZelDocumentScope();
  ZelDocumentScope(const ZelDocumentScope&) = delete;
  ZelDocumentScope& operator=(const ZelDocumentScope&) = delete;

  static std::wstring Path();
  // The document's bytes now; nullopt when there is none.
  static std::optional<std::string> Read();
  static void Write(const std::optional<std::string>& content);

 private:
  std::optional<std::string> previous_;
};

// A channel of the test's own, attached to the broker of the module the test runs.
std::shared_ptr<zel::channel::BrokerChannel> ModuleChannel();

// Routing parts of the test's own (no prefix document), reaching satellites through ModuleChannel.
struct ModuleRouter {
  std::shared_ptr<zel::channel::BrokerChannel> channel = ModuleChannel();
  zel::media::PrefixStore prefixes;
  zel::browse::CLocalMedia local_media{*channel};
  zel::media::MediumRouter Router() { return {prefixes, local_media, *channel}; }
};

// A configuration document with `prefixes` (MediumIdPrefix elements) in its place.
std::string PrefixDocument(const std::string& prefixes, const std::string& version_attribute = "Version=\"1.0\"");

// Module log lines written after construction. A unique marker line starts the window: the log is
// shared by every run of every test program.
class LogWindow {
 public:
  LogWindow();
  std::vector<std::string> Lines(const std::string& needle) const;
  size_t Count(const std::string& needle) const { return Lines(needle).size(); }

 private:
  std::string marker_;
};

// Satellites whose answers a test computes, for sequences a fixed script cannot express. Every
// request is recorded in Journal().
class ComputedSatellites : public zelhost::SatelliteRouter {
 public:
  struct Reply {
    LONG rc = 0;
    std::optional<Json> answer;  // wrapped in a one-element array, as a broker does
    std::optional<Json> result;  // or the raw result
    std::optional<Json> status;  // the raw status; default [rc]
    HRESULT hresult = S_OK;      // the request operation itself fails with this
  };
  using Script = std::function<Reply(const std::string& target, const std::string& service, const Json& params)>;

  explicit ComputedSatellites(Script script) : script_(std::move(script)) {}
  HRESULT Answer(const std::wstring& target, const std::wstring& service, const VARIANT& parameters, VARIANT* result,
                 VARIANT* status) override;
  std::vector<Json> Journal() const { return journal_.Lines(); }

 private:
  Script script_;
  zelhost::Journal journal_;
};

// Replies of ComputedSatellites: a bare return code; an answer with its code; a raw result; an
// answer with a raw status; a failure of the request operation itself.
using Reply = ComputedSatellites::Reply;
inline Reply Code(LONG rc) { return Reply{rc, std::nullopt, std::nullopt, std::nullopt, S_OK}; }
inline Reply Answered(const Json& answer, LONG rc = 0) { return Reply{rc, answer, std::nullopt, std::nullopt, S_OK}; }
inline Reply RawResult(const Json& result) { return Reply{0, std::nullopt, result, std::nullopt, S_OK}; }
inline Reply WithStatus(const Json& answer, const Json& status) { return Reply{0, answer, std::nullopt, status, S_OK}; }
inline Reply BrokerFails(HRESULT hresult) { return Reply{0, std::nullopt, std::nullopt, std::nullopt, hresult}; }

// A test of services that talk to satellites: the module logs every level, and no configuration
// document exists (the prefix table starts empty).
class SatelliteServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Runs `script` as the module's satellites from now on.
  std::shared_ptr<ComputedSatellites> Satellites(RunningModule& module, ComputedSatellites::Script script);

  ZelDocumentScope document_;
};

// A reply as [rc, output], so that one comparison checks both.
inline Json Outcome(const RunningModule::Reply& reply) { return Json::array({reply.rc, reply.output}); }

// Sends a request whose output starts as `output` (the host's notation) and whose return code
// starts as 9, instead of empty and 0; the reply as Outcome gives it.
Json CallOver(RunningModule& module, const std::wstring& service, const std::string& input, const std::string& output,
              const std::wstring& requester = L"tests");

// One journal line as the broker writes it.
Json Routed(const std::string& target, const std::string& service, const Json& params);

}  // namespace zeltest
